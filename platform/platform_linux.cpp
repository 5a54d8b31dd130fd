// The runtime layer on Linux: POSIX calls, with flock(2) for exclusive use,
// renameat2(RENAME_NOREPLACE) for renames that never replace (link and
// unlink where a file system lacks it), sync_file_range(2) to start
// writeback, and __fsetlocking for streams without locks.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// Takes flock's exclusive lock on `fd` without waiting. On NFS the exclusive
// lock needs a descriptor open for writing, and one open for reading gets
// EBADF: it takes the shared lock instead, which every exclusive lock still
// excludes (and a converter holds its NAME.new, open for writing, under the
// exclusive lock).
int lock_exclusive(int fd, int flags) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
    return errno == EBADF && (flags & O_ACCMODE) == O_RDONLY && flock(fd, LOCK_SH | LOCK_NB) == 0;
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
    if (!lock_exclusive(fd, flags)) return give_up(fd, created);
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

// Whether the file open on `fd` is a copy that a cut-off conversion left: no
// other names, owned by the user running the converter (or, when that is
// root, which gives its copies away, by the owner of the original), and either empty
// or beginning with the version 2 header's "StAt" "Ver2". Anything else at
// NAME.new is somebody's data and is not ours to empty or remove.
int is_leftover_copy(int fd, const struct stat& st, const struct stat& original) {
    uid_t user = geteuid();
    bool ours = st.st_uid == user || (user == 0 && st.st_uid == original.st_uid);
    if (st.st_nlink != 1 || !ours) return 0;
    if (st.st_size == 0) return 1;
    char start[8];
    return pread(fd, start, sizeof start, 0) == static_cast<ssize_t>(sizeof start) &&
           std::memcmp(start, "StAtVer2", sizeof start) == 0;
}

// Removes a leftover copy at `name`, held while it is checked and removed so
// that no other converter is at work on it. Fails, touching nothing, for
// anything that is not such a leftover.
int remove_leftover(const char* name, const struct stat& original) {
    struct stat st;
    int fd = open_locked(name, O_RDONLY, &st);
    if (fd < 0) return 0;
    int removed = is_leftover_copy(fd, st, original) && unlink(name) == 0;
    give_up(fd, nullptr);
    if (!removed) errno = EEXIST;
    return removed;
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
    // A leftover is removed and the copy made afresh, never written into:
    // a descriptor that someone opened on the old file must not reach the
    // new data.
    int fd = open_locked(name, O_RDWR | O_CREAT | O_EXCL, &st);
    if (fd < 0 && errno == EEXIST && remove_leftover(name, from))
        fd = open_locked(name, O_RDWR | O_CREAT | O_EXCL, &st);
    if (fd < 0) return nullptr;
    if (carry_permissions(fd, from)) {
        std::FILE* stream = stream_on(fd, "w+b");
        if (stream != nullptr) return stream;
    }
    give_up(fd, name); // made here and held: remove it rather than leave it behind
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

int same_file(const char* a, const char* b) {
    struct stat sa, sb;
    return lstat(a, &sa) == 0 && lstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int rename_no_replace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 1;
    if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
        // A file system without RENAME_NOREPLACE: link(2) never replaces either.
        if (link(from, to) == 0) {
            if (unlink(from) == 0) return 1;
            int saved = errno;
            unlink(to);
            errno = saved;
            return 0;
        }
    }
    // A fallback cut off between its link and its unlink left `to` as a
    // second name of `from`: only the unlink remains to be done.
    if (errno != EEXIST) return 0;
    if (same_file(from, to)) return unlink(from) == 0;
    errno = EEXIST;
    return 0;
}

int remove_file(const char* name) {
    return unlink(name) == 0;
}

int name_is_free(const char* name) {
    struct stat st;
    if (lstat(name, &st) == 0) {
        errno = EEXIST;
        return 0;
    }
    return errno == ENOENT;
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

int vprint_text(std::FILE* out, const char* format, std::va_list args) {
    return std::vfprintf(out, format, args);
}

int command_safe(const char* /*name*/) {
    return 1;
}

namespace {

// Whether `name` matches `pattern`, in which '*' stands for any run of bytes
// and '?' for any one byte; every other byte stands for itself.
bool matches(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            pattern++;
            name++;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0';
}

// Appends to `names` the files that `arg` stands for: the entries of its
// directory whose names match its last part, sorted; a name beginning with
// a dot only where the pattern does too. A pattern that matches nothing
// stands for itself.
void expand(const char* arg, std::vector<std::string>& names) {
    const char* slash = std::strrchr(arg, '/');
    const char* pattern = slash == nullptr ? arg : slash + 1;
    if (std::strpbrk(pattern, "*?") == nullptr) {
        names.emplace_back(arg);
        return;
    }
    std::string prefix(arg, static_cast<std::size_t>(pattern - arg));
    std::size_t first = names.size();
    if (DIR* directory = opendir(prefix.empty() ? "." : prefix.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            if (entry->d_name[0] == '.' && pattern[0] != '.') continue;
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            if (matches(pattern, entry->d_name)) names.push_back(prefix + entry->d_name);
        }
        closedir(directory);
    }
    if (names.size() == first) names.emplace_back(arg);
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(first), names.end());
}

} // namespace

void for_each_file_name(int count, char** args, void (*visit)(const char* name, void* context),
                        void* context) {
    std::vector<std::string> names;
    for (int i = 0; i < count; i++)
        expand(args[i], names);
    for (const std::string& name : names)
        visit(name.c_str(), context);
}

} // namespace platform
