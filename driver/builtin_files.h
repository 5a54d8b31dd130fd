// The five statistics files a program works on when it is given no file
// names, relative to the current directory, in this order.
#pragma once

namespace driver {

inline constexpr char builtin_files[5][15] = {
    "trans/collstat", "trans/circstat", "trans/patrstat", "trans/peplstat", "trans/cashdrwr",
};

} // namespace driver
