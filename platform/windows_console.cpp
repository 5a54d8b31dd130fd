// Windows: text with names for the operator. To a console it is written as
// characters (WriteConsoleW), so that names show rightly whatever the
// console's code page; to a file or pipe the bytes go as they are.
#include "platform/windows_internal.h"

#include <cstdarg>
#include <io.h>

namespace platform {

namespace {

// Room for a line to a console, in the ANSI code page and in UTF-16: a line
// of three names as long as they come, and its words. A longer one goes as
// bytes.
constexpr int console_line_size = 4096;

// The console that `out` writes to, or null for a file, pipe or device.
HANDLE console_of(std::FILE* out) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// Writes `text`, in the ANSI code page, to `console` as characters, after
// what `out` holds buffered. Fails, having written nothing, where it cannot.
bool write_console(HANDLE console, std::FILE* out, const char* text, int length) {
    wchar_t wide[console_line_size];
    int wide_length = MultiByteToWideChar(CP_ACP, 0, text, length, wide, console_line_size);
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
    char text[console_line_size];
    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(text, sizeof text, format, args);
    bool shown =
        length > 0 && length < console_line_size && write_console(console, out, text, length);
    if (!shown) length = std::vfprintf(out, format, again);
    va_end(again);
    return length;
}

} // namespace platform
