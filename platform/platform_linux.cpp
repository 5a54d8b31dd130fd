// The operating system beneath the programs, on Linux: POSIX calls, with
// flock(2) for exclusive use, renameat2(RENAME_NOREPLACE) for renames that
// never replace (link and unlink where a file system lacks it),
// sync_file_range(2) to start writeback, __fsetlocking for streams without
// locks, read leases (F_SETLEASE) to notice writers that ignore the lock,
// and libacl and libattr to carry a file's ACL and extended attributes.
#include "platform/platform.h"

#include <acl/libacl.h>
#include <algorithm>
#include <attr/libattr.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio_ext.h>
#include <string>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
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

// The programs are single-threaded, so their streams need no locking: that
// saves a lock and an unlock on every call.
std::FILE* stream_on(int fd, const char* mode, const char* created) {
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        give_up(fd, created);
        return nullptr;
    }
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return stream;
}

// Whether the copy on `to_fd` has the owner and group of the original
// `from`. Where the process could not give it them (a user converting a
// file of a group she is not in, or another user's file), the permission
// bits and the ACL would go to another owner or group: members of hers
// would gain access, the original's would lose it.
int has_owners_of(int to_fd, const struct stat& from) {
    struct stat st;
    if (fstat(to_fd, &st) != 0) return 0;
    if (st.st_uid == from.st_uid && st.st_gid == from.st_gid) return 1;
    errno = EPERM;
    return 0;
}

// An ACL from libacl, freed on every path.
struct Acl {
    acl_t acl;
    explicit Acl(acl_t got) : acl(got) {}
    Acl(const Acl&) = delete;
    Acl& operator=(const Acl&) = delete;
    ~Acl() {
        if (acl != nullptr) acl_free(acl);
    }
};

// Gives the copy on `to_fd` the access ACL of the original on `from_fd`
// exactly, replacing whatever it inherited from a default ACL of its
// directory; the ACL's entries for owner, group and others are the
// permission bits. A file system without ACLs (EOPNOTSUPP, which is ENOTSUP
// on Linux) has none to carry. Where the copy cannot take the ACL, only one
// that says no more than the permission bits may be left to fchmod.
int carry_acl(int from_fd, int to_fd) {
    Acl acl(acl_get_fd(from_fd));
    if (acl.acl == nullptr) return errno == EOPNOTSUPP;
    if (acl_set_fd(to_fd, acl.acl) == 0) return 1;
    return errno == EOPNOTSUPP && acl_equiv_mode(acl.acl, nullptr) == 0;
}

// Gives the copy the original's extended attributes, as cp does: libattr
// leaves out the ACLs (carried above) and what /etc/xattr.conf says is not
// to be copied. A file system without them has none to carry; an attribute
// that cannot be set fails.
int carry_xattrs(int from_fd, int to_fd) {
    return attr_copy_fd(nullptr, from_fd, nullptr, to_fd, nullptr, nullptr) == 0;
}

// The file flags (chattr) carried over: how the file is stored, synced and
// backed up. Immutable and append-only are not among them: either would
// keep the copy from being renamed into place. No-copy-on-write is not
// either: it takes effect only on an empty file.
constexpr int carried_flags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL;

// Gives the copy the original's carried flags exactly, clearing any it
// inherited from its directory that the original lacks. A file system
// without flags (ENOTTY, EOPNOTSUPP) has none to carry; a flag that cannot
// be set (one that needs a privilege the process lacks) fails.
int carry_flags(int from_fd, int to_fd) {
    int from = 0;
    int to = 0;
    if (ioctl(from_fd, FS_IOC_GETFLAGS, &from) != 0) return errno == ENOTTY || errno == EOPNOTSUPP;
    if (ioctl(to_fd, FS_IOC_GETFLAGS, &to) != 0) return 0;
    int wanted = (to & ~carried_flags) | (from & carried_flags);
    return wanted == to || ioctl(to_fd, FS_IOC_SETFLAGS, &wanted) == 0;
}

