# Cross-builds the 32-bit Windows console programs with Debian's mingw-w64
# (packages g++-mingw-w64-i686 and binutils-mingw-w64-i686). Tests run them
# under the 32-bit Wine (wine, wine32).
set(STATCONV_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
