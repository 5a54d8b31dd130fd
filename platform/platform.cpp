// What the operating-system layer does the same way on every system, on top
// of the primitives each system's files provide.
#include "platform/platform.h"

namespace platform {

int same_file(const Directory& directory, const char* a, const char* b) {
    Stamp sa, sb;
    return stamp_of_name(directory, a, sa) && stamp_of_name(directory, b, sb) &&
           sa.volume == sb.volume && sa.index == sb.index;
}

} // namespace platform
