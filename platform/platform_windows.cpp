// The runtime layer on Windows, through the C runtime msvcrt.dll,
// KERNEL32.dll and, for the copy's security descriptor, ADVAPI32.dll:
// _fsopen with _SH_DENYRW for exclusive use, CreateFile without sharing for
// the copy, rename (which never replaces an existing file there), _commit to
// reach storage, and the start-up's own wildcard expansion.
#include "platform/platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>

#include "stats/layout.h"

// Asks the runtime's start-up (__getmainargs) to expand wildcard arguments
// into the names of the matching files before main sees them.
extern "C" {
int _dowildcard = -1;

struct StartupInfo {
    int new_mode;
};
// The same start-up for the wide argument vector, in msvcrt.dll.
int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expand_wildcards,
                   StartupInfo* info);
}

namespace platform {

namespace {

// The command line's arguments in UTF-16, as the runtime's start-up gives
// them (patterns expanded as for main's), fetched once.
struct WideArguments {
    int count;
    wchar_t** values;
};
const WideArguments& wide_arguments() {
    static const WideArguments wide = [] {
        WideArguments got{0, nullptr};
        wchar_t** environment = nullptr;
        StartupInfo info{0};
        __wgetmainargs(&got.count, &got.values, &environment, _dowildcard, &info);
        return got.values != nullptr ? got : WideArguments{0, nullptr};
    }();
    return wide;
}

// Whether `wide` converts to the ANSI code page as exactly `narrow`, with no
// character mapped to a look-alike or to the default character.
bool converts_exactly(const wchar_t* wide, const char* narrow) {
    char converted[MAX_PATH * 4];
    BOOL lossy = FALSE;
    UINT code_page = GetACP();
    bool utf8 = code_page == CP_UTF8; // holds every character, and takes no best-fit flag
    int length =
        WideCharToMultiByte(code_page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide, -1,
                            converted, sizeof converted, nullptr, utf8 ? nullptr : &lossy);
    return length > 0 && !lossy && std::strcmp(converted, narrow) == 0;
}

// Whether `name` is a command-line argument that did not reach the program
// as typed. The runtime passes main its arguments in the ANSI code page,
// which maps a character it cannot hold to a look-alike: "Ωmega" arrives as
// "Omega", the name of another file. An argument is as typed when the wide
// argument in its place converts to it exactly. Where the two vectors differ
// in length (a pattern that the code page changed), places cannot be
// matched and no argument counts as typed.
bool is_changed_argument(const char* name) {
    char** narrow = __argv;
    const WideArguments& wide = wide_arguments();
    int count = 0;
    while (narrow[count] != nullptr)
        count++;
    for (int i = 1; i < count; i++)
        if (std::strcmp(narrow[i], name) == 0 &&
            (wide.count != count || !converts_exactly(wide.values[i], name)))
            return true;
    return false;
}

// Whether a part of `path` ends in a dot or a space, which Windows drops:
// "g." would open g (and its backup would be "g..old"). The parts "." and
// ".." stand for themselves.
bool has_part_windows_trims(const char* path) {
    const char* part = path;
    for (const char* c = path;; c++) {
        if (*c != '/' && *c != '\\' && *c != '\0') continue;
        auto length = static_cast<std::size_t>(c - part);
        bool dots = length <= 2 && std::strspn(part, ".") >= length;
        if (length > 0 && (c[-1] == '.' || c[-1] == ' ') && !dots) return true;
        if (*c == '\0') return false;
        part = c + 1;
    }
}

// Opens `name`, a regular file, for binary reading with the given sharing.
// A name that would not reach the file system as given is refused (EINVAL).
std::FILE* open_regular(const char* name, int sharing) {
    if (has_part_windows_trims(name) || is_changed_argument(name)) {
        errno = EINVAL;
        return nullptr;
    }
    std::FILE* stream = _fsopen(name, "rb", sharing);
    if (stream == nullptr) return nullptr;
    struct _stati64 st;
    if (_fstati64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

// Opens `name` with no sharing at all, so that no other handle can read,
// write or delete the file while it is held here. A symbolic link or other
// reparse point is opened itself, never followed.
HANDLE open_unshared(const char* name, DWORD access, DWORD disposition) {
    return CreateFileA(name, access, 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool mark_for_deletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool set_attributes(HANDLE file, DWORD attributes) {
    FILE_BASIC_INFO basic{}; // times of 0 are left as they are
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The last part of a path: what follows its last '/', '\\' or drive colon.
const char* last_part(const char* path) {
    const char* part = path;
    for (const char* c = path; *c != '\0'; c++)
        if (*c == '/' || *c == '\\' || *c == ':') part = c + 1;
    return part;
}

// Whether the file held on `file` was reached under `name` itself rather
// than through a link to it: the system's own path for the handle must end
// in the same last part. (Wine shows a Unix symbolic link as the file it
// points to, and removing that would remove the file pointed to.)
bool reached_directly(HANDLE file, const char* name) {
    char path[MAX_PATH * 4];
    DWORD length = GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED);
    return length > 0 && length < sizeof path && _stricmp(last_part(path), last_part(name)) == 0;
}

// Whether the file held on `file` is a copy that a cut-off conversion left:
// a plain file (no directory, device or reparse point) reached directly under
// `name`, with no other names, either empty or beginning with the version 2
// header's "StAt" "Ver2". Anything else at NAME.new is somebody's data, not
// ours to empty or remove.
bool is_leftover_copy(HANDLE file, const char* name, const BY_HANDLE_FILE_INFORMATION& info) {
    constexpr DWORD not_plain =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if (GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & not_plain) != 0 ||
        info.nNumberOfLinks != 1 || !reached_directly(file, name))
        return false;
    if (info.nFileSizeHigh == 0 && info.nFileSizeLow == 0) return true;
    stats::Header start;
    DWORD got = 0;
    return ReadFile(file, &start, 8, &got, nullptr) && got == 8 &&
           std::memcmp(start.magic, stats::magic_bytes, 4) == 0 &&
           std::memcmp(start.version, stats::version_2_bytes, 4) == 0;
}

// Removes a leftover copy at `name`, held without sharing while it is
// checked and removed. A read-only attribute (the copy of a read-only file)
// is cleared first, as it would stop the removal. Fails, leaving it exactly
// as it was, for anything that is not such a leftover.
bool remove_leftover(const char* name) {
    HANDLE file = open_unshared(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES | DELETE, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool removed = false;
    if (GetFileInformationByHandle(file, &info) && is_leftover_copy(file, name, info)) {
        DWORD attributes = info.dwFileAttributes;
        bool writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
                        set_attributes(file, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        removed = writable && mark_for_deletion(file);
        if (writable && !removed) set_attributes(file, attributes);
    }
    CloseHandle(file);
    return removed;
}

// A security descriptor that the system allocated, freed on every path.
struct Descriptor {
    PSECURITY_DESCRIPTOR sd = nullptr;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (sd != nullptr) LocalFree(sd);
    }
};

// Gives the file held on `to` the security of the one held on `from`: its
// DACL exactly, with the flag that says whether it takes entries from the
// directory (a protected one does not), and its owner and group where the
// process may set them (itself, or anyone with the restore privilege). The
// descriptor is set as it is, with SetKernelObjectSecurity: SetSecurityInfo
// would add what the directory passes on (under Wine, even to a protected
// DACL, which then lets Everyone read). Wine stores no security descriptor:
// it turns the DACL into the file's mode bits.
bool carry_security(HANDLE from, HANDLE to) {
    Descriptor got;
    constexpr SECURITY_INFORMATION owners = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, owners | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &got.sd) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(got.sd, &control, &revision)) return false;
    (void)SetKernelObjectSecurity(to, owners, got.sd);
    SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                           ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION | inheritance, got.sd) != 0;
}

// A stream for binary update on a file just created and held on `file`.
// Fails, removing the file, where none can be had.
std::FILE* stream_on_new(HANDLE file) {
    int fd = -1;
    if (GetFileType(file) == FILE_TYPE_DISK)
        fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDWR | _O_BINARY);
    std::FILE* stream = fd != -1 ? _fdopen(fd, "w+b") : nullptr;
    if (stream != nullptr) return stream;
    mark_for_deletion(file);
    if (fd != -1)
        _close(fd);
    else
        CloseHandle(file);
    return nullptr;
}

} // namespace

std::FILE* open_exclusive_read(const char* name) {
    return open_regular(name, _SH_DENYRW);
}

std::FILE* open_read(const char* name) {
    return open_regular(name, _SH_DENYNO);
}

// The copy is always a new file, held without sharing while it is written.
// A leftover is removed and the copy made afresh, never written into: a
// handle that someone opened on the old file must not reach the new data, and
// the old file's attributes (hidden, say) must not pass to the converted one.
// The copy takes the original's security before the first byte is written,
// while it is held: once closed, a DACL that the directory gave it could let
// others open it. The owner may always change the DACL (WRITE_DAC); the
// owner, only where the DACL allows (MAXIMUM_ALLOWED takes what it grants).
std::FILE* create_exclusive(const char* name, std::FILE* original) {
    constexpr DWORD update = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | MAXIMUM_ALLOWED;
    HANDLE file = open_unshared(name, update, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        remove_leftover(name))
        file = open_unshared(name, update, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    auto from = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(original)));
    if (carry_security(from, file)) return stream_on_new(file);
    CloseHandle(file);
    _unlink(name);
    return nullptr;
}

