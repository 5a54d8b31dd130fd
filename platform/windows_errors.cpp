// Windows: the system's errors (GetLastError) as errno values, so that the
// layer's callers read one kind of error on both systems.
#include "platform/windows_internal.h"

namespace platform {
namespace {

struct ErrorMapping {
    DWORD system;
    int error;
};

// Each system error the layer can meet, and its errno; any other is EIO. A
// call that the file system (or the system) lacks, such as a rename through
// a handle or a flush of a directory, is ENOSYS.
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
    {ERROR_BAD_PATHNAME, ENOENT},        {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_INVALID_HANDLE, EBADF},       {ERROR_USER_MAPPED_FILE, EBUSY},
    {ERROR_PRIVILEGE_NOT_HELD, EPERM},   {ERROR_INVALID_OWNER, EPERM},
    {ERROR_TOO_MANY_LINKS, EMLINK},      {ERROR_INVALID_FUNCTION, ENOSYS},
    {ERROR_NOT_SUPPORTED, ENOSYS},       {ERROR_CALL_NOT_IMPLEMENTED, ENOSYS},
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
