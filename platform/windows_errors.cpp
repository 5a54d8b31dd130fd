// Windows: the system's errors (GetLastError) as errno values, so that the
// layer's callers read one kind of error on both systems.
#include "platform/windows_internal.h"

namespace platform {
namespace {

struct ErrorMapping {
    DWORD system;
    int error;
};

// Each system error the layer can meet, and its errno; any other is EIO.
constexpr ErrorMapping error_mappings[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},      {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},       {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_FILE_EXISTS, EEXIST},         {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_ACCESS_DENIED, EACCES},       {ERROR_WRITE_PROTECT, EACCES},
    {ERROR_SHARING_VIOLATION, EBUSY},    {ERROR_LOCK_VIOLATION, EBUSY},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},   {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_DISK_FULL, ENOSPC},           {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE}, {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_NOT_SAME_DEVICE, EXDEV},      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
    {ERROR_INVALID_NAME, EINVAL},        {ERROR_INVALID_PARAMETER, EINVAL},
};

} // namespace

int fail_with_system_error() {
    DWORD system = GetLastError();
    errno = EIO;
    for (const ErrorMapping& mapping : error_mappings)
        if (mapping.system == system) errno = mapping.error;
    return 0;
}

int fail_with(int error) {
    errno = error;
    return 0;
}

} // namespace platform
