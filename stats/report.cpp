#include "stats/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

const char* reason(int error) {
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EBUSY:
        return "in use by another program";
    case EINVAL:
        return "not a regular file";
    case ELOOP:
        return "a symbolic link";
    default:
        return std::strerror(error);
    }
}

} // namespace stats
