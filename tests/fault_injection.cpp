// Fault injection for the test builds of the converter and the reverter:
// every I/O call that they and their platform layer make can be made to
// fail, with the error the system would give, or to kill the process on the
// spot, and every call that changes a file or a directory can be traced.
// Linked in with the linker's --wrap for each call, and for the entry points
// that _FORTIFY_SOURCE compiles some of them to (__open_2 and __openat_2 for
// an open that passes no mode, __fread_chk for a read into a buffer of known
// size), which count, fail and are traced as the call they stand for.
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
//   STATCONV_NO_TMPFILE=1     an open with O_TMPFILE fails with EOPNOTSUPP, as
//                             on a file system without unnamed files
//   STATCONV_FAULT_REPORT=F   write to F the name of the call that was hit,
//                             or "none N" at exit when none was (N calls seen)
//   STATCONV_TRACE=F          append to F a line for each call below on a file
//                             or directory, as it returns (the trace)
//
// Calls on standard output and standard error are passed through uncounted
// and untraced. close, ftruncate, fdatasync, syncfs, fchown, fsetxattr and
// attr_copy_fd are wrapped for the trace alone: they never fail on demand.
//
// The trace: one line per call, its name, then "ok" or the errno name it
// failed with, then what it did. A file or directory is ID, its device and
// inode ("2049:1234", from fstat; "-" where there is none), so that a reader
// can tell which name leads to which file, and which directory a descriptor
// holds; an entry is DIR-ID NAME, its directory's ID and its last part, each
// byte of which that is not printable ASCII, or is a space or %, is written
// %XX (an empty one as %). Modes are octal, flags and data hexadecimal.
//   open RESULT FD KIND ID DIR-ID NAME FLAGS
//                           open or openat (KIND file, dir or other; FD -1
//                           where it failed), then one of:
//   create ok DIR-ID NAME ID MODE UID GID    it made NAME
//   tmpfile ok DIR-ID ID MODE UID GID        it made an unnamed file (O_TMPFILE)
//   truncate ok ID 0                         it truncated (O_TRUNC)
//   truncate RESULT ID LENGTH                ftruncate
//   write RESULT ID OFFSET DATA              an fwrite: the bytes it wrote, at the
//                           stream's position before it (the streams are
//                           unbuffered, so this is one write)
//   seek RESULT ID OFFSET WHENCE             fseek
//   fsync RESULT ID                          fsync of a file
//   syncdir RESULT ID                        fsync of a directory
//   fdatasync RESULT ID                      fdatasync
//   syncfs RESULT ID                         syncfs
//   meta RESULT ID MODE UID GID CALL         fchmod, fchown, acl_set_fd,
//                           fsetxattr or attr_copy_fd: the file's mode and
//                           owners after it
//   rename RESULT DIR-ID FROM DIR-ID TO ID TO-ID FLAGS
//                           renameat2: ID is the file FROM named, TO-ID the
//                           one TO named before
//   link RESULT DIR-ID TO ID FLAGS           linkat: a name for the file ID
//                           (named, through /proc/self/fd, or AT_EMPTY_PATH)
//   unlink RESULT DIR-ID NAME ID FLAGS       unlinkat of the file ID
//   fdopen RESULT FD ID MODE                 a stream on a descriptor
//   close RESULT ID                          close or fclose
#include <attr/libattr.h>
#include <cerrno>
#include <climits>
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
extern "C" int __real_close(int fd);
extern "C" int __real_fstat(int fd, struct stat* st);
extern "C" int __real_fstatat(int dir, const char* path, struct stat* st, int flags);
extern "C" long __real_ftell(std::FILE* stream);

namespace {

long calls_seen = 0;
bool hit = false;

void report(const char* text) {
    const char* path = std::getenv("STATCONV_FAULT_REPORT");
    if (path == nullptr) return;
    int fd = __real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, text, std::strlen(text)) < 0) std::abort();
    __real_close(fd);
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

// Whether an fread (or __fread_chk) of `stream` fails here.
bool read_fails(std::FILE* stream) {
    if (is_console(stream) || !injected("fread", EIO)) return false;
    mark_error(stream);
    return true;
}

// ---- The trace ------------------------------------------------------------

