// What the Windows files of the operating-system layer share among
// themselves, and nothing else includes: the error mapping, names in the
// ANSI code page and UTF-16, paths within a held directory, handles and
// security descriptors that close themselves.
#pragma once

#include "platform/owned.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace platform {

// Room for a path in UTF-16, and for a path in the ANSI code page,
// terminator included.
constexpr int wide_path_size = 2048;
constexpr int text_size = 8192;

// Room for a full path in UTF-16, as a held directory keeps it.
constexpr DWORD long_path_size = Directory::path_size;

inline void close_handle(HANDLE handle) {
    CloseHandle(handle);
}
inline bool is_handle(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}
// A handle that is closed on every path out of the scope that holds it.
using Handle = Owned<HANDLE, close_handle, is_handle>;

inline HANDLE handle_of(const Directory& directory) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(directory.native));
}

inline void free_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    LocalFree(descriptor);
}
inline bool is_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    return descriptor != nullptr;
}
// A security descriptor that the system allocated, freed on every path.
using SecurityDescriptor = Owned<PSECURITY_DESCRIPTOR, free_descriptor, is_descriptor>;

// ---- Errors (windows_errors.cpp) ---------------------------------------

// Sets errno from the system's last error (or from `system`, an error that
// a call returned) and returns 0.
int fail_with_system_error();
int fail_with_system_error(DWORD system);
// Sets errno to `error` and returns 0.
int fail_with(int error);

// ---- Names and paths (windows_paths.cpp) --------------------------------

// Converts `wide` to the ANSI code page in `narrow`, of `size` bytes.
// Returns 0 where it does not fit, or does not convert at all; -1 where a
// character was mapped to a look-alike or to the default character; else 1.
int to_narrow(const wchar_t* wide, char* narrow, int size);
// Whether `wide` converts to the ANSI code page as exactly `narrow`.
bool converts_exactly(const wchar_t* wide, const char* narrow);
// Converts `narrow`, in the ANSI code page, to UTF-16 in `wide`, of
// wide_path_size characters. Fails for a byte sequence the code page lacks.
bool to_wide(const char* narrow, wchar_t* wide);
// Whether Windows takes every part of `path` as it stands (no part but "."
// and ".." ends in a dot or a space, and the last part names a file).
bool keeps_its_parts(const wchar_t* path);
// The full path of the directory part `part` (empty: the current
// directory), in the \\?\ form.
bool full_path_of(const wchar_t* part, wchar_t (&path)[long_path_size]);
// The system's own full path for the file or directory open on `file`.
bool final_path_of(HANDLE file, wchar_t (&path)[long_path_size]);
// Opens the directory at `path` for holding, with the right to add files
// where it is granted.
HANDLE open_directory(const wchar_t* path);
// The full path of `last` in `directory`, in `path` of `room` characters;
// ENOENT where Windows would not take `last` as it stands.
bool path_in(const Directory& directory, const char* last, wchar_t* path, std::size_t room);
inline bool path_in(const Directory& directory, const char* last, wchar_t (&path)[long_path_size]) {
    return path_in(directory, last, path, long_path_size);
}
// Whether the file open on `file` lives in `directory` itself, judged by
// handles, and its own spelling there, in `name`.
bool lives_in(HANDLE file, const Directory& directory, wchar_t (&name)[long_path_size]);

// ---- Files (windows_files.cpp) ------------------------------------------

HANDLE handle_of(std::FILE* stream);
// Sets the file's attributes (0: none), leaving its times as they are.
bool set_attributes(HANDLE file, DWORD attributes);

// ---- Security (windows_security.cpp) ------------------------------------

// Whether the file open on `file` is owned by the user running this
// process, or by the owner it gives the files it creates.
bool owned_by_caller(HANDLE file);

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
// Fills `only` for CreateFile: a new file for the process's user alone.
bool make_owner_only(OwnerOnly& only);

} // namespace platform
