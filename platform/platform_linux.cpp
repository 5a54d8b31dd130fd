// The operating system beneath the programs, on Linux: POSIX calls made
// relative to a held directory (openat, fstatat, renameat2, linkat,
// unlinkat), with flock(2) for exclusive use, renameat2(RENAME_NOREPLACE)
// for renames that never replace (linkat and unlinkat where a file system
// lacks it), sync_file_range(2) to start writeback, __fsetlocking for
// streams without locks, read leases (F_SETLEASE) to notice writers that
// ignore the lock, and libacl and libattr to carry a file's ACL and
// extended attributes.
#include "platform/linux_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

#include <acl/libacl.h>
#include <algorithm>
#include <attr/libattr.h>
#include <cerrno>
#include <climits>
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
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

Directory::~Directory() {
    if (held()) close(static_cast<int>(native));
}

namespace {

// The mark of an unfinished copy: no permissions at all, and the sticky bit,
// which means nothing on a file. A file's own permission bits are never
// this (carry_all refuses to give them), so a finished copy, or one kept
// as somebody's data, never bears the mark.
constexpr mode_t unfinished_mode = S_ISVTX;

int fd_of(const Directory& directory) {
    return static_cast<int>(directory.native);
}

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

void free_acl(acl_t acl) {
    acl_free(acl);
}
bool is_acl(acl_t acl) {
    return acl != nullptr;
}
// An ACL from libacl, freed on every path.
using Acl = Owned<acl_t, free_acl, is_acl>;

// Gives the copy on `to_fd` the access ACL of the original on `from_fd`
// exactly, replacing whatever it inherited from a default ACL of its
// directory; the ACL's entries for owner, group and others are the
// permission bits. A file system without ACLs (EOPNOTSUPP, which is ENOTSUP
// on Linux) has none to carry. Where the copy cannot take the ACL, only one
// that says no more than the permission bits may be left to fchmod.
int carry_acl(int from_fd, int to_fd) {
    Acl acl(acl_get_fd(from_fd));
    if (acl.value == nullptr) return errno == EOPNOTSUPP;
    if (acl_set_fd(to_fd, acl.value) == 0) return 1;
    return errno == EOPNOTSUPP && acl_equiv_mode(acl.value, nullptr) == 0;
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
    if ((from.st_mode & 07777) == unfinished_mode) { // a copy with them would bear the mark
        errno = EPERM;
        return 0;
    }
    (void)(!fchown(to_fd, from.st_uid, from.st_gid) || !fchown(to_fd, (uid_t)-1, from.st_gid));
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

namespace {

// Folds `size` bytes at `data` into the fingerprint `hash` (FNV-1a).
void fold(unsigned long long& hash, const void* data, std::size_t size) {
    const auto* byte = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; i++)
        hash = (hash ^ byte[i]) * 0x100000001b3ULL;
}

// Folds the access ACL of the file on `fd` into `hash`, entry by entry, so
// that an ACL of any size the file system allows is told; a file system
// without ACLs has none to fold.
int fold_acl(int fd, unsigned long long& hash) {
    Acl acl(acl_get_fd(fd));
    if (acl.value == nullptr) return errno == EOPNOTSUPP;
    acl_entry_t entry;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl.value, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        acl_permset_t permissions;
        if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &permissions) != 0)
            return 0;
        unsigned long long facts[] = {
            static_cast<unsigned long long>(tag), 0,
            static_cast<unsigned long long>(acl_get_perm(permissions, ACL_READ) * 4 +
                                            acl_get_perm(permissions, ACL_WRITE) * 2 +
                                            acl_get_perm(permissions, ACL_EXECUTE))};
        if (tag == ACL_USER || tag == ACL_GROUP) {
            void* qualifier = acl_get_qualifier(entry);
            if (qualifier == nullptr) return 0;
            facts[1] = *static_cast<id_t*>(qualifier);
            acl_free(qualifier);
        }
        fold(hash, facts, sizeof facts);
    }
    return 1;
}

int access_of_fd(int fd, unsigned long long& fingerprint) {
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    unsigned long long hash = 0xcbf29ce484222325ULL;
    const unsigned long long facts[] = {st.st_uid, st.st_gid, st.st_mode};
    fold(hash, facts, sizeof facts);
    if (!fold_acl(fd, hash)) return 0;
    fingerprint = hash;
    return 1;
}

} // namespace

int access_of(std::FILE* held, unsigned long long& fingerprint) {
    return access_of_fd(fileno(held), fingerprint);
}

int access_of_name(const Directory& directory, const char* last, unsigned long long& fingerprint) {
    struct stat st;
    int fd = open_regular(directory, last, O_RDONLY, &st);
    if (fd < 0) return 0;
    Descriptor held(fd);
    return access_of_fd(held.value, fingerprint);
}

void prepare_process() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGIO, SIG_IGN);
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
    int fd = fileno(file);
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    (void)flock(fd, LOCK_UN);
    // A writer that ignores the lock: a read lease cannot be had while
    // another has the file open for writing, as open_exclusive finds.
    if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return errno == EAGAIN;
    (void)fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
}

int same_owner(std::FILE* a, std::FILE* b) {
    struct stat sa, sb;
    return fstat_of(a, &sa) && fstat_of(b, &sb) && sa.st_uid == sb.st_uid;
}

