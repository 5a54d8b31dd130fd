// The names beside a statistics file NAME: NAME.new while a conversion
// builds its copy, NAME.old for the version 1 file once it is swapped out.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace stats {

// Derived names are formed in buffers of this size, terminator included.
inline constexpr std::size_t name_buffer_size = 1028;
inline constexpr std::size_t max_name_length = name_buffer_size - sizeof ".new";

// Forms NAME followed by `suffix` (".new" or ".old"). Returns 0, writing
// nothing, when NAME is too long for the buffer.
inline int derive_name(char (&out)[name_buffer_size], const char* name, const char* suffix) {
    if (std::strlen(name) > max_name_length) return 0;
    std::snprintf(out, sizeof out, "%s%s", name, suffix);
    return 1;
}

// Forms both NAME.old and NAME.new; 0 when NAME is too long for them.
inline int derive_names(char (&old_name)[name_buffer_size], char (&new_name)[name_buffer_size],
                        const char* name) {
    return derive_name(old_name, name, ".old") && derive_name(new_name, name, ".new");
}

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
