// Fault injection for the test builds of the converter and the reverter:
// every I/O call that they and their platform layer make can be made to
// fail, with the error the system would give, or to kill the process on the
// spot. Linked in with the linker's --wrap for each call.
//
//   STATCONV_FAULT=CALL:N     the Nth call of CALL fails (fread:2, renameat2:1)
//   STATCONV_FAULT=CALL:N-M   the Nth to the Mth calls of CALL fail (renameat2:2-3)
//   STATCONV_FAULT=CALL:N:E   ... with errno E instead of the usual error (also N-M:E)
//   STATCONV_FAULT=any:N      the Nth of all the calls below fails
//   STATCONV_NO_NOREPLACE=1   renameat2 fails with EINVAL, as on a file
//                             system without RENAME_NOREPLACE
//   STATCONV_FAULT_KILL=1     SIGKILL the process there instead of failing
//   STATCONV_FAULT_RUN=CMD    run CMD there (with the shell) and let the call
//                             go on; with STATCONV_FAULT_WAIT=F, then wait
//                             until F exists and a moment more (for a CMD
//                             that goes on in the background)
//   STATCONV_NO_LEASE=1       fcntl(F_SETLEASE) fails with EINVAL, as on a
//                             file system without leases
//   STATCONV_FAULT_REPORT=F   write to F the name of the call that was hit,
//                             or "none N" at exit when none was (N calls seen)
//
// Calls on standard output and standard error are passed through uncounted.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __real_openat(int dir, const char* path, int flags, ...);

namespace {

long calls_seen = 0;
bool hit = false;

void report(const char* text) {
    const char* path = std::getenv("STATCONV_FAULT_REPORT");
    if (path == nullptr) return;
    int fd = __real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, text, std::strlen(text)) < 0) std::abort();
    close(fd);
}

[[gnu::destructor]] void report_no_fault() {
    if (hit) return;
    char text[32];
    std::snprintf(text, sizeof text, "none %ld", calls_seen);
    report(text);
}

bool injected(const char* call, int error) {
    static const char* fault = std::getenv("STATCONV_FAULT");
    if (fault == nullptr) return false;
    const char* colon = std::strchr(fault, ':');
    if (colon == nullptr) return false;
    std::size_t length = static_cast<std::size_t>(colon - fault);
    bool counted = (length == 3 && std::strncmp(fault, "any", 3) == 0) ||
                   (std::strlen(call) == length && std::strncmp(fault, call, length) == 0);
    char* end = nullptr;
    long first = std::strtol(colon + 1, &end, 10);
    long last = *end == '-' ? std::strtol(end + 1, &end, 10) : first;
    if (!counted || ++calls_seen < first || calls_seen > last) return false;
    hit = true;
    report(call);
    if (std::getenv("STATCONV_FAULT_KILL") != nullptr) std::raise(SIGKILL);
    if (const char* command = std::getenv("STATCONV_FAULT_RUN")) {
        if (std::system(command) != 0) std::abort();
        if (const char* ready = std::getenv("STATCONV_FAULT_WAIT")) {
            while (access(ready, F_OK) != 0)
                usleep(10000);
            usleep(300000); // for the command to reach the call it blocks in
        }
        return false;
    }
    errno = *end == ':' ? std::atoi(end + 1) : error;
    return true;
}

bool is_console(std::FILE* stream) {
    return stream == stdout || stream == stderr;
}

// A failed stdio transfer leaves the stream's error indicator set, as a
// real one does.
void mark_error(std::FILE* stream) {
    stream->_flags |= _IO_ERR_SEEN;
}

} // namespace

extern "C" {

int __real_fstat(int fd, struct stat* st);
int __real_fstatat(int dir, const char* path, struct stat* st, int flags);
int __real_flock(int fd, int operation);
int __real_fchmod(int fd, mode_t mode);
int __real_fsync(int fd);
int __real_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);
int __real_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
int __real_unlinkat(int dir, const char* path, int flags);
std::FILE* __real_fdopen(int fd, const char* mode);
acl_t __real_acl_get_fd(int fd);
int __real_acl_set_fd(int fd, acl_t acl);
std::size_t __real_fread(void* data, std::size_t size, std::size_t count, std::FILE* stream);
std::size_t __real_fwrite(const void* data, std::size_t size, std::size_t count, std::FILE* stream);
int __real_fseek(std::FILE* stream, long offset, int whence);
long __real_ftell(std::FILE* stream);
int __real_fflush(std::FILE* stream);
int __real_fclose(std::FILE* stream);

