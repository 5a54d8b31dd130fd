# Cross-builds the same Windows programs for x86-64 (packages
# g++-mingw-w64-x86-64-win32 and binutils-mingw-w64-x86-64), for machines
# that cannot execute 32-bit programs. Tests run them under the 64-bit Wine
# (wine64), in a prefix made with WINEARCH=win64. `long` is 32 bits there
# too, so the size limits are exercised as in the 32-bit program.
set(STATCONV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
