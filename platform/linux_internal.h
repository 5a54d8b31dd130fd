// What the Linux files of the operating-system layer share among
// themselves, and nothing else includes: descriptors that close themselves,
// the held directory's descriptor, the mark of an unfinished copy, the
// opening of a regular file (linux_files.cpp) and the resolution of a
// directory part (linux_resolve.cpp).
#pragma once

#include <cstddef>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/owned.h"
#include "platform/platform.h"

namespace platform {

inline void close_descriptor(int fd) {
    close(fd);
}
inline bool is_descriptor(int fd) {
    return fd >= 0;
}
// A descriptor that is closed on every path out of the scope that holds it.
using Descriptor = Owned<int, close_descriptor, is_descriptor>;

// The mark of an unfinished copy: no permissions at all, and the sticky bit,
// which means nothing on a file. A file's own permission bits are never
// this (carry_all refuses to give them), so a finished copy, or one kept
// as somebody's data, never bears the mark.
constexpr mode_t unfinished_mode = S_ISVTX;

inline int fd_of(const Directory& directory) {
    return static_cast<int>(directory.native);
}

inline int fstat_of(std::FILE* stream, struct stat* st) {
    return fstat(fileno(stream), st) == 0;
}

// ---- Files (linux_files.cpp) ----------------------------------------------

// Opens `last` in `directory`, a regular file and no symbolic link, with
// `flags` (O_EXCL: a new one), never opening anything else. Returns the
// descriptor or -1.
int open_regular(const Directory& directory, const char* last, int flags, struct stat* st);

// ---- The resolution of a directory part (linux_resolve.cpp) ---------------

// No user's directories to keep to yet.
inline constexpr uid_t no_guard = static_cast<uid_t>(-1);

// Resolves the first `length` bytes of `path`, a directory part, once,
// from the directory on `start` (AT_FDCWD: the current one; "/" for an
// absolute path), and returns a descriptor of the directory it leads to:
// readable where that is allowed, so that it can be synced, else one for
// the path alone. Once a symbolic link that an ordinary user made, or a link
// or ".." in a directory that she owns, has been taken, every directory
// reached after it must be hers (EPERM); `guard` names such a user from the
// start (no_guard: none). A directory on a file system that an ordinary
// user mounted (FUSE) counts as hers, whatever owners it reports.
int resolve_directory(int start, const char* path, std::size_t length, uid_t guard);

// The owner that the directory or link described by `st` counts as having
// for that rule: its own, or the user who mounted its file system.
uid_t counted_owner(const struct stat& st);

} // namespace platform
