#include "stats/report.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

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

} // namespace stats
