// What the operating-system layer does the same way on every system, on top
// of the primitives each system's files provide.
#include "platform/platform.h"

#ifndef _WIN32
#include <cstring>
#endif

namespace platform {

int same_file(const Directory& directory, const char* a, const char* b) {
    Stamp sa, sb;
    return stamp_of_name(directory, a, sa) && stamp_of_name(directory, b, sb) &&
           sa.volume == sb.volume && sa.index == sb.index;
}

#ifndef _WIN32
// Linux: every error is an errno value, and the C library words it (the
// Windows files word the system's own errors).
void error_text(int error, char* text, std::size_t room) {
    if (room != 0) std::snprintf(text, room, "%s", std::strerror(error));
}
#endif

} // namespace platform
