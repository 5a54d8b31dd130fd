// Linux: the resolution of a directory part, one part at a time, with the
// rule that keeps an ordinary user from leading it into a directory of
// someone else's (platform.h, hold_directory_of).
#include "platform/linux_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {
namespace {

// Who mounted the FUSE file system on device `dev`, as
// /proc/self/mountinfo records it (the user_id= of its options); no_guard
// for any other file system, or where it cannot be told. A line is read a
// piece at a time, so that one of any length is read whole.
uid_t mounted_by(dev_t dev) {
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr) return no_guard;
    char line[4096];
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, " %u:%u ", major(dev), minor(dev));
    uid_t found = no_guard;
    bool at_start = true, ours = false;
    while (found == no_guard && std::fgets(line, sizeof line, mounts) != nullptr) {
        if (at_start) {
            const char* device = std::strchr(line, ' ');
            device = device != nullptr ? std::strchr(device + 1, ' ') : nullptr;
            ours = device != nullptr && std::strncmp(device, wanted, std::strlen(wanted)) == 0;
        }
        const char* fields = ours ? std::strstr(line, " - fuse") : nullptr;
        const char* user = fields != nullptr ? std::strstr(fields, "user_id=") : nullptr;
        if (user != nullptr) found = static_cast<uid_t>(std::strtoul(user + 8, nullptr, 10));
        at_start = std::strchr(line, '\n') != nullptr;
    }
    std::fclose(mounts);
    return found;
}

// The path still to be resolved, as a symbolic link's target rewrites it.
struct Pending {
    char path[2 * PATH_MAX];
    std::size_t at = 0;
};

// Replaces what is left of `pending` after the part just read (which ended
// at `rest`) by `target`, then the rest. Fails (ENAMETOOLONG) where the two
// do not fit.
int splice_link(Pending& pending, std::size_t rest, const char* target) {
    std::size_t target_length = std::strlen(target);
    std::size_t rest_length = std::strlen(pending.path + rest);
    if (target_length + 1 + rest_length + 1 > sizeof pending.path) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memmove(pending.path + target_length + 1, pending.path + rest, rest_length + 1);
    std::memcpy(pending.path, target, target_length);
    pending.path[target_length] = '/';
    pending.at = 0;
    return 1;
}

// One step of the resolution: from the directory on `here` (whose owner is
// `here_st`) to its entry `part`. A symbolic link is spliced into `pending`
// instead, and `here` then stands at its start ("/" for an absolute one).
// Once a link that an ordinary user owns, or a link or ".." in a directory
// that she owns, has been taken, every directory reached after it must be
// hers (EPERM): she could have made the link, or moved the directory, to
// lead anywhere.
int step(Descriptor& here, struct stat& here_st, const char* part, std::size_t rest,
         Pending& pending, uid_t& guard, int& links) {
    bool up = std::strcmp(part, "..") == 0;
    int next = openat(here.value, part, O_PATH | O_NOFOLLOW | O_CLOEXEC | (up ? O_DIRECTORY : 0));
    if (next < 0) return 0;
    Descriptor child(next);
    struct stat st;
    if (fstat(child.value, &st) != 0) return 0;
    st.st_uid = counted_owner(st);
    // A link is the word of whoever made it: in a directory that others
    // may write (/tmp), that is its owner, not the directory's.
    uid_t says = S_ISLNK(st.st_mode) && st.st_uid != 0 ? st.st_uid : here_st.st_uid;
    if ((S_ISLNK(st.st_mode) || up) && says != 0 && guard == no_guard) guard = says;
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        ssize_t length = readlinkat(child.value, "", target, sizeof target - 1);
        if (length < 0) return 0;
        target[length] = '\0';
        if (++links > 40) {
            errno = ELOOP;
            return 0;
        }
        if (!splice_link(pending, rest, target)) return 0;
        if (target[0] != '/') return 1;
        here.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (here.value < 0 || fstat(here.value, &st) != 0) return 0;
        st.st_uid = counted_owner(st);
    } else if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return 0;
    } else {
        here.reset(child.release());
    }
    if (guard != no_guard && st.st_uid != guard) {
        errno = EPERM;
        return 0;
    }
    here_st = st;
    return 1;
}

} // namespace

int resolve_directory(int start, const char* path, std::size_t length, uid_t guard) {
    Pending pending;
    if (length >= sizeof pending.path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(pending.path, path, length);
    pending.path[length] = '\0';
    Descriptor here(path[0] == '/' ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                   : openat(start, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat here_st;
    if (here.value < 0 || fstat(here.value, &here_st) != 0) return -1;
    here_st.st_uid = counted_owner(here_st);
    int links = 0;
    for (;;) {
        char* part = pending.path + pending.at + std::strspn(pending.path + pending.at, "/");
        if (*part == '\0') break;
        std::size_t part_length = std::strcspn(part, "/");
        std::size_t rest = static_cast<std::size_t>(part - pending.path) + part_length;
        bool more = part[part_length] != '\0';
        part[part_length] = '\0';
        pending.at = rest + (more ? 1 : 0);
        if (std::strcmp(part, ".") == 0) continue;
        if (!step(here, here_st, part, pending.at, pending, guard, links)) return -1;
    }
    int readable = openat(here.value, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable >= 0) return readable;
    return here.release(); // held by O_PATH alone
}

uid_t counted_owner(const struct stat& st) {
    // FUSE, like every file system without a device of its own, has major 0.
    if (major(st.st_dev) != 0) return st.st_uid;
    uid_t mounter = mounted_by(st.st_dev);
    return mounter != no_guard && mounter != 0 ? mounter : st.st_uid;
}

} // namespace platform
