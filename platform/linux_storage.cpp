// Linux: a file put on storage and given its name: fflush and fsync,
// sync_file_range(2) to start writeback, fsync (or syncfs) of a directory,
// renameat2(RENAME_NOREPLACE) for renames that never replace (linkat and
// unlinkat where a file system lacks it), and whether a name is free or may
// be made.
#include "platform/linux_internal.h"

#include "platform/platform.h"
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

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

bool may_create_in(const Directory& directory) {
    return faccessat(fd_of(directory), ".", W_OK | X_OK, AT_EACCESS) == 0;
}

bool fixed_in_place(std::FILE* file) {
    int flags = 0;
    return ioctl(fileno(file), FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

} // namespace platform