// The trace's descriptor, opened at the first call traced; -1 when there is
// no trace.
int trace_fd() {
    static int fd = -2;
    if (fd == -2) {
        const char* path = std::getenv("STATCONV_TRACE");
        fd = path == nullptr ? -1
                             : __real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    return fd;
}

bool tracing() {
    return trace_fd() >= 0;
}

// Keeps errno as the traced call left it while the trace looks at files.
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

void trace_bytes(const char* text, std::size_t length) {
    while (length > 0) {
        ssize_t done = write(trace_fd(), text, length);
        if (done <= 0) std::abort();
        text += done;
        length -= static_cast<std::size_t>(done);
    }
}

[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...) {
    char text[256];
    std::va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) std::abort();
    trace_bytes(text, static_cast<std::size_t>(length));
}

// Starts a line: the call and how it ended.
void trace_call(const char* call, bool ok, int error) {
    const char* name = strerrorname_np(error);
    if (ok)
        trace("%s ok", call);
    else if (name != nullptr)
        trace("%s %s", call, name);
    else
        trace("%s E%d", call, error);
}

// " NAME", escaped.
void trace_name(const char* name) {
    trace(" ");
    if (*name == '\0') trace("%%");
    for (const char* c = name; *c != '\0'; c++) {
        auto byte = static_cast<unsigned char>(*c);
        if (byte <= ' ' || byte >= 0x7f || byte == '%')
            trace("%%%02X", byte);
        else
            trace_bytes(c, 1);
    }
}

// " DATA", in hexadecimal.
void trace_hex(const void* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* byte = static_cast<const unsigned char*>(data);
    char text[4096];
    std::size_t used = 0;
    trace(" ");
    if (size == 0) trace("-");
    for (std::size_t i = 0; i < size; i++) {
        text[used++] = digits[byte[i] >> 4];
        text[used++] = digits[byte[i] & 15];
        if (used == sizeof text || i + 1 == size) {
            trace_bytes(text, used);
            used = 0;
        }
    }
}

// A file or directory as the trace names it.
struct Id {
    char text[48] = "-";
    bool directory = false;
    bool regular = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

Id id_from(const struct stat& st) {
    Id id;
    std::snprintf(id.text, sizeof id.text, "%llu:%llu", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    id.directory = S_ISDIR(st.st_mode);
    id.regular = S_ISREG(st.st_mode);
    id.mode = st.st_mode & 07777;
    id.uid = st.st_uid;
    id.gid = st.st_gid;
    return id;
}

Id id_of(int fd) {
    struct stat st;
    return fd >= 0 && __real_fstat(fd, &st) == 0 ? id_from(st) : Id{};
}

Id id_at(int dir, const char* path, int flags) {
    struct stat st;
    return __real_fstatat(dir, path, &st, flags) == 0 ? id_from(st) : Id{};
}

const char* kind_of(const Id& id) {
    return id.directory ? "dir" : id.regular ? "file" : "other";
}

// The entry that `path`, from `dir`, names: its directory and its last part.
struct Entry {
    Id directory;
    const char* last = "";
};

Entry entry_of(int dir, const char* path) {
    Entry entry;
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        entry.directory = id_at(dir, ".", 0);
        entry.last = path;
        return entry;
    }
    char parent[PATH_MAX];
    std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= sizeof parent) return entry;
    std::memcpy(parent, path, length);
    parent[length] = '\0';
    entry.directory = id_at(dir, parent, 0);
    entry.last = slash + 1;
    return entry;
}

void trace_entry(const Entry& entry) {
    trace(" %s", entry.directory.text);
    trace_name(entry.last);
}

bool is_tmpfile(int flags) {
    return (flags & O_TMPFILE) == O_TMPFILE;
}

// Whether an open of an unnamed file is refused, as STATCONV_NO_TMPFILE asks.
bool no_tmpfile(int flags) {
    if (!is_tmpfile(flags) || std::getenv("STATCONV_NO_TMPFILE") == nullptr) return false;
    errno = EOPNOTSUPP;
    return true;
}

// What an open must know beforehand: whether its name was there, and how big.
struct BeforeOpen {
    bool existed = false;
    off_t size = 0;
};