// Gives the finished copy on `to_fd` what it must carry of the original on
// `from_fd`: the owner and group (checked), the ACL, then the permission
// bits (after the owner, since changing the owner may clear set-id bits;
// after the ACL, which they agree with, so that the copy is never more open
// than the original), the extended attributes and the file flags. Fails
// when any of them cannot be carried.
int carry_all(int from_fd, int to_fd) {
    struct stat from;
    if (fstat(from_fd, &from) != 0) return 0;
    if (fchown(to_fd, from.st_uid, from.st_gid) != 0) (void)fchown(to_fd, (uid_t)-1, from.st_gid);
    return has_owners_of(to_fd, from) && carry_acl(from_fd, to_fd) &&
           fchmod(to_fd, from.st_mode & 07777) == 0 && carry_xattrs(from_fd, to_fd) &&
           carry_flags(from_fd, to_fd);
}

int fstat_of(std::FILE* stream, struct stat* st) {
    return fstat(fileno(stream), st) == 0;
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
    stamp.modified = st.st_mtim.tv_sec * billion + st.st_mtim.tv_nsec;
    stamp.changed = st.st_ctim.tv_sec * billion + st.st_ctim.tv_nsec;
}

} // namespace

std::FILE* open_exclusive(const char* name) {
    struct stat st;
    int fd = open_locked(name, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    if (!take_lease(fd)) {
        give_up(fd, nullptr);
        return nullptr;
    }
    return stream_on(fd, "rb", nullptr);
}

int still_alone(std::FILE* held) {
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

int stamp_of_name(const char* name, Stamp& stamp) {
    struct stat st;
    if (lstat(name, &st) != 0) return 0;
    stamp_from(st, stamp);
    return 1;
}

void prepare_process() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGIO, SIG_IGN);
}

std::FILE* open_removable(const char* name) {
    return open_exclusive(name);
}

std::FILE* create_new(const char* name) {
    struct stat st;
    int fd = open_locked(name, O_RDWR | O_CREAT | O_EXCL, &st);
    return fd < 0 ? nullptr : stream_on(fd, "w+b", name);
}

std::FILE* open_read(const char* name) {
    struct stat st;
    int fd = open_regular(name, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    if (!clear_nonblocking(fd)) {
        give_up(fd, nullptr);
        return nullptr;
    }
    return stream_on(fd, "rb", nullptr);
}

int facts_of(std::FILE* held, const char* /*name*/, Facts& facts) {
    struct stat st;
    if (!fstat_of(held, &st)) return 0;
    facts.size = st.st_size;
    facts.links = st.st_nlink;
    facts.owned_by_caller = st.st_uid == geteuid();
    facts.plain = S_ISREG(st.st_mode);
    return 1;
}

int same_owner(std::FILE* a, std::FILE* b) {
    struct stat sa, sb;
    return fstat_of(a, &sa) && fstat_of(b, &sb) && sa.st_uid == sb.st_uid;
}

bool caller_is_privileged() {
    return geteuid() == 0;
}

int remove_held(std::FILE* held, const char* name) {
    struct stat st, now;
    if (!fstat_of(held, &st) || lstat(name, &now) != 0) return 0;
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        errno = EBUSY;
        return 0;
    }
    return unlink(name) == 0;
}

int carry_metadata(std::FILE* original, std::FILE* copy) {
    return carry_all(fileno(original), fileno(copy));
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
    Stamp sa, sb;
    return stamp_of_name(a, sa) && stamp_of_name(b, sb) && sa.volume == sb.volume &&
           sa.index == sb.index;
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

int vprint_text(std::FILE* out, const char* format, std::va_list args) {
    return std::vfprintf(out, format, args);
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

std::vector<FileName> file_names(int count, char** argv, int first) {
    std::vector<std::string> names;
    for (int i = first; i < count; i++)
        expand(argv[i], names);
    std::vector<FileName> found;
    for (std::string& name : names)
        found.push_back({std::move(name), true});
    return found;
}

} // namespace platform
