// The operating system beneath the programs, on Windows, through the C
// runtime msvcrt.dll, KERNEL32.dll and, for file security alone,
// ADVAPI32.dll: a directory held by a handle that keeps it from being
// renamed, files named by its own full path (\\?\ form, any length) and
// judged by handles, held through CreateFile with no sharing and turned
// into runtime streams, MoveFileEx for renames that never replace and are
// written through, _commit to reach storage, and security descriptors
// carried from file to file.
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

// Room for a full path in UTF-16 (after \\?\, past MAX_PATH), terminator
// included.
constexpr DWORD long_path_size = 4096;

// A handle that is closed on every path out of the scope that holds it.
struct Handle {
    HANDLE handle;
    explicit Handle(HANDLE opened) : handle(opened) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

HANDLE handle_of(const Directory& directory) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(directory.native));
}

// Which file is open on `file`: its volume's serial number and its index.
bool identity_of(HANDLE file, unsigned long long& volume, unsigned long long& index) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    volume = info.dwVolumeSerialNumber;
    index = static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

bool same_identity(HANDLE a, HANDLE b) {
    unsigned long long volume_a = 0, index_a = 0, volume_b = 0, index_b = 0;
    return identity_of(a, volume_a, index_a) && identity_of(b, volume_b, index_b) &&
           volume_a == volume_b && index_a == index_b;
}

// The system's own full path for the file or directory open on `file`, in
// the \\?\ form that takes paths of any length: the drive or share it lives
// on (not a subst or mapped drive's letter), every part in its own
// spelling, junctions followed. Fails (ENAMETOOLONG) where it does not fit.
bool final_path_of(HANDLE file, wchar_t (&path)[long_path_size]) {
    DWORD length = GetFinalPathNameByHandleW(file, path, long_path_size,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0)
        length = GetFinalPathNameByHandleW(file, path, long_path_size,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
    if (length == 0) return fail_with_system_error();
    if (length >= long_path_size) return fail_with(ENAMETOOLONG);
    if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) return true;
    // Without the prefix: C:\... or \\server\share\...
    bool unc = path[0] == L'\\' && path[1] == L'\\';
    const wchar_t* prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
    std::size_t prefix_length = std::wcslen(prefix), skip = unc ? 1 : 0;
    if (length + prefix_length >= long_path_size) return fail_with(ENAMETOOLONG);
    std::wmemmove(path + prefix_length, path + skip, length - skip + 1);
    std::wmemcpy(path, prefix, prefix_length);
    return true;
}

// The full path of `last` in `directory`, from the directory's path.
// `last` is refused (ENOENT) where Windows would not take it as it stands.
bool path_in(const Directory& directory, const char* last, wchar_t (&path)[long_path_size]) {
    wchar_t wide[wide_path_size];
    if (!to_wide(last, wide)) return fail_with(ENOENT);
    if (!keeps_its_parts(wide) || std::wcspbrk(wide, L"/\\:") != nullptr) return fail_with(ENOENT);
    std::size_t length = std::wcslen(directory.path);
    if (length + 1 + std::wcslen(wide) >= long_path_size) return fail_with(ENAMETOOLONG);
    std::wcscpy(path, directory.path);
    if (length > 0 && path[length - 1] != L'\\') path[length++] = L'\\';
    std::wcscpy(path + length, wide);
    return true;
}

