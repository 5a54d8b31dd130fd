// Windows: the held directory and the files in it, held through CreateFile
// with no sharing and turned into runtime streams; renames through the held
// handle that never replace and are written through, and _commit to reach
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
// Sets errno where not. A frame of its own, apart from its caller's path.
[[gnu::noinline]] bool usable(HANDLE file, const Directory& directory) {
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

// Opens `last` in `directory` only to be asked about: with `extra` access
// where that is granted, whatever the sharing of those who hold it, and
// without following a reparse point. INVALID_HANDLE_VALUE, errno set, where
// it cannot be opened.
HANDLE open_to_ask(const Directory& directory, const char* last, DWORD extra) {
    constexpr DWORD any = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES | extra, any, nullptr, OPEN_EXISTING,
                              flags, nullptr);
    if (file == INVALID_HANDLE_VALUE && extra != 0 && GetLastError() == ERROR_ACCESS_DENIED)
        file = CreateFileW(path, FILE_READ_ATTRIBUTES, any, nullptr, OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail_with_system_error();
    return file;
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

// What the system tells of the file open on `file`.
int facts_of_handle(HANDLE file, Facts& facts) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return fail_with_system_error();
    constexpr DWORD not_regular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    facts.size = static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    facts.links = info.nNumberOfLinks;
    facts.owned_by_caller = owned_by_caller(file);
    facts.regular =
        GetFileType(file) == FILE_TYPE_DISK && (info.dwFileAttributes & not_regular) == 0;
    facts.unfinished = (info.dwFileAttributes & FILE_ATTRIBUTE_TEMPORARY) != 0;
    return 1;
}

// Whether `last` in `directory` names the file open on `file`.
bool names_it(const Directory& directory, const char* last, HANDLE file) {
    Stamp named, held;
    return stamp_of_name(directory, last, named) && stamp_of_handle(file, held) &&
           named.volume == held.volume && named.index == held.index;
}

// How long a rename refused by another program's brief open is tried
// again, in all.
constexpr DWORD rename_patience_ms = 5000;

// Whether a rename refused with `error` may have met another program's
// brief open (a scanner's, an indexer's) of the file or its directory, and
// may go through once it is closed.
bool may_pass(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

// Renames the file open on `file` to `to` in `directory` through the handle
// itself, never replacing anything. A refusal that may pass is tried again
// after 10, 20, 40 ... ms, for about rename_patience_ms in all.
int rename_handle(HANDLE file, const Directory& directory, const char* to) {
    alignas(FILE_RENAME_INFO) unsigned char
        request[sizeof(FILE_RENAME_INFO) + long_path_size * sizeof(wchar_t)] = {};
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(request);
    if (!path_in(directory, to, rename->FileName, long_path_size)) return 0;
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(std::wcslen(rename->FileName) * sizeof(wchar_t));
    for (DWORD wait = 10, waited = 0;; waited += wait, wait *= 2) {
        if (SetFileInformationByHandle(file, FileRenameInfo, rename, sizeof request)) return 1;
        if (!may_pass(GetLastError()) || waited >= rename_patience_ms)
            return fail_with_system_error();
        Sleep(wait);
    }
}

// Whether a flush refused with `error` was refused for want of the right
// to write, or because the file system flushes no such handle.
bool flush_refused(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_NOT_SUPPORTED;
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

// The copy bears the mark of an unfinished copy, FILE_ATTRIBUTE_TEMPORARY,
// from its creation: the name never reaches storage without it. (The mark
// also keeps the system from writing the data out lazily; the caller's
// syncs write it before the mark comes off.)
std::FILE* create_copy(const Directory& directory, const char* last) {
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
    HANDLE file = CreateFileW(path, update, 0, &only.attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY, nullptr);
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

// A copy is created under its name: there is nothing to give it.
int name_copy(std::FILE* /*copy*/, const Directory& /*directory*/, const char* /*last*/) {
    return 1;
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
    return facts_of_handle(handle_of(held), facts);
}

// Opened for its attributes and, where granted, its owner (which the owner
// may always read), so that no holder's sharing keeps it from being told;
// it must live in the held directory, as for every other open.
int facts_of_name(const Directory& directory, const char* last, Facts& facts) {
    Handle file(open_to_ask(directory, last, READ_CONTROL));
    if (file.value == INVALID_HANDLE_VALUE) return 0;
    wchar_t name[long_path_size];
    if (!lives_in(file.value, directory, name)) return fail_with(ENOENT);
    return facts_of_handle(file.value, facts);
}

// A hold asks for reading (and, to rename or remove, deletion) and shares
// nothing. The question is put with a second open of the file, through the
// handle itself (no name is looked up again), that asks for both but shares
// reading, so that this process's own open for reading is no obstacle and
// any other program's open for writing or deletion, or that shares less,
// is. Where deletion is not granted at all, reading alone is asked.
bool held_elsewhere(std::FILE* file) {
    HANDLE held = handle_of(file);
    constexpr DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE again = ReOpenFile(held, GENERIC_READ | DELETE, FILE_SHARE_READ, flags);
    if (again == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        again = ReOpenFile(held, GENERIC_READ, FILE_SHARE_READ, flags);
    if (again == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(again);
    return false;
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
    Handle file(open_to_ask(directory, last, 0));
    return file.value != INVALID_HANDLE_VALUE && stamp_of_handle(file.value, stamp);
}

void prepare_process() {}

bool may_create_in(const Directory& /*directory*/) {
    return true;
}

bool fixed_in_place(std::FILE* /*file*/) {
    return false;
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

// The mark's DACL lets its owner in: a marked copy is opened and removed as
// any other (remove_held).
int remove_unfinished(const Directory& /*directory*/, const char* /*last*/) {
    return fail_with(ENOSYS);
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

// The runtime's _commit says only EBADF where the flush fails; the
// system's own error is in _doserrno.
int sync_to_storage(std::FILE* stream) {
    if (std::fflush(stream) != 0) return 0;
    _doserrno = 0;
    if (_commit(_fileno(stream)) == 0) return 1;
    return _doserrno == 0 ? 0 : fail_with_system_error(static_cast<DWORD>(_doserrno));
}

// The directory's entries are flushed through the directory where it is
// held with the right to add files; else through `within`, where that is
// held for writing: a flush of any file of the volume puts the volume's log,
// which holds every change of names before it, on storage. Where neither
// may be flushed (or nothing is `within`), nothing else can be done, and it
// counts as done: a directory this process may not write holds no name it
// could make, rename or remove.
int sync_directory(const Directory& directory, std::FILE* within) {
    if (FlushFileBuffers(handle_of(directory))) return 1;
    if (!flush_refused(GetLastError())) return fail_with_system_error();
    if (within == nullptr || FlushFileBuffers(handle_of(within))) return 1;
    return flush_refused(GetLastError()) || fail_with_system_error();
}

// The held file is renamed through its own handle (which carries DELETE),
// so that no other program can take it between a check and the rename, and
// then flushed: through the handle where it is held for writing (a copy),
// else through the directory. The rename stands however the flush fares,
// and counts as made.
int rename_held(std::FILE* held, const Directory& directory, const char* from, const char* to,
                bool* by_link) {
    HANDLE file = handle_of(held);
    if (by_link != nullptr) *by_link = false; // one step, never a link and an unlink
    if (!names_it(directory, from, file)) return fail_with(EBUSY);
    // Another name of the held file at `to` can only have been linked by
    // another program while the file was held, as this layer never renames
    // by link; and no name of a file held without sharing can be removed,
    // so `from` cannot give way to it. It is in the way as any file is.
    if (names_it(directory, to, file)) return fail_with(EEXIST);
    if (!rename_handle(file, directory, to)) return 0;
    if (!FlushFileBuffers(file)) FlushFileBuffers(handle_of(directory));
    return 1;
}

int name_is_free(const Directory& directory, const char* last) {
    wchar_t path[long_path_size];
    if (!path_in(directory, last, path)) return errno == ENOENT ? 1 : 0;
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return fail_with(EEXIST);
    fail_with_system_error();
    return errno == ENOENT;
}

} // namespace platform
