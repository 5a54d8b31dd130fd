// The operating system beneath the programs, on Windows, through the C
// runtime msvcrt.dll, KERNEL32.dll and, for file security alone,
// ADVAPI32.dll: files held through CreateFile with no sharing and turned
// into runtime streams, MoveFileEx for renames that never replace and are
// written through, _commit to reach storage, security descriptors carried
// from file to file, and the runtime start-up's own wildcard expansion.
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

// Sets errno from the system's last error and returns 0.
int fail_with_system_error() {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        errno = ENOENT;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        errno = EACCES;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EBUSY;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_TOO_MANY_OPEN_FILES:
        errno = EMFILE;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
        errno = ENAMETOOLONG;
        break;
    case ERROR_NOT_SAME_DEVICE:
        errno = EXDEV;
        break;
    case ERROR_DIR_NOT_EMPTY:
        errno = ENOTEMPTY;
        break;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        errno = EINVAL;
        break;
    default:
        errno = EIO;
        break;
    }
    return 0;
}

int fail_with(int error) {
    errno = error;
    return 0;
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

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
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

// A runtime stream on `file`, which it then owns; null, with the handle
// closed (and a file this call made, `created`, removed), where none can
// be had.
std::FILE* stream_on(HANDLE file, int flags, const char* mode, bool created) {
    int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), flags | _O_BINARY);
    std::FILE* stream = fd != -1 ? _fdopen(fd, mode) : nullptr;
    if (stream != nullptr) return stream;
    int saved = errno;
    if (created) mark_for_deletion(file);
    if (fd != -1)
        _close(fd);
    else
        CloseHandle(file);
    errno = saved;
    return nullptr;
}

// Opens `name` with no sharing at all, so that no other handle can read,
// write or delete the file while it is held here. A symbolic link or other
// reparse point is opened itself and refused, as are directories and
// devices. A name that would not reach the file system as given is refused.
std::FILE* open_held(const char* name, DWORD access) {
    if (has_part_windows_trims(name)) {
        fail_with(EINVAL);
        return nullptr;
    }
    HANDLE file = CreateFileA(name, access, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail_with_system_error();
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int error = GetFileType(file) != FILE_TYPE_DISK ? EINVAL : 0;
    if (error == 0 && !GetFileInformationByHandle(file, &info)) error = EIO;
    if (error == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) error = ELOOP;
    if (error == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) error = EISDIR;
    if (error != 0) {
        CloseHandle(file);
        fail_with(error);
        return nullptr;
    }
    return stream_on(file, _O_RDONLY, "rb", false);
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

// The command line's arguments in UTF-16, as the runtime's start-up gives
// them (patterns expanded as for main's).
struct WideArguments {
    int count = 0;
    wchar_t** values = nullptr;
};
WideArguments wide_arguments() {
    WideArguments got;
    wchar_t** environment = nullptr;
    StartupInfo info{0};
    __wgetmainargs(&got.count, &got.values, &environment, _dowildcard, &info);
    return got.values != nullptr ? got : WideArguments{};
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

// The owner of the file open on `file`, in `got`, which frees it.
PSID owner_of(HANDLE file, Descriptor& got) {
    PSID owner = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &got.sd) != ERROR_SUCCESS)
        return nullptr;
    return owner;
}

// Whether the file open on `file` has the owner that this process gives
// the files it creates.
bool owned_by_caller(HANDLE file) {
    Descriptor got;
    PSID owner = owner_of(file, got);
    HANDLE token = nullptr;
    if (owner == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_OWNER) unsigned char buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    bool mine = GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &length) &&
                EqualSid(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, owner);
    CloseHandle(token);
    return mine;
}

} // namespace

std::FILE* open_exclusive(const char* name) {
    return open_held(name, GENERIC_READ);
}

std::FILE* open_removable(const char* name) {
    return open_held(name, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES);
}

std::FILE* create_new(const char* name) {
    // The creator may always set the DACL (WRITE_DAC); the owner only where
    // the DACL allows, which MAXIMUM_ALLOWED takes.
    constexpr DWORD update = GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | MAXIMUM_ALLOWED;
    HANDLE file = CreateFileA(name, update, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail_with_system_error();
        return nullptr;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        mark_for_deletion(file);
        CloseHandle(file);
        fail_with(EINVAL);
        return nullptr;
    }
    return stream_on(file, _O_RDWR, "w+b", true);
}

std::FILE* open_read(const char* name) {
    if (has_part_windows_trims(name)) {
        fail_with(EINVAL);
        return nullptr;
    }
    std::FILE* stream = _fsopen(name, "rb", _SH_DENYNO);
    if (stream == nullptr) return nullptr;
    struct _stati64 st;
    if (_fstati64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(stream);
        fail_with(EINVAL);
        return nullptr;
    }
    return stream;
}