// The directory's own spelling of the file whose index is `index`, in
// `name`, found by listing the directory held on `directory`: where it is
// found, the file lives there. Needs no path, so it serves where the
// system cannot give one (past MAX_PATH under Wine).
bool entry_of(const Directory& directory, unsigned long long index,
              wchar_t (&name)[long_path_size]) {
    // A listing of its own, from the start: a handle lists what was there
    // when it first listed (Wine keeps that even past a restart).
    Handle list(CreateFileW(directory.path, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (list.handle == INVALID_HANDLE_VALUE || !same_identity(list.handle, handle_of(directory)))
        return fail_with(ENOENT);
    alignas(8) unsigned char listing[16384];
    auto kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(list.handle, kind, listing, sizeof listing)) {
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(listing + at);
            std::size_t length = entry->FileNameLength / sizeof(wchar_t);
            if (static_cast<unsigned long long>(entry->FileId.QuadPart) == index &&
                length < long_path_size) {
                std::wmemcpy(name, entry->FileName, length);
                name[length] = L'\0';
                return true;
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return fail_with(ENOENT);
}

// Where the last part of the full path `path` begins.
wchar_t* last_part_of(wchar_t* path) {
    wchar_t* separator = std::wcsrchr(path, L'\\');
    return separator == nullptr ? path : separator + 1;
}

// Whether the file open on `file` lives in `directory` itself, judged by
// handles, and its own spelling there, in `name`: from the system's own
// path for the file, whose directory must be the held one, or, where the
// system gives no path, from the held directory's listing. A name that the
// system resolved through a link to a file elsewhere fails this.
bool lives_in(HANDLE file, const Directory& directory, wchar_t (&name)[long_path_size]) {
    unsigned long long volume = 0, index = 0;
    if (!identity_of(file, volume, index)) return fail_with_system_error();
    wchar_t path[long_path_size];
    if (!final_path_of(file, path)) return entry_of(directory, index, name);
    wchar_t* last = last_part_of(path);
    std::wcscpy(name, last);
    *last = L'\0'; // the directory, with its trailing separator
    Handle parent(CreateFileW(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return parent.handle != INVALID_HANDLE_VALUE &&
           same_identity(parent.handle, handle_of(directory));
}

// Opens the directory at `path` for holding: listable, and, where nobody
// else has it open for deletion, not shared for deletion, so that it cannot
// be renamed or removed while held.
HANDLE open_directory(const wchar_t* path) {
    constexpr DWORD access =
        FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE directory = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        directory =
            CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return directory;
}

// The full path of the directory part `part` (empty: the current
// directory), in the \\?\ form.
bool full_path_of(const wchar_t* part, wchar_t (&path)[long_path_size]) {
    wchar_t full[long_path_size];
    DWORD length = GetFullPathNameW(*part != L'\0' ? part : L".", long_path_size, full, nullptr);
    if (length == 0) return fail_with_system_error();
    if (length >= long_path_size - 8) return fail_with(ENAMETOOLONG);
    bool prefixed =
        std::wcsncmp(full, L"\\\\?\\", 4) == 0 || std::wcsncmp(full, L"\\\\.\\", 4) == 0;
    bool unc = !prefixed && full[0] == L'\\' && full[1] == L'\\';
    std::wcscpy(path, prefixed ? L"" : unc ? L"\\\\?\\UNC" : L"\\\\?\\");
    std::wcscat(path, full + (unc ? 1 : 0));
    return true;
}

// Why opening `path` failed, where the system says only that access was
// denied: it names a directory (EISDIR).
std::FILE* failed_open(const wchar_t* path) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(path);
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        fail_with(EISDIR);
    else {
        SetLastError(error);
        fail_with_system_error();
    }
    return nullptr;
}

// Whether the file open on `file` may be used as `last` in `directory`: a
// regular disk file, no reparse point, living in the held directory.
// Sets errno where not.
bool usable(HANDLE file, const Directory& directory) {
    BY_HANDLE_FILE_INFORMATION info;
    int error = GetFileType(file) != FILE_TYPE_DISK ? EINVAL : 0;
    if (error == 0 && !GetFileInformationByHandle(file, &info)) error = EIO;
    if (error == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) error = ELOOP;
    if (error == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) error = EISDIR;
    wchar_t name[long_path_size];
    if (error == 0 && !lives_in(file, directory, name)) error = ENOENT;
    return error == 0 || fail_with(error);
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

// Opens `last` in `directory` with no sharing at all, so that no other
// handle can read, write or delete the file while it is held here. A
// symbolic link or other reparse point is opened itself and refused, as
// are directories and devices, and a file that does not live in the held
// directory.
std::FILE* open_held(const Directory& directory, const char* last, DWORD access) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return nullptr;
    HANDLE file = CreateFileW(path, access, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed_open(path);
    if (!usable(file, directory)) {
        int error = errno;
        CloseHandle(file);
        fail_with(error);
        return nullptr;
    }
    return stream_on(file, _O_RDONLY, "rb", false);
}
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

// Whether the files open on `a` and `b` have the same owner and group.
bool same_owners(HANDLE a, HANDLE b) {
    constexpr SECURITY_INFORMATION owners = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    Descriptor got_a, got_b;
    PSID owner_a = nullptr, group_a = nullptr, owner_b = nullptr, group_b = nullptr;
    return GetSecurityInfo(a, SE_FILE_OBJECT, owners, &owner_a, &group_a, nullptr, nullptr,
                           &got_a.sd) == ERROR_SUCCESS &&
           GetSecurityInfo(b, SE_FILE_OBJECT, owners, &owner_b, &group_b, nullptr, nullptr,
                           &got_b.sd) == ERROR_SUCCESS &&
           owner_a != nullptr && owner_b != nullptr && EqualSid(owner_a, owner_b) &&
           (group_a == nullptr || (group_b != nullptr && EqualSid(group_a, group_b)));
}

// Gives the file held on `to` the security of the one held on `from`: its
// DACL exactly, with the flag that says whether it takes entries from the
// directory (a protected one does not), and its owner and group, which the
// process may set where they are its own or it has the restore privilege;
// where they do not end up the original's, it fails (EPERM) rather than
// hand the file to someone else. The descriptor is set as it is, with
// SetKernelObjectSecurity: SetSecurityInfo would add what the directory
// passes on (under Wine, even to a protected DACL, which then lets Everyone
// read). Wine stores no security descriptor: it turns the DACL into the
// file's mode bits.
bool carry_security(HANDLE from, HANDLE to) {
    Descriptor got;
    constexpr SECURITY_INFORMATION owners = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, owners | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &got.sd) != ERROR_SUCCESS)
        return fail_with_system_error();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(got.sd, &control, &revision)) return fail_with_system_error();
    (void)SetKernelObjectSecurity(to, owners, got.sd); // judged by what it leaves
    if (!same_owners(from, to)) return fail_with(EPERM);
    SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                           ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION | inheritance, got.sd) != 0 ||
           fail_with_system_error();
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

// The user this process runs as, in `user`.
bool token_user(unsigned char (&user)[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD length = 0;
    bool got = GetTokenInformation(token, TokenUser, user, sizeof user, &length) != 0;
    CloseHandle(token);
    return got;
}

// A security descriptor for a new file that lets only the process's user
// in: its DACL is protected, so that none of the entries the directory
// passes on to new files is added.
struct OwnerOnly {
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(
        DWORD) unsigned char acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};
bool make_owner_only(OwnerOnly& only) {
    auto* acl = reinterpret_cast<PACL>(only.acl);
    if (!token_user(only.user) || !InitializeAcl(acl, sizeof only.acl, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS,
                             reinterpret_cast<TOKEN_USER*>(only.user)->User.Sid) ||
        !InitializeSecurityDescriptor(&only.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&only.descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&only.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    only.attributes = {sizeof only.attributes, &only.descriptor, FALSE};
    return true;
}

} // namespace

Directory::~Directory() {
    if (held()) CloseHandle(handle_of(*this));
}

int hold_directory_of(const char* name, Directory& directory, std::size_t* last_at) {
    wchar_t wide[wide_path_size];
    if (!to_wide(name, wide)) return fail_with(ENOENT);
    wchar_t* last = wide;
    for (wchar_t* c = wide; *c != L'\0'; c++)
        if (*c == L'/' || *c == L'\\' || *c == L':') last = c + 1;
    if (*last == L'\0' || std::wcscmp(last, L".") == 0 || std::wcscmp(last, L"..") == 0)
        return fail_with(EISDIR);
    if (!keeps_its_parts(wide)) return fail_with(ENOENT);
    // Where the last part begins in `name`: the bytes of the part before it.
    int prefix = last == wide ? 0
                              : WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(last - wide),
                                                    nullptr, 0, nullptr, nullptr);
    wchar_t path[long_path_size];
    *last = L'\0';
    if (prefix < 0 || !full_path_of(wide, path)) return 0;
    HANDLE held = open_directory(path);
    if (held == INVALID_HANDLE_VALUE) return fail_with_system_error();
    directory.native = reinterpret_cast<std::intptr_t>(held);
    if (!final_path_of(held, directory.path)) std::wcscpy(directory.path, path);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(held, &info)) return fail_with_system_error();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return fail_with(ENOTDIR);
    *last_at = static_cast<std::size_t>(prefix);
    return 1;
}

std::FILE* open_exclusive(const Directory& directory, const char* last) {
    return open_held(directory, last, GENERIC_READ);
}

std::FILE* open_removable(const Directory& directory, const char* last) {
    return open_held(directory, last, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES);
}

std::FILE* create_new(const Directory& directory, const char* last) {
    // The creator may always set the DACL (WRITE_DAC); the owner only where
    // the DACL allows, which MAXIMUM_ALLOWED takes.
    constexpr DWORD update = GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | MAXIMUM_ALLOWED;
    wchar_t path[long_path_size];
    OwnerOnly only;
    if (!path_in(directory, last, path)) return nullptr;
    if (!make_owner_only(only)) {
        fail_with_system_error();
        return nullptr;
    }
    HANDLE file =
        CreateFileW(path, update, 0, &only.attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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

std::FILE* open_read(const Directory& directory, const char* last) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return nullptr;
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed_open(path);
    if (!usable(file, directory)) {
        int error = errno;
        CloseHandle(file);
        fail_with(error);
        return nullptr;
    }
    return stream_on(file, _O_RDONLY, "rb", false);
}

int own_name(std::FILE* held, const Directory& directory, const char* /*last*/, char* own,
             std::size_t room) {
    wchar_t name[long_path_size];
    if (!lives_in(handle_of(held), directory, name)) return 0;
    int converted = to_narrow(name, own, static_cast<int>(room));
    if (converted == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return fail_with(ENAMETOOLONG);
    return converted > 0 ? 1 : fail_with(EILSEQ);
}

int facts_of(std::FILE* held, Facts& facts) {
    HANDLE file = handle_of(held);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return fail_with_system_error();
    constexpr DWORD not_regular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    facts.size = static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    facts.links = info.nNumberOfLinks;
    facts.owned_by_caller = owned_by_caller(file);
    facts.regular =
        GetFileType(file) == FILE_TYPE_DISK && (info.dwFileAttributes & not_regular) == 0;
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
    stamp.links = info.nNumberOfLinks;
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
int stamp_of_name(const Directory& directory, const char* last, Stamp& stamp) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return 0;
    Handle file(CreateFileW(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) return fail_with_system_error();
    return stamp_of_handle(file.handle, stamp);
}

namespace {

// Folds `size` bytes at `data` into the fingerprint `hash` (FNV-1a).
void fold(unsigned long long& hash, const void* data, std::size_t size) {
    const auto* byte = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; i++)
        hash = (hash ^ byte[i]) * 0x100000001b3ULL;
}

int access_of_handle(HANDLE file, unsigned long long& fingerprint) {
    constexpr SECURITY_INFORMATION wanted =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    Descriptor got;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, wanted, nullptr, nullptr, nullptr, nullptr,
                        &got.sd) != ERROR_SUCCESS ||
        !GetFileInformationByHandle(file, &info))
        return fail_with_system_error();
    unsigned long long hash = 0xcbf29ce484222325ULL;
    fold(hash, got.sd, GetSecurityDescriptorLength(got.sd));
    const DWORD read_only = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
    fold(hash, &read_only, sizeof read_only);
    fingerprint = hash;
    return 1;
}

} // namespace

int access_of(std::FILE* held, unsigned long long& fingerprint) {
    return access_of_handle(handle_of(held), fingerprint);
}

int access_of_name(const Directory& directory, const char* last, unsigned long long& fingerprint) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return 0;
    Handle file(CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) return fail_with_system_error();
    return access_of_handle(file.handle, fingerprint);
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

bool can_give_owners_of(std::FILE* file) {
    return owned_by_caller(handle_of(file));
}

bool may_create_in(const Directory& /*directory*/) {
    return true;
}

// A read-only attribute would stop the deletion; it is cleared first, and
// put back if the deletion is refused all the same.
int remove_held(std::FILE* held, const Directory& /*directory*/, const char* /*last*/) {
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
    if (!carry_security(handle_of(original), handle_of(copy))) return 0;
    if (!GetFileInformationByHandle(handle_of(original), &info)) return fail_with_system_error();
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

int sync_directory(const Directory& /*directory*/) {
    return 1;
}

int rename_no_replace(const Directory& directory, const char* from, const char* to) {
    wchar_t from_path[long_path_size], to_path[long_path_size];
    if (!path_in(directory, from, from_path) || !path_in(directory, to, to_path)) return 0;
    if (MoveFileExW(from_path, to_path, MOVEFILE_WRITE_THROUGH)) return 1;
    fail_with_system_error();
    // `to` as another name of `from`: a rename by link and unlink cut off
    // between the two leaves that, and only the unlink is left to do.
    if (errno == EEXIST && same_file(directory, from, to)) return remove_file(directory, from);
    return 0;
}

int remove_file(const Directory& directory, const char* last) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return 0;
    if (DeleteFileW(path)) return 1;
    DWORD attributes = GetFileAttributesW(path);
    if (GetLastError() != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return fail_with_system_error();
    if (!SetFileAttributesW(path, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))
        return fail_with_system_error();
    if (DeleteFileW(path)) return 1;
    fail_with_system_error();
    SetFileAttributesW(path, attributes);
    return 0;
}

int same_file(const Directory& directory, const char* a, const char* b) {
    Stamp sa, sb;
    return stamp_of_name(directory, a, sa) && stamp_of_name(directory, b, sb) &&
           sa.volume == sb.volume && sa.index == sb.index;
}

int name_is_free(const Directory& directory, const char* last) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return errno == ENOENT ? 1 : 0;
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return fail_with(EEXIST);
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
