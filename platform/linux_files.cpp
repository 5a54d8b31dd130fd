// Linux: the held directory and the files in it, opened relative to it
// (openat, fstatat, linkat, unlinkat) and never as anything but a regular
// file, with flock(2) for exclusive use, read leases (F_SETLEASE) to notice
// writers that ignore the lock, unnamed copies (O_TMPFILE) and
// __fsetlocking for streams without locks; and what fstat tells of them.
#include "platform/linux_internal.h"
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

Directory::~Directory() {
    if (held()) close(static_cast<int>(native));
}

namespace {

// Gives up on a descriptor: closes it, after removing `created` in
// `directory` (a file the caller made itself and holds, still under that
// name) so that a refusal leaves nothing behind. Keeps errno as it was.
int give_up(int fd, const Directory* directory, const char* created) {
    int saved = errno;
    struct stat st, now;
    if (created != nullptr && fstat(fd, &st) == 0 &&
        fstatat(fd_of(*directory), created, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == now.st_dev && st.st_ino == now.st_ino)
        unlinkat(fd_of(*directory), created, 0);
    close(fd);
    errno = saved;
    return -1;
}

// Why an entry of type `mode` cannot be opened as a regular file.
int not_regular(mode_t mode) {
    errno = S_ISLNK(mode) ? ELOOP : S_ISDIR(mode) ? EISDIR : EINVAL;
    return -1;
}

// Opens the regular file that `path_fd` (O_PATH, which opens nothing) was
// opened on, found as `last` in the directory on `dir_fd`, with `flags`,
// through /proc/self/fd, so that a FIFO or device put there in between is
// never opened. Where /proc is not mounted, `last` is opened again, not
// following a link, and must be the file looked at. Returns the descriptor
// or -1.
int reopen(int path_fd, int dir_fd, const char* last, int flags, struct stat* st) {
    if (fstat(path_fd, st) != 0) return -1;
    if (!S_ISREG(st->st_mode)) return not_regular(st->st_mode);
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", path_fd);
    int opened = flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(proc, opened);
    if (fd < 0 && errno == ENOENT) fd = openat(dir_fd, last, opened | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat now;
    if (fstat(fd, &now) != 0) return give_up(fd, nullptr, nullptr);
    if (now.st_dev != st->st_dev || now.st_ino != st->st_ino) {
        errno = EBUSY; // another file took the name in between
        return give_up(fd, nullptr, nullptr);
    }
    *st = now;
    return fd;
}

// Opens `last` in the directory on `dir_fd`, an existing regular file and
// no symbolic link, with `flags`. Returns the descriptor or -1.
int open_existing(int dir_fd, const char* last, int flags, struct stat* st) {
    Descriptor path(openat(dir_fd, last, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return path.value < 0 ? -1 : reopen(path.value, dir_fd, last, flags, st);
}

// Opens for reading what `last` in `directory` names, following it where
// it is a symbolic link that the rule allows: for root, only one that root
// made. The link is followed from what it holds, read from the link itself,
// never by looking `last` up again, and the path it holds is resolved by
// the rule of hold_directory_of, from `directory`: a link that an ordinary
// user made, or one in her directory, leads only into directories of hers.
// One link is followed, to a regular file. Returns the descriptor or -1.
int open_following(const Directory& directory, const char* last, struct stat* st) {
    Descriptor link(openat(fd_of(directory), last, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat link_st, dir_st;
    if (link.value < 0 || fstat(link.value, &link_st) != 0) return -1;
    if (!S_ISLNK(link_st.st_mode)) return reopen(link.value, fd_of(directory), last, O_RDONLY, st);
    uid_t made_by = counted_owner(link_st);
    if (geteuid() == 0 && made_by != 0) {
        errno = ELOOP;
        return -1;
    }
    char target[PATH_MAX];
    ssize_t length = readlinkat(link.value, "", target, sizeof target - 1);
    if (length <= 0 || fstat(fd_of(directory), &dir_st) != 0) return -1;
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    std::size_t prefix = slash == nullptr ? 0 : static_cast<std::size_t>(slash - target) + 1;
    const char* target_last = target + prefix;
    if (*target_last == '\0' || std::strcmp(target_last, ".") == 0 ||
        std::strcmp(target_last, "..") == 0) {
        errno = EISDIR;
        return -1;
    }
    uid_t says = made_by != 0 ? made_by : counted_owner(dir_st);
    Descriptor there(
        resolve_directory(fd_of(directory), target, prefix, says != 0 ? says : no_guard));
    return there.value < 0 ? -1 : open_existing(there.value, target_last, O_RDONLY, st);
}

} // namespace

// Opens `last` in `directory` without following a final symbolic link and
// without blocking, and makes sure it is a regular file, never opening
// anything else. With O_EXCL in `flags` the file is new, and is removed
// again if it cannot be used. Returns the descriptor or -1.
int open_regular(const Directory& directory, const char* last, int flags, struct stat* st) {
    if ((flags & O_EXCL) == 0) return open_existing(fd_of(directory), last, flags, st);
    int fd = openat(fd_of(directory), last, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    unfinished_mode);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0) return give_up(fd, &directory, last);
    if (!S_ISREG(st->st_mode)) {
        not_regular(st->st_mode);
        return give_up(fd, &directory, last);
    }
    return fd;
}

namespace {

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

// Opens `last` in `directory`, a regular file, and takes flock's exclusive
// lock without waiting. The name must still refer to the locked file: a
// converter that lost a race for it must not go on with a file that has
// since been renamed away. With O_EXCL in `flags` the file is new, and is
// removed again if it cannot be held. Returns the descriptor or -1.
int open_locked(const Directory& directory, const char* last, int flags, struct stat* st) {
    int fd = open_regular(directory, last, flags, st);
    if (fd < 0) return -1;
    const char* created = (flags & O_EXCL) != 0 ? last : nullptr;
    if (!lock_exclusive(fd, flags)) return give_up(fd, &directory, created);
    struct stat now;
    if (fstatat(fd_of(directory), last, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return give_up(fd, &directory, created);
    if (now.st_dev != st->st_dev || now.st_ino != st->st_ino) {
        errno = EBUSY;
        return give_up(fd, &directory, nullptr); // another file now: not ours to remove
    }
    if (!clear_nonblocking(fd)) return give_up(fd, &directory, created);
    return fd;
}

// The programs are single-threaded, so their streams need no locking: that
// saves a lock and an unlock on every call.
std::FILE* stream_on(int fd, const char* mode, const Directory& directory, const char* created) {
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        give_up(fd, &directory, created);
        return nullptr;
    }
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return stream;
}

// Takes a read lease on `fd`, open for reading: the system then tells this
// process when another opens the file for writing. Refused (EBUSY) when one
// has it open for writing already; where no lease can be had (a file system
// without them, a file the caller neither owns nor may lease as root), the
// hold goes on without one.
int take_lease(int fd) {
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0 || errno != EAGAIN) return 1;
    errno = EBUSY;
    return 0;
}

void stamp_from(const struct stat& st, Stamp& stamp) {
    constexpr long long billion = 1000000000;
    stamp.volume = st.st_dev;
    stamp.index = st.st_ino;
    stamp.size = st.st_size;
    stamp.links = st.st_nlink;
    stamp.modified = st.st_mtim.tv_sec * billion + st.st_mtim.tv_nsec;
    stamp.changed = st.st_ctim.tv_sec * billion + st.st_ctim.tv_nsec;
}

} // namespace

int hold_directory_of(const char* name, Directory& directory, std::size_t* last_at) {
    const char* slash = std::strrchr(name, '/');
    std::size_t prefix = slash == nullptr ? 0 : static_cast<std::size_t>(slash - name) + 1;
    const char* last = name + prefix;
    if (*last == '\0' || std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0) {
        errno = EISDIR;
        return 0;
    }
    int fd = resolve_directory(AT_FDCWD, name, prefix, no_guard);
    if (fd < 0) return 0;
    directory.native = fd;
    *last_at = prefix;
    return 1;
}

std::FILE* open_exclusive(const Directory& directory, const char* last) {
    struct stat st;
    int fd = open_locked(directory, last, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    if (!take_lease(fd)) {
        give_up(fd, nullptr, nullptr);
        return nullptr;
    }
    return stream_on(fd, "rb", directory, nullptr);
}

int no_writer_since_held(std::FILE* held) {
    int fd = fileno(held);
    int lease = fcntl(fd, F_GETLEASE);
    if (lease == F_RDLCK || lease == -1) return 1;
    // No lease now: none could be had (so nothing can be told), or it was
    // broken by an opener, which a lease taken afresh would tell.
    if (lease == F_UNLCK && fcntl(fd, F_SETLEASE, F_RDLCK) != 0 && errno != EAGAIN) return 1;
    (void)fcntl(fd, F_SETLEASE, F_UNLCK); // the opener waits no longer
    errno = EBUSY;
    return 0;
}

int stamp_of(std::FILE* stream, Stamp& stamp) {
    struct stat st;
    if (!fstat_of(stream, &st)) return 0;
    stamp_from(st, stamp);
    return 1;
}

int stamp_of_name(const Directory& directory, const char* last, Stamp& stamp) {
    struct stat st;
    if (fstatat(fd_of(directory), last, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    stamp_from(st, stamp);
    return 1;
}

std::FILE* open_removable(const Directory& directory, const char* last) {
    return open_exclusive(directory, last);
}

// An unnamed file in the directory where the file system makes them, so
// that nothing of the copy has a name until name_copy gives it one; else
// `last`, created with the mark.
std::FILE* create_copy(const Directory& directory, const char* last) {
    int fd = openat(fd_of(directory), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, unfinished_mode);
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            give_up(fd, nullptr, nullptr);
            return nullptr;
        }
        return stream_on(fd, "w+b", directory, nullptr);
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return nullptr;
    struct stat st;
    fd = open_locked(directory, last, O_RDWR | O_CREAT | O_EXCL, &st);
    return fd < 0 ? nullptr : stream_on(fd, "w+b", directory, last);
}

namespace {

// Whether the file held on `held` has a name at all: an unnamed copy has none.
bool has_a_name(std::FILE* held) {
    struct stat st;
    return fstat_of(held, &st) && st.st_nlink > 0;
}

} // namespace

int name_copy(std::FILE* copy, const Directory& directory, const char* last) {
    if (has_a_name(copy)) return 1;
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fileno(copy));
    if (linkat(AT_FDCWD, proc, fd_of(directory), last, AT_SYMLINK_FOLLOW) == 0) return 1;
    if (errno != ENOENT) return 0;
    return linkat(fileno(copy), "", fd_of(directory), last, AT_EMPTY_PATH) == 0; // no /proc
}

// A symbolic link is followed only as open_following allows.
std::FILE* open_read(const Directory& directory, const char* last, bool follow_link) {
    struct stat st;
    int fd = follow_link ? open_following(directory, last, &st)
                         : open_existing(fd_of(directory), last, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    if (!clear_nonblocking(fd)) {
        give_up(fd, nullptr, nullptr);
        return nullptr;
    }
    return stream_on(fd, "rb", directory, nullptr);
}

int own_name(std::FILE* /*held*/, const Directory& /*directory*/, const char* last, char* own,
             std::size_t room) {
    std::size_t length = std::strlen(last);
    if (length >= room) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(own, last, length + 1);
    return 1;
}

namespace {

void facts_from(const struct stat& st, Facts& facts) {
    facts.size = st.st_size;
    facts.links = st.st_nlink;
    facts.owned_by_caller = st.st_uid == geteuid();
    facts.regular = S_ISREG(st.st_mode);
    facts.unfinished = facts.regular && (st.st_mode & 07777) == unfinished_mode;
}

} // namespace

int facts_of(std::FILE* held, Facts& facts) {
    struct stat st;
    if (!fstat_of(held, &st)) return 0;
    facts_from(st, facts);
    return 1;
}

int facts_of_name(const Directory& directory, const char* last, Facts& facts) {
    struct stat st;
    if (fstatat(fd_of(directory), last, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    facts_from(st, facts);
    return 1;
}

bool held_elsewhere(std::FILE* file) {
    // The lock open_exclusive takes, taken and given back at once: a shared
    // lock of another program refuses it too.
    int fd = fileno(file);
    if (!lock_exclusive(fd, O_RDONLY)) return errno == EWOULDBLOCK;
    (void)flock(fd, LOCK_UN);
    // A writer that ignores the lock: a read lease cannot be had while
    // another has the file open for writing, as open_exclusive finds.
    if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return errno == EAGAIN;
    (void)fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
}

int remove_held(std::FILE* held, const Directory& directory, const char* last) {
    struct stat st, now;
    if (!fstat_of(held, &st)) return 0;
    if (st.st_nlink == 0) return 1; // an unnamed copy: nothing to remove
    if (fstatat(fd_of(directory), last, &now, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        errno = EBUSY;
        return 0;
    }
    return unlinkat(fd_of(directory), last, 0) == 0;
}

int remove_unfinished(const Directory& directory, const char* last) {
    int path_fd = openat(fd_of(directory), last, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (path_fd < 0) return 0;
    Descriptor path(path_fd);
    struct stat st, now;
    if (fstat(path.value, &st) != 0) return 0;
    if (!S_ISREG(st.st_mode) || (st.st_mode & 07777) != unfinished_mode || st.st_nlink != 1 ||
        st.st_uid != geteuid() || fstatat(fd_of(directory), last, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        errno = EBUSY;
        return 0;
    }
    return unlinkat(fd_of(directory), last, 0) == 0;
}

} // namespace platform
