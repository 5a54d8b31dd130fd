// What the Linux files of the operating-system layer share among
// themselves, and nothing else includes: descriptors that close themselves,
// and the resolution of a directory part (linux_resolve.cpp).
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/owned.h"

namespace platform {

inline void close_descriptor(int fd) {
    close(fd);
}
inline bool is_descriptor(int fd) {
    return fd >= 0;
}
// A descriptor that is closed on every path out of the scope that holds it.
using Descriptor = Owned<int, close_descriptor, is_descriptor>;

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