BeforeOpen before_open(int dir, const char* path, int flags) {
    BeforeOpen before;
    struct stat st;
    if (!tracing() || is_tmpfile(flags) || (flags & (O_CREAT | O_TRUNC)) == 0) return before;
    KeepErrno keep;
    before.existed = __real_fstatat(dir, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
    before.size = before.existed ? st.st_size : 0;
    return before;
}

// The lines of an open: the open, then what it made or truncated.
void trace_open(int dir, const char* path, int flags, int fd, const BeforeOpen& before) {
    if (!tracing()) return;
    KeepErrno keep;
    Id id = id_of(fd);
    Entry entry = entry_of(dir, path);
    trace_call("open", fd >= 0, keep.saved);
    trace(" %d %s %s", fd, kind_of(id), id.text);
    trace_entry(entry);
    trace(" %x\n", static_cast<unsigned>(flags));
    if (fd < 0) return;
    if (is_tmpfile(flags)) {
        trace("tmpfile ok %s %s %o %u %u\n", id_at(dir, path, 0).text, id.text,
              static_cast<unsigned>(id.mode), id.uid, id.gid);
    } else if ((flags & O_CREAT) != 0 && !before.existed) {
        trace("create ok");
        trace_entry(entry);
        trace(" %s %o %u %u\n", id.text, static_cast<unsigned>(id.mode), id.uid, id.gid);
    } else if ((flags & O_TRUNC) != 0 && before.size > 0 && (flags & O_ACCMODE) != O_RDONLY) {
        trace("truncate ok %s 0\n", id.text);
    }
}

// An open of `path` from `dir` as `call` (open or openat), failed on demand,
// else made by `real`, and traced.
template <typename Real>
int open_as(const char* call, int dir, const char* path, int flags, Real real) {
    BeforeOpen before = before_open(dir, path, flags);
    int fd = injected(call, EACCES) || no_tmpfile(flags) ? -1 : real();
    trace_open(dir, path, flags, fd, before);
    return fd;
}

// A line of a call on a descriptor that names nothing but the file: fsync
// of a file or of a directory, fdatasync, syncfs, close.
void trace_on(const char* call, const Id& id, int result) {
    if (!tracing()) return;
    KeepErrno keep;
    const char* named = std::strcmp(call, "fsync") == 0 && id.directory ? "syncdir" : call;
    trace_call(named, result == 0, keep.saved);
    trace(" %s\n", id.text);
}

// The line of a call that changes who may use a file.
void trace_meta(const char* call, int fd, int result) {
    if (!tracing()) return;
    KeepErrno keep;
    Id id = id_of(fd);
    trace_call("meta", result == 0, keep.saved);
    trace(" %s %o %u %u %s\n", id.text, static_cast<unsigned>(id.mode), id.uid, id.gid, call);
}

// Whether a call on `fd` is one the trace leaves out.
bool untraced(int fd) {
    return !tracing() || fd <= STDERR_FILENO || fd == trace_fd();
}

} // namespace

extern "C" {

int __real_flock(int fd, int operation);
int __real_fchmod(int fd, mode_t mode);
int __real_fsync(int fd);
int __real_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);
int __real_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
int __real_unlinkat(int dir, const char* path, int flags);
std::FILE* __real_fdopen(int fd, const char* mode);
int __real_ftruncate(int fd, off_t length);
int __real_fdatasync(int fd);
int __real_syncfs(int fd);
int __real_fchown(int fd, uid_t owner, gid_t group);
int __real_fsetxattr(int fd, const char* name, const void* value, std::size_t size, int flags);
int __real_attr_copy_fd(const char* from_path, int from_fd, const char* to_path, int to_fd,
                        int (*check)(const char*, struct error_context*),
                        struct error_context* context);
acl_t __real_acl_get_fd(int fd);
int __real_acl_set_fd(int fd, acl_t acl);
std::size_t __real_fread(void* data, std::size_t size, std::size_t count, std::FILE* stream);
std::size_t __real_fwrite(const void* data, std::size_t size, std::size_t count, std::FILE* stream);
int __real_fseek(std::FILE* stream, long offset, int whence);
int __real_fflush(std::FILE* stream);
int __real_fclose(std::FILE* stream);

