// Test of the Windows programs' errors, run under Wine: each system error, as
// the layer meets it, gives the errno value that callers branch on and the
// words the operator reads, and no two system errors read alike.
#include "platform/windows_internal.h"
#include "stats/report.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int carried = -1; // the error is carried as itself
constexpr const char* its_message = nullptr;

struct Row {
    DWORD system;
    int error;         // the errno value, or carried
    const char* words; // what reason() says, or its_message: the system's own
};

constexpr Row rows[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT, "No such file or directory"},
    {ERROR_PATH_NOT_FOUND, ENOENT, "No such file or directory"},
    {ERROR_ALREADY_EXISTS, EEXIST, "File exists"},
    {ERROR_ACCESS_DENIED, EACCES, "Permission denied"},
    {ERROR_SHARING_VIOLATION, EBUSY, "in use by another program"},
    {ERROR_LOCK_VIOLATION, EBUSY, "in use by another program"},
    {ERROR_DISK_FULL, ENOSPC, "No space left on device"},
    {ERROR_NOT_SUPPORTED, ENOSYS, "Function not implemented"},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG, "File name too long"},
    {ERROR_SUCCESS, EIO, "Input/output error"},
    {ERROR_INVALID_NAME, carried, its_message}, // once "not a regular file"
    {ERROR_INVALID_PARAMETER, carried, its_message},
    {ERROR_WRITE_PROTECT, carried, its_message}, // once "Permission denied"
    {ERROR_BAD_NETPATH, carried, its_message},   // once "No such file or directory"
    {ERROR_INVALID_DRIVE, carried, its_message},
    {ERROR_NOT_READY, carried, its_message},
    {ERROR_DIR_NOT_EMPTY, carried, its_message},
    {ERROR_NOT_ENOUGH_MEMORY, carried, its_message},
    {ERROR_TOO_MANY_OPEN_FILES, carried, its_message},
    {12287, carried, "system error 12287"}, // no message at all
};

constexpr int row_count = sizeof rows / sizeof rows[0];

// Whether the system's message for a row reads as one phrase of a line.
bool one_phrase(const char* text) {
    std::size_t length = std::strlen(text);
    return length > 0 && std::strpbrk(text, "\r\n") == nullptr && text[length - 1] != '.' &&
           text[length - 1] != ' ';
}

} // namespace

int main() {
    char texts[row_count][sizeof(stats::Reason::text)];
    int failed = 0;
    for (int i = 0; i < row_count; i++) {
        const Row& row = rows[i];
        SetLastError(row.system);
        platform::fail_with_system_error();
        int wanted = row.error == carried
                         ? platform::system_error_base + static_cast<int>(row.system)
                         : row.error;
        std::snprintf(texts[i], sizeof texts[i], "%s", stats::reason(errno).text);
        bool ok =
            errno == wanted && (row.words != its_message ? std::strcmp(texts[i], row.words) == 0
                                                         : one_phrase(texts[i]));
        // Errors that callers tell apart may share the runtime's words; none
        // carried as itself reads as any error before it.
        for (int j = 0; j < i; j++)
            if (row.error == carried && std::strcmp(texts[i], texts[j]) == 0) ok = false;
        std::printf("%s system error %lu: errno %d, \"%s\"\n", ok ? "ok  " : "FAIL",
                    static_cast<unsigned long>(row.system), errno, texts[i]);
        failed += !ok;
    }
    std::printf("%d passed, %d failed\n", row_count - failed, failed);
    return failed != 0;
}
