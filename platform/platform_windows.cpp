// The operating system beneath the programs, on Windows, through the C
// runtime msvcrt.dll, KERNEL32.dll and, for file security alone,
// ADVAPI32.dll: files held through CreateFile with no sharing and turned
// into runtime streams, MoveFileEx for renames that never replace and are
// written through, _commit to reach storage, security descriptors carried
// from file to file, and the runtime start-up's own wildcard expansion.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
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

// Asks the runtime's start-up (__getmainargs) to pass wildcard arguments on
// as typed: its own expansion matches 8.3 short names ("*.old" matches
// y.older) and names beginning with a dot, so file_names expands them
// itself.
extern "C" {
int _dowildcard = 0;

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

// Room for a path in UTF-16, and for a path or a line of text in the ANSI
// code page, terminator included.
constexpr int wide_path_size = 2048;
constexpr int text_size = 8192;

// Converts `wide` to the ANSI code page in `narrow`, of `size` bytes.
// Returns 0 where it does not fit, or does not convert at all; -1 where a
// character was mapped to a look-alike or to the default character; else 1.
int to_narrow(const wchar_t* wide, char* narrow, int size) {
    BOOL lossy = FALSE;
    UINT code_page = GetACP();
    bool utf8 = code_page == CP_UTF8; // holds every character, and takes no best-fit flag
    int length = WideCharToMultiByte(code_page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS,
                                     wide, -1, narrow, size, nullptr, utf8 ? nullptr : &lossy);
    return length <= 0 ? 0 : lossy ? -1 : 1;
}

// Whether `wide` converts to the ANSI code page as exactly `narrow`, with no
// character mapped to a look-alike or to the default character.
bool converts_exactly(const wchar_t* wide, const char* narrow) {
    char converted[MAX_PATH * 4];
    return to_narrow(wide, converted, sizeof converted) == 1 && std::strcmp(converted, narrow) == 0;
}

// Converts `narrow`, in the ANSI code page, to UTF-16 in `wide`, of
// wide_path_size characters. Fails for a byte sequence the code page lacks.
bool to_wide(const char* narrow, wchar_t* wide) {
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow, -1, wide, wide_path_size) > 0;
}

// Whether Windows takes every part of `path` as it stands: none but "."
// and ".." ends in a dot or a space, which Windows drops ("g." would open g,
// and its backup would be "g..old"), and the last part names a file, not
// "." or ".." or nothing ("x\." would open x). Read in UTF-16, where no byte
// of a double-byte character (the second byte of 表 in code page 932 is
// 0x5C) passes for a separator. The full path of the name cannot tell this:
// GetFullPathName drops the same dots and spaces.
bool keeps_its_parts(const wchar_t* path) {
    const wchar_t* part = path;
    for (const wchar_t* c = path;; c++) {
        if (*c != L'/' && *c != L'\\' && *c != L'\0') continue;
        auto length = static_cast<std::size_t>(c - part);
        bool dots = length <= 2 && std::wcsspn(part, L".") >= length;
        if (*c == L'\0') return !dots && c[-1] != L'.' && c[-1] != L' ';
        if (!dots && (c[-1] == L'.' || c[-1] == L' ')) return false;
        part = c + 1;
    }
}

// Whether Windows would take `name`, in the ANSI code page, as it stands.
bool keeps_name(const char* name) {
    wchar_t wide[wide_path_size];
    return to_wide(name, wide) && keeps_its_parts(wide);
}

// `path` without the prefix \\?\ (\\?\UNC\server\share as \\server\share).
const wchar_t* without_prefix(wchar_t* path) {
    if (std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        path[6] = L'\\';
        return path + 6;
    }
    return std::wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
}

// The length of the root of the full path `path`: its drive ("C:") or its
// \\server\share.
std::size_t root_length(const wchar_t* path) {
    if (path[0] != L'\0' && path[1] == L':') return 2;
    if (path[0] != L'\\' || path[1] != L'\\') return 0;
    std::size_t at = 2;
    for (int separators = 0; path[at] != L'\0'; at++)
        if (path[at] == L'\\' && ++separators == 2) break;
    return at;
}

