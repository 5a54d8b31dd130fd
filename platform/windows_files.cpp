// Windows: the held directory and the files in it, held through CreateFile
// with no sharing and turned into runtime streams; MoveFileEx for renames
// that never replace and are written through, and _commit to reach
// storage.
#include "platform/windows_internal.h"

#include <fcntl.h>
#include <io.h>

namespace platform {

namespace {

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

bool mark_for_deletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
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

// Opens `last` in `directory` for reading, with `access`, `sharing` and
// `flags`, as a runtime stream: a regular disk file, no reparse point,
// living in the held directory, or nothing.
std::FILE* open_in(const Directory& directory, const char* last, DWORD access, DWORD sharing,
                   DWORD flags) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return nullptr;
    HANDLE file = CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed_open(path);
    if (!usable(file, directory)) {
        int error = errno;
        CloseHandle(file);
        fail_with(error);
        return nullptr;
    }
    return stream_on(file, _O_RDONLY, "rb", false);
}

// Opens `last` in `directory` with no sharing at all, so that no other
// handle can read, write or delete the file while it is held here. A
// symbolic link or other reparse point is opened itself and refused, as
// are directories and devices, and a file that does not live in the held
// directory.
std::FILE* open_held(const Directory& directory, const char* last, DWORD access) {
    return open_in(directory, last, access, 0, FILE_FLAG_OPEN_REPARSE_POINT);
}

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

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool set_attributes(HANDLE file, DWORD attributes) {
    FILE_BASIC_INFO basic{}; // times of 0 are left as they are
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

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

std::FILE* open_read(const Directory& directory, const char* last, bool follow_link) {
    return open_in(directory, last, GENERIC_READ,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
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

int no_writer_since_held(std::FILE* /*held*/) {
    return 1;
}

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
    if (file.value == INVALID_HANDLE_VALUE) return fail_with_system_error();
    return stamp_of_handle(file.value, stamp);
}

void prepare_process() {}

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

int name_is_free(const Directory& directory, const char* last) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return errno == ENOENT ? 1 : 0;
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return fail_with(EEXIST);
    fail_with_system_error();
    return errno == ENOENT;
}

} // namespace platform