// The mode that follows `flags` where they create a file, named or not.
#define CREATION_MODE(flags, mode)                                                                 \
    mode_t mode = 0;                                                                               \
    if (((flags)&O_CREAT) != 0 || is_tmpfile(flags)) {                                             \
        std::va_list args;                                                                         \
        va_start(args, flags);                                                                     \
        mode = static_cast<mode_t>(va_arg(args, int));                                             \
        va_end(args);                                                                              \
    }

int __wrap_open(const char* path, int flags, ...) {
    CREATION_MODE(flags, mode)
    return open_as("open", AT_FDCWD, path, flags, [&] { return __real_open(path, flags, mode); });
}
int __wrap_openat(int dir, const char* path, int flags, ...) {
    CREATION_MODE(flags, mode)
    return open_as("openat", dir, path, flags,
                   [&] { return __real_openat(dir, path, flags, mode); });
}
int __real___open_2(const char* path, int flags);
int __wrap___open_2(const char* path, int flags) {
    return open_as("open", AT_FDCWD, path, flags, [&] { return __real___open_2(path, flags); });
}
int __real___openat_2(int dir, const char* path, int flags);
int __wrap___openat_2(int dir, const char* path, int flags) {
    return open_as("openat", dir, path, flags, [&] { return __real___openat_2(dir, path, flags); });
}
int __wrap_close(int fd) {
    if (untraced(fd)) return __real_close(fd);
    Id id = id_of(fd);
    int result = __real_close(fd);
    trace_on("close", id, result);
    return result;
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
    int result = injected("fchmod", EPERM) ? -1 : __real_fchmod(fd, mode);
    if (!untraced(fd)) trace_meta("fchmod", fd, result);
    return result;
}
int __wrap_fchown(int fd, uid_t owner, gid_t group) {
    int result = __real_fchown(fd, owner, group);
    if (!untraced(fd)) trace_meta("fchown", fd, result);
    return result;
}
int __wrap_fsetxattr(int fd, const char* name, const void* value, std::size_t size, int flags) {
    int result = __real_fsetxattr(fd, name, value, size, flags);
    if (!untraced(fd)) trace_meta("fsetxattr", fd, result);
    return result;
}
int __wrap_attr_copy_fd(const char* from_path, int from_fd, const char* to_path, int to_fd,
                        int (*check)(const char*, struct error_context*),
                        struct error_context* context) {
    int result = __real_attr_copy_fd(from_path, from_fd, to_path, to_fd, check, context);
    if (!untraced(to_fd)) trace_meta("attr_copy_fd", to_fd, result);
    return result;
}
int __wrap_fsync(int fd) {
    int result = injected("fsync", EIO) ? -1 : __real_fsync(fd);
    if (!untraced(fd)) trace_on("fsync", id_of(fd), result);
    return result;
}
int __wrap_fdatasync(int fd) {
    int result = __real_fdatasync(fd);
    if (!untraced(fd)) trace_on("fdatasync", id_of(fd), result);
    return result;
}
int __wrap_syncfs(int fd) {
    int result = __real_syncfs(fd);
    if (!untraced(fd)) trace_on("syncfs", id_of(fd), result);
    return result;
}
int __wrap_ftruncate(int fd, off_t length) {
    int result = __real_ftruncate(fd, length);
    if (untraced(fd)) return result;
    KeepErrno keep;
    trace_call("truncate", result == 0, keep.saved);
    trace(" %s %lld\n", id_of(fd).text, static_cast<long long>(length));
    return result;
}
int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
    Id moved, replaced;
    if (tracing()) {
        KeepErrno keep;
        moved = id_at(from_dir, from, AT_SYMLINK_NOFOLLOW);
        replaced = id_at(to_dir, to, AT_SYMLINK_NOFOLLOW);
    }
    int result = -1;
    if (injected("renameat2", EACCES))
        result = -1;
    else if (std::getenv("STATCONV_NO_NOREPLACE") == nullptr)
        result = __real_renameat2(from_dir, from, to_dir, to, flags);
    else
        errno = EINVAL;
    if (!tracing()) return result;
    KeepErrno keep;
    trace_call("rename", result == 0, keep.saved);
    trace_entry(entry_of(from_dir, from));
    trace_entry(entry_of(to_dir, to));
    trace(" %s %s %x\n", moved.text, replaced.text, flags);
    return result;
}
int __wrap_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    Id linked;
    if (tracing()) {
        KeepErrno keep;
        linked =
            (flags & AT_EMPTY_PATH) != 0 && *from == '\0'
                ? id_of(from_dir)
                : id_at(from_dir, from, (flags & AT_SYMLINK_FOLLOW) != 0 ? 0 : AT_SYMLINK_NOFOLLOW);
    }
    int result = injected("linkat", EPERM) ? -1 : __real_linkat(from_dir, from, to_dir, to, flags);
    if (!tracing()) return result;
    KeepErrno keep;
    trace_call("link", result == 0, keep.saved);
    trace_entry(entry_of(to_dir, to));
    trace(" %s %x\n", linked.text, static_cast<unsigned>(flags));
    return result;
}
int __wrap_unlinkat(int dir, const char* path, int flags) {
    Id removed;
    if (tracing()) {
        KeepErrno keep;
        removed = id_at(dir, path, AT_SYMLINK_NOFOLLOW);
    }
    int result = injected("unlinkat", EBUSY) ? -1 : __real_unlinkat(dir, path, flags);
    if (!tracing()) return result;
    KeepErrno keep;
    trace_call("unlink", result == 0, keep.saved);
    trace_entry(entry_of(dir, path));
    trace(" %s %x\n", removed.text, static_cast<unsigned>(flags));
    return result;
}
std::FILE* __wrap_fdopen(int fd, const char* mode) {
    std::FILE* stream = injected("fdopen", ENOMEM) ? nullptr : __real_fdopen(fd, mode);
    if (untraced(fd)) return stream;
    KeepErrno keep;
    trace_call("fdopen", stream != nullptr, keep.saved);
    trace(" %d %s %s\n", fd, id_of(fd).text, mode);
    return stream;
}
// EOPNOTSUPP is what a file system without ACLs gives.
acl_t __wrap_acl_get_fd(int fd) {
    return injected("acl_get_fd", EOPNOTSUPP) ? nullptr : __real_acl_get_fd(fd);
}
int __wrap_acl_set_fd(int fd, acl_t acl) {
    int result = injected("acl_set_fd", EOPNOTSUPP) ? -1 : __real_acl_set_fd(fd, acl);
    if (!untraced(fd)) trace_meta("acl_set_fd", fd, result);
    return result;
}