bool caller_is_privileged() {
    return geteuid() == 0;
}

bool can_give_owners_of(const Directory& directory, std::FILE* file) {
    struct stat st;
    if (!fstat_of(file, &st)) return true;
    int fd = openat(fd_of(directory), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return true; // nothing to ask with: nothing is told
    (void)(!fchown(fd, st.st_uid, st.st_gid) || !fchown(fd, (uid_t)-1, st.st_gid));
    bool given = has_owners_of(fd, st);
    close(fd);
    return given;
}

bool may_create_in(const Directory& directory) {
    return faccessat(fd_of(directory), ".", W_OK | X_OK, AT_EACCESS) == 0;
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
    // Only a hint: sync_to_storage is what makes the data durable.
    (void)sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
    return 1;
}

int sync_to_storage(std::FILE* stream) {
    return std::fflush(stream) == 0 && fsync(fileno(stream)) == 0;
}

int sync_directory(const Directory& directory, std::FILE* within) {
    if (fsync(fd_of(directory)) == 0) return 1;
    // Held for its path alone (it may be searched but not read): the
    // file system it is on, through a file held in it.
    if (errno != EBADF || within == nullptr) return 0;
    return syncfs(fileno(within)) == 0;
}

namespace {

bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `last` in `directory` names the file described by `held`.
bool names_it(const Directory& directory, const char* last, const struct stat& held) {
    struct stat st;
    return fstatat(fd_of(directory), last, &st, AT_SYMLINK_NOFOLLOW) == 0 && same_inode(st, held);
}

// The rename on a file system without RENAME_NOREPLACE: a link, which never
// replaces either, put on storage, then the unlink of `from`. Between the
// two, `to` must be the held file: by its device and inode, or, on a file
// system that numbers the names of one file apart, by the held file's
// having one name more than before. Neither is asked after the unlink: a
// file system that keeps an unlinked open file under a hidden name (FUSE)
// then reports a count that tells nothing, and may serve the count from a
// cache before.
int rename_by_link(std::FILE* held, const Directory& directory, const char* from, const char* to,
                   const struct stat& before) {
    int fd = fd_of(directory);
    if (linkat(fd, from, fd, to, 0) != 0) return 0;
    struct stat linked;
    int saved = 0;
    if (!sync_directory(directory, held) || !fstat_of(held, &linked))
        saved = errno;
    else if (!names_it(directory, to, before) && linked.st_nlink != before.st_nlink + 1)
        saved = EBUSY; // `to` is not the held file
    if (saved != 0) {
        unlinkat(fd, to, 0);
        errno = saved;
        return 0;
    }
    if (!names_it(directory, from, before)) {
        errno = EBUSY;
        return 0;
    }
    return unlinkat(fd, from, 0) == 0;
}

} // namespace

int rename_held(std::FILE* held, const Directory& directory, const char* from, const char* to,
                bool* by_link) {
    int fd = fd_of(directory);
    struct stat st;
    bool linked = false;
    if (by_link == nullptr) by_link = &linked;
    *by_link = false;
    if (!fstat_of(held, &st)) return 0;
    if (!names_it(directory, from, st)) {
        errno = EBUSY;
        return 0;
    }
    if (renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) {
        if (names_it(directory, to, st)) return 1;
        // Another file took `from` in the moment before: put it back.
        (void)renameat2(fd, to, fd, from, RENAME_NOREPLACE);
        errno = EBUSY;
        return 0;
    }
    if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
        *by_link = true;
        if (rename_by_link(held, directory, from, to, st)) return 1;
    }
    // A fallback cut off between its link and its unlink left `to` as a
    // second name of the held file: only the unlink remains to be done.
    if (errno != EEXIST) return 0;
    if (!names_it(directory, to, st)) {
        errno = EEXIST;
        return 0;
    }
    *by_link = true;
    return unlinkat(fd, from, 0) == 0;
}

int name_is_free(const Directory& directory, const char* last) {
    struct stat st;
    if (fstatat(fd_of(directory), last, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return 0;
    }
    return errno == ENOENT;
}

int vprint_text(std::FILE* out, const char* format, std::va_list args) {
    return std::vfprintf(out, format, args);
}

std::vector<Argument> arguments(int count, char** argv, int first) {
    std::vector<Argument> got;
    for (int i = first; i < count; i++)
        got.push_back({argv[i], argv[i], true});
    return got;
}

std::size_t last_part_at(const NativeName& path) {
    std::size_t slash = path.rfind('/');
    return slash == NativeName::npos ? 0 : slash + 1;
}

std::vector<NativeName> directory_entries(const NativeName& directory) {
    std::vector<NativeName> entries;
    if (DIR* listing = opendir(directory.empty() ? "." : directory.c_str())) {
        while (const dirent* entry = readdir(listing))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                entries.emplace_back(entry->d_name);
        closedir(listing);
    }
    return entries;
}

bool same_letter(NativeChar a, NativeChar b) {
    return a == b;
}

bool to_program_name(const NativeName& native, std::string& name, bool& as_typed) {
    name = native;
    as_typed = true;
    return true;
}

} // namespace platform
