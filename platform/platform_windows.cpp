// The runtime layer on Windows, through the C runtime msvcrt.dll and
// KERNEL32.dll alone: _fsopen with _SH_DENYRW for exclusive use, CreateFile
// without sharing for the copy, rename (which never replaces an existing file
// there), _commit to reach storage, and FindFirstFileW to expand wildcards.
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

#include <string>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "stats/layout.h"

// Asks the runtime's start-up (__getmainargs) to pass wildcard arguments on
// as typed: its own expansion matches 8.3 short names ("*.old" matches
// y.older) and names beginning with a dot, so for_each_file_name expands
// them itself.
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

// The command line's arguments in UTF-16, as the runtime's start-up gives
// them (patterns unexpanded, as for main's), fetched once.
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

// The names found by expanding a pattern that the ANSI code page could not
// hold exactly: the program would be given a look-alike, as for a changed
// argument.
std::vector<std::string>& changed_matches() {
    static std::vector<std::string> changed;
    return changed;
}

// Whether `name` is a command-line argument that did not reach the program
// as typed. The runtime passes main its arguments in the ANSI code page,
// which maps a character it cannot hold to a look-alike: "Ωmega" arrives as
// "Omega", the name of another file. An argument is as typed when the wide
// argument in its place converts to it exactly. Where the two vectors differ
// in length, places cannot be matched and no argument counts as typed. A
// name that a pattern's expansion gave a look-alike is changed too.
bool is_changed_argument(const char* name) {
    for (const std::string& changed : changed_matches())
        if (changed == name) return true;
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

// Opens `name`, a regular file, for binary reading with the given sharing.
// A name that would not reach the file system as given is refused (EINVAL).
std::FILE* open_regular(const char* name, int sharing) {
    if (!keeps_name(name) || is_changed_argument(name)) {
        errno = EINVAL;
        return nullptr;
    }
    std::FILE* stream = _fsopen(name, "rb", sharing);
    if (stream == nullptr) return nullptr;
    struct _stati64 st;
    auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (_fstati64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG ||
        !reached_as_named(file, name)) {
        std::fclose(stream);
        errno = EINVAL;
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

// Whether the file held on `file` is a copy that a cut-off conversion left:
// a plain file (no directory, device or reparse point) reached as `name`, with no other names,
// either empty or beginning with the version 2 header's "StAt" "Ver2". Anything else at NAME.new is
// somebody's data, not ours to empty or remove.
bool is_leftover_copy(HANDLE file, const char* name, const BY_HANDLE_FILE_INFORMATION& info) {
    constexpr DWORD not_plain =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if (GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & not_plain) != 0 ||
        info.nNumberOfLinks != 1 || !reached_as_named(file, name))
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
std::FILE* create_exclusive(const char* name, std::FILE* /*original*/) {
    constexpr DWORD update = GENERIC_READ | GENERIC_WRITE;
    HANDLE file = open_unshared(name, update, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        remove_leftover(name))
        file = open_unshared(name, update, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return stream_on_new(file);
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
    print_text(out, "\"%s\"", name);
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

int command_safe(const char* name) {
    return std::strchr(name, '%') == nullptr;
}

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

// Appends to `names` the name `wide` in the ANSI code page, noting it as
// changed where the code page cannot hold it exactly.
void add_match(const wchar_t* wide, std::vector<std::string>& names) {
    char narrow[text_size];
    int converted = to_narrow(wide, narrow, sizeof narrow);
    if (converted == 0) return;
    names.emplace_back(narrow);
    if (converted < 0) changed_matches().emplace_back(narrow);
}

// Appends to `names` the files that the argument `wide` (in the ANSI code
// page, `narrow`) stands for. Where its last part holds '*' or '?', they are
// the entries of its directory whose long names match that part, sorted (a
// name beginning with a dot only where the pattern does too); the 8.3 short
// names that FindFirstFile also matches are never looked at. Otherwise, or
// where nothing matches, the argument stands for itself.
void expand(const wchar_t* wide, const char* narrow, std::vector<std::string>& names) {
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
    if (names.size() == first) names.emplace_back(narrow);
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(first), names.end());
}

// Never: msvcrt's rename is a single step, so no cut-off rename leaves a
// file under two names.
int same_file(const char* /*a*/, const char* /*b*/) {
    return 0;
}

// `args` are the last `count` arguments of the command line, each expanded
// from its wide form where that converts to it exactly; a changed argument
// is passed on as it stands, to be refused when it is opened.
void for_each_file_name(int count, char** args, void (*visit)(const char* name, void* context),
                        void* context) {
    const WideArguments& wide = wide_arguments();
    std::vector<std::string> names;
    for (int i = 0; i < count; i++) {
        int at = wide.count - count + i;
        if (at >= 1 && converts_exactly(wide.values[at], args[i]))
            expand(wide.values[at], args[i], names);
        else
            names.emplace_back(args[i]);
    }
    for (const std::string& name : names)
        visit(name.c_str(), context);
}

} // namespace platform
