// The runtime layer on Linux: POSIX calls, with flock(2) for exclusive use,
// renameat2(RENAME_NOREPLACE) for renames that never replace,
// sync_file_range(2) to start writeback, and glob(3) for wildcard arguments.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Gives up on a descriptor: closes it, after removing `created` (a file the
// caller made itself and holds) so that a refusal leaves nothing behind.
// Keeps errno as it was.
int give_up(int fd, const char* created) {
    int saved = errno;
    if (created != nullptr) unlink(created);
    close(fd);
    errno = saved;
    return -1;
}

// Opens `name` without blocking on a FIFO or device and makes sure it is a
// regular file; with O_EXCL in `flags` the file is new, and is removed again
// if it cannot be used. Returns the descriptor or -1.
int open_regular(const char* name, int flags, struct stat* st) {
    int fd = open(name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    const char* created = (flags & O_EXCL) != 0 ? name : nullptr;
    if (fstat(fd, st) != 0) return give_up(fd, created);
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        return give_up(fd, created);
    }
    return fd;
}

int clear_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens `name`, a regular file, without following a final symbolic link,
// and takes flock's exclusive lock without waiting. The name must still
// refer to the locked file: a converter that lost a race for it must not go
// on with a file that has since been renamed away. With O_EXCL in `flags`
// the file is new, and is removed again if it cannot be held. Returns the
// descriptor or -1.
int open_locked(const char* name, int flags, struct stat* st) {
    int fd = open_regular(name, flags | O_NOFOLLOW, st);
    if (fd < 0) return -1;
    const char* created = (flags & O_EXCL) != 0 ? name : nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return give_up(fd, created);
    struct stat now;
    if (lstat(name, &now) != 0) return give_up(fd, created);
    if (now.st_dev != st->st_dev || now.st_ino != st->st_ino) {
        errno = EBUSY;
        return give_up(fd, nullptr); // the name is another file now: not ours to remove
    }
    if (!clear_nonblocking(fd)) return give_up(fd, created);
    return fd;
}

// The converter is single-threaded, so its streams need no locking: that
// saves a lock and an unlock on every record read and written.
std::FILE* stream_on(int fd, const char* mode) {
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) return nullptr;
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return stream;
}

// The owner and group are carried over where the process may set them (root
// may set both, the owner only a group it belongs to); the permission bits
// always, after the owner, since changing the owner may clear set-id bits.
int carry_permissions(int fd, const struct stat& from) {
    if (fchown(fd, from.st_uid, from.st_gid) != 0) (void)fchown(fd, (uid_t)-1, from.st_gid);
    return fchmod(fd, from.st_mode & 07777) == 0;
}

} // namespace

std::FILE* open_exclusive_read(const char* name) {
    struct stat st;
    int fd = open_locked(name, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    std::FILE* stream = stream_on(fd, "rb");
    if (stream == nullptr) give_up(fd, nullptr);
    return stream;
}

std::FILE* open_read(const char* name) {
    struct stat st;
    int fd = open_regular(name, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    std::FILE* stream = clear_nonblocking(fd) ? stream_on(fd, "rb") : nullptr;
    if (stream == nullptr) give_up(fd, nullptr);
    return stream;
}

std::FILE* create_exclusive(const char* name, std::FILE* original) {
    struct stat from, st;
    if (fstat(fileno(original), &from) != 0) return nullptr;
    int fd = open_locked(name, O_RDWR | O_CREAT | O_EXCL, &st);
    if (fd < 0 && errno == EEXIST) {
        // Left by a cut-off run. A file with other names too is not such a
        // leftover: emptying it would destroy data under those names.
        fd = open_locked(name, O_RDWR, &st);
        if (fd >= 0 && st.st_nlink != 1) {
            errno = EMLINK;
            fd = give_up(fd, nullptr);
        }
    }
    if (fd < 0) return nullptr;
    if (ftruncate(fd, 0) == 0 && carry_permissions(fd, from)) {
        std::FILE* stream = stream_on(fd, "w+b");
        if (stream != nullptr) return stream;
    }
    // The file is held here and was about to be emptied: remove it rather
    // than leave an empty copy behind.
    give_up(fd, name);
    return nullptr;
}

int carry_read_only(std::FILE* /*original*/, const char* /*copy*/) {
    return 1;
}

int file_size(std::FILE* stream, long long* size) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return 0;
    *size = st.st_size;
    return 1;
}

int start_writeback(std::FILE* stream) {
    if (std::fflush(stream) != 0) return 0;
#ifdef __linux__
    // Only a hint: sync_to_storage is what makes the data durable.
    (void)sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return 1;
}

int sync_to_storage(std::FILE* stream) {
    return std::fflush(stream) == 0 && fsync(fileno(stream)) == 0;
}

int rename_no_replace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 1;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return 0;
    // A file system without RENAME_NOREPLACE: link(2) never replaces either.
    if (link(from, to) != 0) return 0;
    if (unlink(from) == 0) return 1;
    int saved = errno;
    unlink(to);
    errno = saved;
    return 0;
}

int remove_file(const char* name) {
    return unlink(name) == 0;
}

int sync_directory_of(const char* name) {
    char directory[1028];
    const char* slash = std::strrchr(name, '/');
    std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - name);
    if (length >= sizeof directory) return 0;
    if (slash == nullptr)
        std::strcpy(directory, ".");
    else if (length == 0)
        std::strcpy(directory, "/");
    else {
        std::memcpy(directory, name, length);
        directory[length] = '\0';
    }
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

// A name made only of characters the shell takes literally is written as it
// is; any other goes in single quotes, each quote in it written as '\''.
void print_quoted(std::FILE* out, const char* name) {
    std::size_t plain = std::strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./-+,:@%=");
    if (name[plain] == '\0' && plain > 0) {
        std::fputs(name, out);
        return;
    }
    std::fputc('\'', out);
    for (const char* c = name; *c != '\0'; c++) {
        if (*c == '\'')
            std::fputs("'\\''", out);
        else
            std::fputc(*c, out);
    }
    std::fputc('\'', out);
}

int command_safe(const char* /*name*/) {
    return 1;
}

void for_each_file_name(const char* arg, void (*visit)(const char* name, void* context),
                        void* context) {
    if (std::strpbrk(arg, "*?") == nullptr) {
        visit(arg, context);
        return;
    }
    glob_t matches{};
    if (glob(arg, GLOB_NOCHECK, nullptr, &matches) == 0) {
        for (std::size_t i = 0; i < matches.gl_pathc; i++)
            visit(matches.gl_pathv[i], context);
    } else {
        visit(arg, context);
    }
    globfree(&matches);
}

} // namespace platform