// Whether the full paths `a` and `b` are the same, case included, but for
// the case of their roots (a drive letter, a server and share).
bool same_path(const wchar_t* a, const wchar_t* b) {
    std::size_t root = root_length(a);
    return root == root_length(b) &&
           CompareStringOrdinal(a, static_cast<int>(root), b, static_cast<int>(root), TRUE) ==
               CSTR_EQUAL &&
           std::wcscmp(a + root, b + root) == 0;
}

// Whether the file held on `file` was reached under `name` exactly as it was
// given: Windows keeps every part of it, and the system's own full path for
// the handle is the full path of `name`, case included. This keeps out an
// 8.3 short name (STAT~JIP.DAT for statistics.dat), a name in other case (X
// for x), and a link (Wine shows a Unix symbolic link as the file it points
// to): each reaches a file whose own name is not the one that NAME.old and
// NAME.new are made from. Compared in UTF-16, so that no code page stands
// between the two.
bool reached_as_named(HANDLE file, const char* name) {
    wchar_t wide[wide_path_size], full[wide_path_size], final[wide_path_size];
    if (!to_wide(name, wide) || !keeps_its_parts(wide)) return false;
    DWORD full_length = GetFullPathNameW(wide, wide_path_size, full, nullptr);
    DWORD final_length = GetFinalPathNameByHandleW(file, final, wide_path_size,
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return full_length > 0 && full_length < wide_path_size && final_length > 0 &&
           final_length < wide_path_size && same_path(without_prefix(full), without_prefix(final));
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
    if (!keeps_name(name)) {
        fail_with(ENOENT);
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
    if (error == 0 && !reached_as_named(file, name)) error = ENOENT;
    if (error != 0) {
        CloseHandle(file);
        fail_with(error);
        return nullptr;
    }
    return stream_on(file, _O_RDONLY, "rb", false);
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

// Whether the file open on `file` is owned by the user running this process,
// or by the owner it gives the files it creates (for an administrator, the
// Administrators group, on Windows; Wine reports the user).
bool owned_by_caller(HANDLE file) {
    Descriptor got;
    PSID owner = owner_of(file, got);
    HANDLE token = nullptr;
    if (owner == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(TOKEN_OWNER) unsigned char creator[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    bool mine = (GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
                 EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, owner)) ||
                (GetTokenInformation(token, TokenOwner, creator, sizeof creator, &length) &&
                 EqualSid(reinterpret_cast<TOKEN_OWNER*>(creator)->Owner, owner));
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
    if (!keeps_name(name)) {
        fail_with(ENOENT);
        return nullptr;
    }
    std::FILE* stream = _fsopen(name, "rb", _SH_DENYNO);
    if (stream == nullptr) return nullptr;
    struct _stati64 st;
    int error = _fstati64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG ? EINVAL
                : !reached_as_named(handle_of(stream), name)                               ? ENOENT
                                                                                           : 0;
    if (error == 0) return stream;
    std::fclose(stream);
    fail_with(error);
    return nullptr;
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
                  reached_as_named(file, name);
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

namespace {

// The console that `out` writes to, or null for a file, pipe or device.
HANDLE console_of(std::FILE* out) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// Writes `text`, in the ANSI code page, to `console` as characters, after
// what `out` holds buffered. Fails, having written nothing, where it cannot.
bool write_console(HANDLE console, std::FILE* out, const char* text, int length) {
    wchar_t wide[text_size];
    int wide_length = MultiByteToWideChar(CP_ACP, 0, text, length, wide, text_size);
    DWORD written = 0;
    return wide_length > 0 && std::fflush(out) == 0 &&
           WriteConsoleW(console, wide, static_cast<DWORD>(wide_length), &written, nullptr) &&
           written > 0;
}

} // namespace

// A console shows bytes in its own code page (the OEM one, 437 or 850 where
// the ANSI one is 1252: "café" would show as "cafΘ"), so what goes to one is
// written as characters; to a file or pipe the bytes go as they are.
int vprint_text(std::FILE* out, const char* format, std::va_list args) {
    HANDLE console = console_of(out);
    if (console == nullptr) return std::vfprintf(out, format, args);
    char text[text_size];
    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(text, sizeof text, format, args);
    bool shown = length > 0 && length < text_size && write_console(console, out, text, length);
    if (!shown) length = std::vfprintf(out, format, again);
    va_end(again);
    return length;
}

namespace {

// Whether `name` matches `pattern`, in which '*' stands for any run of
// characters and '?' for any one; every other character stands for itself,
// in either case, as Windows matches names.
bool matches(const wchar_t* pattern, const wchar_t* name) {
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' ||
                   CompareStringOrdinal(pattern, 1, name, 1, TRUE) == CSTR_EQUAL) {
            pattern++;
            name++;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*')
        pattern++;
    return *pattern == L'\0';
}

// The last part of `path`: what follows its last '/', '\\' or drive colon.
const wchar_t* last_part(const wchar_t* path) {
    const wchar_t* part = path;
    for (const wchar_t* c = path; *c != L'\0'; c++)
        if (*c == L'/' || *c == L'\\' || *c == L':') part = c + 1;
    return part;
}

// Appends to `names` the name `wide` in the ANSI code page, as typed only
// where the code page holds it exactly.
void add_match(const wchar_t* wide, std::vector<FileName>& names) {
    char narrow[text_size];
    int converted = to_narrow(wide, narrow, sizeof narrow);
    if (converted != 0) names.push_back({narrow, converted > 0});
}

// Appends to `names` the files that the argument `wide` (in the ANSI code
// page, `narrow`) stands for. Where its last part holds '*' or '?', they are
// the entries of its directory whose long names match that part, sorted (a
// name beginning with a dot only where the pattern does too); the 8.3 short
// names that FindFirstFile also matches are never looked at. Otherwise, or
// where nothing matches, the argument stands for itself.
void expand(const wchar_t* wide, const char* narrow, std::vector<FileName>& names) {
    const wchar_t* pattern = last_part(wide);
    auto prefix = static_cast<std::size_t>(pattern - wide);
    std::size_t first = names.size();
    wchar_t path[wide_path_size];
    if (std::wcspbrk(pattern, L"*?") != nullptr && prefix + 2 <= wide_path_size) {
        std::wmemcpy(path, wide, prefix);
        std::wcscpy(path + prefix, L"*");
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(path, &entry);
        for (bool more = search != INVALID_HANDLE_VALUE; more;
             more = FindNextFileW(search, &entry)) {
            const wchar_t* found = entry.cFileName;
            bool dots = std::wcscmp(found, L".") == 0 || std::wcscmp(found, L"..") == 0;
            if (dots || (found[0] == L'.' && pattern[0] != L'.') || !matches(pattern, found) ||
                prefix + std::wcslen(found) >= wide_path_size)
                continue;
            std::wcscpy(path + prefix, found);
            add_match(path, names);
        }
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
    }
    if (names.size() == first) names.push_back({narrow, true});
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(first), names.end(),
              [](const FileName& a, const FileName& b) { return a.name < b.name; });
}

} // namespace

// An argument is as typed when the wide one in its place converts to it
// exactly; then it is expanded from its wide form. Where the two vectors
// differ in length, places cannot be matched and no argument counts as
// typed.
std::vector<FileName> file_names(int count, char** argv, int first) {
    WideArguments wide = wide_arguments();
    std::vector<FileName> names;
    for (int i = first; i < count; i++) {
        if (wide.count == count && converts_exactly(wide.values[i], argv[i]))
            expand(wide.values[i], argv[i], names);
        else
            names.push_back({argv[i], false});
    }
    return names;
}

} // namespace platform