// The mode that follows `flags` where they create a file, named or not.
#define CREATION_MODE(flags, mode)                                                                 \
    mode_t mode = 0;                                                                               \
    if (((flags)&O_CREAT) != 0 || ((flags)&O_TMPFILE) == O_TMPFILE) {                              \
        std::va_list args;                                                                         \
        va_start(args, flags);                                                                     \
        mode = static_cast<mode_t>(va_arg(args, int));                                             \
        va_end(args);                                                                              \
    }

int __wrap_open(const char* path, int flags, ...) {
    CREATION_MODE(flags, mode)
    return injected("open", EACCES) ? -1 : __real_open(path, flags, mode);
}
int __wrap_openat(int dir, const char* path, int flags, ...) {
    CREATION_MODE(flags, mode)
    return injected("openat", EACCES) ? -1 : __real_openat(dir, path, flags, mode);
}
int __real_fcntl(int fd, int command, ...);
int __wrap_fcntl(int fd, int command, ...) {
    std::va_list args;
    va_start(args, command);
    long argument = va_arg(args, long);
    va_end(args);
    if (command == F_SETLEASE && std::getenv("STATCONV_NO_LEASE") != nullptr) {
        errno = EINVAL;
        return -1;
    }
    return injected("fcntl", EIO) ? -1 : __real_fcntl(fd, command, argument);
}
int __wrap_fstat(int fd, struct stat* st) {
    return injected("fstat", EIO) ? -1 : __real_fstat(fd, st);
}
int __wrap_fstatat(int dir, const char* path, struct stat* st, int flags) {
    return injected("fstatat", EACCES) ? -1 : __real_fstatat(dir, path, st, flags);
}
int __wrap_flock(int fd, int operation) {
    return injected("flock", EWOULDBLOCK) ? -1 : __real_flock(fd, operation);
}
int __wrap_fchmod(int fd, mode_t mode) {
    return injected("fchmod", EPERM) ? -1 : __real_fchmod(fd, mode);
}
int __wrap_fsync(int fd) {
    return injected("fsync", EIO) ? -1 : __real_fsync(fd);
}
int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
    if (injected("renameat2", EACCES)) return -1;
    if (std::getenv("STATCONV_NO_NOREPLACE") == nullptr)
        return __real_renameat2(from_dir, from, to_dir, to, flags);
    errno = EINVAL;
    return -1;
}
int __wrap_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    return injected("linkat", EPERM) ? -1 : __real_linkat(from_dir, from, to_dir, to, flags);
}
int __wrap_unlinkat(int dir, const char* path, int flags) {
    return injected("unlinkat", EBUSY) ? -1 : __real_unlinkat(dir, path, flags);
}
std::FILE* __wrap_fdopen(int fd, const char* mode) {
    return injected("fdopen", ENOMEM) ? nullptr : __real_fdopen(fd, mode);
}
// EOPNOTSUPP is what a file system without ACLs gives.
acl_t __wrap_acl_get_fd(int fd) {
    return injected("acl_get_fd", EOPNOTSUPP) ? nullptr : __real_acl_get_fd(fd);
}
int __wrap_acl_set_fd(int fd, acl_t acl) {
    return injected("acl_set_fd", EOPNOTSUPP) ? -1 : __real_acl_set_fd(fd, acl);
}

std::size_t __wrap_fread(void* data, std::size_t size, std::size_t count, std::FILE* stream) {
    if (!is_console(stream) && injected("fread", EIO)) {
        mark_error(stream);
        return 0;
    }
    return __real_fread(data, size, count, stream);
}
std::size_t __wrap_fwrite(const void* data, std::size_t size, std::size_t count,
                          std::FILE* stream) {
    if (!is_console(stream) && injected("fwrite", ENOSPC)) {
        mark_error(stream);
        return 0;
    }
    return __real_fwrite(data, size, count, stream);
}
int __wrap_fseek(std::FILE* stream, long offset, int whence) {
    return injected("fseek", EIO) ? -1 : __real_fseek(stream, offset, whence);
}
long __wrap_ftell(std::FILE* stream) {
    return injected("ftell", EIO) ? -1 : __real_ftell(stream);
}
int __wrap_fflush(std::FILE* stream) {
    if (!is_console(stream) && injected("fflush", ENOSPC)) return EOF;
    return __real_fflush(stream);
}
// A failed close still releases the stream, as fclose does.
int __wrap_fclose(std::FILE* stream) {
    if (!injected("fclose", EIO)) return __real_fclose(stream);
    __real_fclose(stream);
    errno = EIO;
    return EOF;
}

} // extern "C"
