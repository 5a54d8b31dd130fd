// Windows: the system's errors (GetLastError) in errno, so that the layer's
// callers read one kind of error on both systems, and their messages.
#include "platform/windows_internal.h"

namespace platform {
namespace {

struct ErrorMapping {
    DWORD system;
    int error;
};

// The system errors that a caller tells apart, and the errno value it looks
// for. A call that the file system (or the system) lacks, such as a rename
// through a handle or a flush of a directory, is ENOSYS. Any other error is
// carried as itself (system_error_base), so that its own message is told:
// the invalid name, the write-protected disk or the missing network path
// that the runtime would call "Invalid argument", "Permission denied" or
// "No such file or directory".
constexpr ErrorMapping error_mappings[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EBUSY},
    {ERROR_USER_MAPPED_FILE, EBUSY},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_NOT_SAME_DEVICE, EXDEV},
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_PRIVILEGE_NOT_HELD, EPERM},
    {ERROR_INVALID_OWNER, EPERM},
    {ERROR_INVALID_FUNCTION, ENOSYS},
    {ERROR_NOT_SUPPORTED, ENOSYS},
    {ERROR_CALL_NOT_IMPLEMENTED, ENOSYS},
};

// Room for a system message in UTF-16, and in the ANSI code page (a UTF-8
// one takes up to three bytes a character).
constexpr DWORD message_size = 512;
constexpr int narrow_message_size = 3 * message_size;

// The message of `length` characters in `wide` as one line for the middle
// of a diagnostic: its line breaks as spaces, without the spaces and the
// period that end it. Returns the length left.
DWORD as_one_line(wchar_t* wide, DWORD length) {
    for (DWORD i = 0; i < length; i++)
        if (wide[i] == L'\r' || wide[i] == L'\n') wide[i] = L' ';
    while (length > 0 && wide[length - 1] == L' ')
        length--;
    if (length > 0 && wide[length - 1] == L'.') length--;
    return length;
}

} // namespace

int fail_with_system_error() {
    return fail_with_system_error(GetLastError());
}

int fail_with_system_error(DWORD system) {
    constexpr DWORD largest = static_cast<DWORD>(0x7fffffff - system_error_base);
    errno = system == ERROR_SUCCESS || system > largest
                ? EIO
                : system_error_base + static_cast<int>(system);
    for (const ErrorMapping& mapping : error_mappings)
        if (mapping.system == system) errno = mapping.error;
    return 0;
}

int fail_with(int error) {
    errno = error;
    return 0;
}

void error_text(int error, char* text, std::size_t room) {
    if (room == 0) return;
    if (error < system_error_base) {
        std::snprintf(text, room, "%s", std::strerror(error));
        return;
    }
    auto system = static_cast<DWORD>(error - system_error_base);
    wchar_t wide[message_size];
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, system,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), wide, message_size, nullptr);
    length = as_one_line(wide, length);
    char narrow[narrow_message_size];
    int converted = length == 0
                        ? 0
                        : WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), narrow,
                                              narrow_message_size - 1, nullptr, nullptr);
    if (converted <= 0) {
        std::snprintf(text, room, "system error %lu", static_cast<unsigned long>(system));
        return;
    }
    narrow[converted] = '\0';
    std::snprintf(text, room, "%s", narrow);
}

} // namespace platform