int facts_of(std::FILE* held, const char* name, Facts& facts) {
    HANDLE file = handle_of(held);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return fail_with_system_error();
    constexpr DWORD not_plain =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    facts.size = static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    facts.links = info.nNumberOfLinks;
    facts.owned_by_caller = owned_by_caller(file);
    facts.plain = GetFileType(file) == FILE_TYPE_DISK && (info.dwFileAttributes & not_plain) == 0 &&
                  reached_directly(file, name);
    return 1;
}

int still_alone(std::FILE* /*held*/) {
    return 1;
}

namespace {

long long nanoseconds(LARGE_INTEGER time) {
    return time.QuadPart * 100; // the system counts in 100 ns
}

// The stamp of the file open on `file`.
int stamp_of_handle(HANDLE file, Stamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(file, &info) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return fail_with_system_error();
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.index = static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    stamp.size = static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    stamp.modified = nanoseconds(basic.LastWriteTime);
    stamp.changed = nanoseconds(basic.ChangeTime);
    return 1;
}

} // namespace

int stamp_of(std::FILE* stream, Stamp& stamp) {
    return stamp_of_handle(handle_of(stream), stamp);
}

// Opened only to be asked about, whoever else has it open, and without
// following a reparse point.
int stamp_of_name(const char* name, Stamp& stamp) {
    HANDLE file = CreateFileA(
        name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail_with_system_error();
    int stamped = stamp_of_handle(file, stamp);
    CloseHandle(file);
    return stamped;
}

void prepare_process() {}

int same_owner(std::FILE* a, std::FILE* b) {
    Descriptor got_a, got_b;
    PSID owner_a = owner_of(handle_of(a), got_a), owner_b = owner_of(handle_of(b), got_b);
    return owner_a != nullptr && owner_b != nullptr && EqualSid(owner_a, owner_b);
}

bool caller_is_privileged() {
    return false;
}

// A read-only attribute would stop the deletion; it is cleared first, and
// put back if the deletion is refused all the same.
int remove_held(std::FILE* held, const char* /*name*/) {
    HANDLE file = handle_of(held);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return fail_with_system_error();
    DWORD attributes = info.dwFileAttributes;
    bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only && !set_attributes(file, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))
        return fail_with_system_error();
    if (mark_for_deletion(file)) return 1;
    fail_with_system_error();
    if (read_only) set_attributes(file, attributes);
    return 0;
}

// The copy, held without sharing since it was made, takes the original's
// security descriptor, then its read-only attribute: it was made with no
// attributes of its own, and read-only is the one that says who may write.
int carry_metadata(std::FILE* original, std::FILE* copy) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!carry_security(handle_of(original), handle_of(copy)) ||
        !GetFileInformationByHandle(handle_of(original), &info))
        return fail_with_system_error();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return 1;
    return set_attributes(handle_of(copy), FILE_ATTRIBUTE_READONLY) ? 1 : fail_with_system_error();
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
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) ? 1 : fail_with_system_error();
}

int sync_directory_of(const char* /*name*/) {
    return 1;
}

int remove_file(const char* name) {
    if (DeleteFileA(name)) return 1;
    DWORD attributes = GetFileAttributesA(name);
    if (GetLastError() != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return fail_with_system_error();
    if (!SetFileAttributesA(name, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))
        return fail_with_system_error();
    if (DeleteFileA(name)) return 1;
    fail_with_system_error();
    SetFileAttributesA(name, attributes);
    return 0;
}

int same_file(const char* a, const char* b) {
    Stamp sa, sb;
    return stamp_of_name(a, sa) && stamp_of_name(b, sb) && sa.volume == sb.volume &&
           sa.index == sb.index;
}

int name_is_free(const char* name) {
    if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) return fail_with(EEXIST);
    fail_with_system_error();
    return errno == ENOENT;
}

const char* shown(const char* name, ShownName& room) {
    const char* c = name;
    while (*c != '\0' && static_cast<unsigned char>(*c) >= 0x20)
        c++;
    if (*c == '\0') return name;
    std::size_t i = 0;
    for (c = name; *c != '\0' && i + 1 < sizeof room.text; c++, i++)
        room.text[i] = static_cast<unsigned char>(*c) < 0x20 ? '?' : *c;
    room.text[i] = '\0';
    return room.text;
}

// Windows names cannot hold a double quote, so quoting is enough.
void print_quoted(std::FILE* out, const char* name) {
    std::fprintf(out, "\"%s\"", name);
}

int command_safe(const char* name) {
    return std::strchr(name, '%') == nullptr;
}

// The runtime's start-up has expanded the patterns already; an argument is
// as typed when the wide one in its place converts to it exactly. Where the
// two vectors differ in length (a pattern that the code page changed),
// places cannot be matched and no argument counts as typed.
std::vector<FileName> file_names(int count, char** argv, int first) {
    WideArguments wide = wide_arguments();
    std::vector<FileName> names;
    for (int i = first; i < count; i++)
        names.push_back(
            {argv[i], wide.count == count && converts_exactly(wide.values[i], argv[i])});
    return names;
}

} // namespace platform