int carry_read_only(std::FILE* original, const char* copy) {
    BY_HANDLE_FILE_INFORMATION info;
    auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(original)));
    if (!GetFileInformationByHandle(file, &info)) return 0;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 || _chmod(copy, _S_IREAD) == 0;
}

int file_size(std::FILE* stream, long long* size) {
    long long length = _filelengthi64(_fileno(stream));
    if (length < 0) return 0;
    *size = length;
    return 1;
}

int start_writeback(std::FILE* stream) {
    return std::fflush(stream) == 0;
}

int sync_to_storage(std::FILE* stream) {
    return std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
}

int rename_no_replace(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

int remove_file(const char* name) {
    return _unlink(name) == 0;
}

int name_is_free(const char* name) {
    if (_access(name, 0) == 0) {
        errno = EEXIST;
        return 0;
    }
    return errno == ENOENT;
}

// NTFS journals its directory changes itself; the runtime offers no way to
// flush a directory.
int sync_directory_of(const char* /*name*/) {
    return 1;
}

// Windows names cannot hold a double quote, so quoting is enough.
void print_quoted(std::FILE* out, const char* name) {
    std::fprintf(out, "\"%s\"", name);
}

int command_safe(const char* name) {
    return std::strchr(name, '%') == nullptr;
}

// Never: msvcrt's rename is a single step, so no cut-off rename leaves a
// file under two names.
int same_file(const char* /*a*/, const char* /*b*/) {
    return 0;
}

void for_each_file_name(int count, char** args, void (*visit)(const char* name, void* context),
                        void* context) {
    for (int i = 0; i < count; i++)
        visit(args[i], context);
}

} // namespace platform
