# What the mingw-w64 cross toolchains share. A toolchain file sets
# STATCONV_MINGW_TRIPLET (i686-w64-mingw32 or x86_64-w64-mingw32), the
# processor and the Wine that runs its programs, then includes this file.
# The -win32 compilers use the Windows threading model, so no winpthread DLL
# is pulled in.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_CXX_COMPILER ${STATCONV_MINGW_TRIPLET}-g++-win32)
set(CMAKE_C_COMPILER ${STATCONV_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_RC_COMPILER ${STATCONV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${STATCONV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
