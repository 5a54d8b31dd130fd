#!/usr/bin/env bash
# Installs what the tests need where it is missing, then builds and runs
# every test: the unit tests and the black-box suite (with its injected
# faults, kills and races) in a plain build with warnings as errors and again
# under Valgrind; the same, Valgrind apart, in the Release build a package is
# made from; the same under AddressSanitizer (with leak detection) and
# UndefinedBehaviorSanitizer; the fuzzer for FUZZ_SECONDS (default 60); and
# the 32-bit Windows program, cross-built with mingw-w64, under Wine.
#
# Where this machine cannot execute 32-bit programs (or STATCONV_WINE64=1 is
# set), the 32-bit Windows programs get their static checks only, and the
# Windows suite runs on the same source built for x86-64, under wine64.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${STATCONV_WINE64:-0}" = 1 ]; then
    windows_way=x86-64 why="STATCONV_WINE64=1 asks for it"
elif why=$(python3 tests/can_run_32bit.py); then
    windows_way=i686
else
    windows_way=x86-64
fi

if [ $windows_way = i686 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
bash tools/install-missing.sh cmake g++ make dpkg-dev python3 libgtest-dev valgrind clang \
    libclang-rt-14-dev clang-format libacl1-dev libattr1-dev acl attr bindfs groff-base lintian \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 \
    $([ $windows_way = i686 ] && echo wine wine32:i386 ||
        echo wine64 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)

# The formatting, with the clang-format installed above: never skipped.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

jobs=$(nproc)
run_suite() { # build directory, then extra configure options; CTEST_ARGS narrows the tests
    local dir=$1
    shift
    cmake -S . -B "$dir" -DSTATCONV_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    # shellcheck disable=SC2086
    (cd "$dir" && ctest --output-on-failure -j "$jobs" ${CTEST_ARGS:-})
}

run_suite build
# The build that is packaged: Release, with the hardening flags that
# compile_options.cmake adds to it (Valgrind has had its run above).
CTEST_ARGS="-E ^blackbox_valgrind$" run_suite build-release -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_suite build-sanitize -DSTATCONV_SANITIZE=ON

# The fuzzer, from a small seed corpus, on a memory file system.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DSTATCONV_WERROR=ON -DSTATCONV_FUZZ=ON
cmake --build build-fuzz -j "$jobs" --target fuzz_convert
python3 tests/samples.py seeds build-fuzz/seeds
mkdir -p build-fuzz/corpus
fuzz_files=/dev/shm
[ -d "$fuzz_files" ] || fuzz_files=${TMPDIR:-/tmp}
TMPDIR=$fuzz_files build-fuzz/tests/fuzz_convert -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix=build-fuzz/ build-fuzz/corpus \
    build-fuzz/seeds 2>&1 | grep -E '^(Done|stat::number_of_executed_units|==)|ERROR|deadly'

# The Windows programs, cross-built and run under Wine in a prefix of its own.
WINEPREFIX=$(mktemp -d) WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
if [ $windows_way = i686 ]; then
    echo "Windows programs: 32-bit, under wine ($why)"
    export WINEARCH=win32
    wineboot --init >/dev/null 2>&1 && /usr/lib/wine/wineserver -w
    run_suite build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
else
    echo "Windows programs: x86-64, under wine64 ($why); the 32-bit programs get their static checks only"
    CTEST_ARGS="-R _headers$" run_suite build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
    export WINEARCH=win64
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 && /usr/lib/wine/wineserver -w
    run_suite build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
fi
