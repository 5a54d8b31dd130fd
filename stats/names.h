// The names beside a statistics file NAME: NAME.new while a conversion
// builds its copy, NAME.old for the version 1 file once it is swapped out.
// They are formed within the held directory by stats/replacement.h.
#pragma once

#include <cstddef>
#include <cstring>

namespace stats {

// Derived names are formed in buffers of this size, terminator included.
inline constexpr std::size_t name_buffer_size = 1028;
inline constexpr std::size_t max_name_length = name_buffer_size - sizeof ".new";

// The reverse: NAME from a `name` that ends in `suffix`. Returns 0 when it
// does not end so, or is nothing but the suffix.
inline int strip_suffix(char (&out)[name_buffer_size], const char* name, const char* suffix) {
    std::size_t length = std::strlen(name), cut = std::strlen(suffix);
    if (length <= cut || length - cut >= sizeof out ||
        std::strcmp(name + length - cut, suffix) != 0)
        return 0;
    std::memcpy(out, name, length - cut);
    out[length - cut] = '\0';
    return 1;
}

} // namespace stats
