// The fingerprint of who may use a file (access_of), folded from what each
// system tells of it: FNV-1a over the bytes, in 64 bits.
#pragma once

#include <cstddef>

namespace platform {

// Where a fingerprint starts, before anything is folded into it.
inline constexpr unsigned long long fingerprint_start = 0xcbf29ce484222325ULL;

// Folds `size` bytes at `data` into the fingerprint `hash`.
inline void fold(unsigned long long& hash, const void* data, std::size_t size) {
    const auto* byte = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; i++)
        hash = (hash ^ byte[i]) * 0x100000001b3ULL;
}

} // namespace platform
