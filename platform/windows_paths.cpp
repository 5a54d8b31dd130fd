// Windows: names in the ANSI code page and in UTF-16, and the paths of a
// held directory and the files in it, judged by handles (volume serial
// number and file index) rather than by spelling.
#include "platform/windows_internal.h"

namespace platform {

namespace {

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

// The directory's own spelling of the file whose index is `index`, in
// `name`, found by listing the directory held on `directory`: where it is
// found, the file lives there. Needs no path, so it serves where the
// system cannot give one (past MAX_PATH under Wine). A frame of its own,
// apart from its caller's path.
[[gnu::noinline]] bool entry_of(const Directory& directory, unsigned long long index,
                                wchar_t (&name)[long_path_size]) {
    // A listing of its own, from the start: a handle lists what was there
    // when it first listed (Wine keeps that even past a restart).
    Handle list(CreateFileW(directory.path, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (list.value == INVALID_HANDLE_VALUE || !same_identity(list.value, handle_of(directory)))
        return fail_with(ENOENT);
    alignas(8) unsigned char listing[8192];
    auto kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(list.value, kind, listing, sizeof listing)) {
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

// Opens the directory at `path` with `access`, and, where nobody else has
// it open for deletion, not shared for deletion, so that it cannot be
// renamed or removed while held.
HANDLE open_directory_with(const wchar_t* path, DWORD access) {
    HANDLE directory = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        directory =
            CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return directory;
}

} // namespace

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

// The full path of `last` in `directory`, from the directory's path, in
// `path` of `room` characters. `last` is refused (ENOENT) where Windows
// would not take it as it stands.
bool path_in(const Directory& directory, const char* last, wchar_t* path, std::size_t room) {
    wchar_t wide[wide_path_size];
    if (!to_wide(last, wide)) return fail_with(ENOENT);
    if (!keeps_its_parts(wide) || std::wcspbrk(wide, L"/\\:") != nullptr) return fail_with(ENOENT);
    std::size_t length = std::wcslen(directory.path);
    if (length + 1 + std::wcslen(wide) >= room) return fail_with(ENAMETOOLONG);
    std::wcscpy(path, directory.path);
    if (length > 0 && path[length - 1] != L'\\') path[length++] = L'\\';
    std::wcscpy(path + length, wide);
    return true;
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
    return parent.value != INVALID_HANDLE_VALUE &&
           same_identity(parent.value, handle_of(directory));
}

// Opens the directory at `path` for holding: listable, and with the right
// to add files (for a directory, the right to write its data) where that
// is granted, through which the names made in it are flushed to storage. A
// directory the caller may only read is held without it.
HANDLE open_directory(const wchar_t* path) {
    constexpr DWORD reading =
        FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE directory = open_directory_with(path, reading | FILE_ADD_FILE);
    return directory != INVALID_HANDLE_VALUE ? directory : open_directory_with(path, reading);
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

} // namespace platform
