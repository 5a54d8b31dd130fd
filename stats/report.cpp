#include "stats/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"
#include "stats/shown_name.h"

namespace stats {

int report_error(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = platform::vprint_text(stderr, format, args);
    va_end(args);
    // Standard error may be buffered (msvcrt buffers it when redirected).
    std::fflush(stderr);
    return written;
}

void report_named(const char* name, const char* format, ...) {
    print_shown(stderr, name);
    std::va_list args;
    va_start(args, format);
    platform::vprint_text(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

Reason reason(int error) {
    Reason why;
    const char* own = nullptr;
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EBUSY:
        own = "in use by another program";
        break;
    case EINVAL:
        own = "not a regular file";
        break;
    case ELOOP:
        own = "a symbolic link";
        break;
    default:
        platform::error_text(error, why.text, sizeof why.text);
        return why;
    }
    std::snprintf(why.text, sizeof why.text, "%s", own);
    return why;
}

} // namespace stats