std::size_t __wrap_fread(void* data, std::size_t size, std::size_t count, std::FILE* stream) {
    return read_fails(stream) ? 0 : __real_fread(data, size, count, stream);
}
std::size_t __real___fread_chk(void* data, std::size_t room, std::size_t size, std::size_t count,
                               std::FILE* stream);
std::size_t __wrap___fread_chk(void* data, std::size_t room, std::size_t size, std::size_t count,
                               std::FILE* stream) {
    return read_fails(stream) ? 0 : __real___fread_chk(data, room, size, count, stream);
}
std::size_t __wrap_fwrite(const void* data, std::size_t size, std::size_t count,
                          std::FILE* stream) {
    if (is_console(stream)) return __real_fwrite(data, size, count, stream);
    long at = -1;
    if (tracing()) {
        KeepErrno keep;
        at = __real_ftell(stream);
    }
    std::size_t written = 0;
    if (injected("fwrite", ENOSPC))
        mark_error(stream);
    else
        written = __real_fwrite(data, size, count, stream);
    if (untraced(fileno(stream))) return written;
    KeepErrno keep;
    trace_call("write", written == count, keep.saved);
    trace(" %s %ld", id_of(fileno(stream)).text, at);
    trace_hex(data, written * size);
    trace("\n");
    return written;
}
int __wrap_fseek(std::FILE* stream, long offset, int whence) {
    int result = injected("fseek", EIO) ? -1 : __real_fseek(stream, offset, whence);
    if (is_console(stream) || untraced(fileno(stream))) return result;
    KeepErrno keep;
    trace_call("seek", result == 0, keep.saved);
    trace(" %s %ld %d\n", id_of(fileno(stream)).text, offset, whence);
    return result;
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
    int fd = fileno(stream);
    Id id = untraced(fd) ? Id{} : id_of(fd);
    bool failed = injected("fclose", EIO);
    int result = __real_fclose(stream);
    if (failed) {
        errno = EIO;
        result = EOF;
    }
    if (!untraced(fd)) trace_on("close", id, result);
    return result;
}

} // extern "C"
