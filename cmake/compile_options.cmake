# Compiler warnings for every target, and the sanitizer and fuzzing builds.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wformat=2)
# No function's frame over 16 KiB: names are shown from rooms on the heap
# (stats/replacement.h), block buffers are allocated once. The sanitizers'
# red zones make frames larger than the programs' own.
if(NOT STATCONV_SANITIZE AND NOT STATCONV_FUZZ)
  add_compile_options(-Wframe-larger-than=16384)
endif()
if(STATCONV_WERROR)
  add_compile_options(-Werror)
endif()
if(STATCONV_SANITIZE OR STATCONV_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
if(STATCONV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The fuzzing build needs clang: CXX=clang++ cmake -DSTATCONV_FUZZ=ON")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The hardening Debian's dpkg-buildflags gives, for optimised builds on Linux
# (a package is made from a Release one; the tests' RelWithDebInfo build is
# hardened alike): fortified library calls, a strong stack protector, a
# position-independent executable and a read-only relocation table bound at
# start-up.
option(STATCONV_HARDEN "Build optimised programs on Linux with Debian's hardening flags" ON)
if(STATCONV_HARDEN AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT STATCONV_SANITIZE
   AND NOT STATCONV_FUZZ
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    add_compile_definitions(_FORTIFY_SOURCE=2)
  endif()
  add_compile_options(-fstack-protector-strong)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
