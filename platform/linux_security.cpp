// Linux: who may use a file: its owner and group, permission bits, ACL
// (libacl), extended attributes (libattr) and file flags (FS_IOC_GETFLAGS),
// carried from the original to its copy, owners compared, and a fingerprint
// of who may use a file.
#include "platform/fingerprint.h"
#include "platform/linux_internal.h"
#include "platform/owned.h"
#include "platform/platform.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

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
    unsigned long long hash = fingerprint_start;
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

int carry_metadata(std::FILE* original, std::FILE* copy) {
    return carry_all(fileno(original), fileno(copy));
}

} // namespace platform
