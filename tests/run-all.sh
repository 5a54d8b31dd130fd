#!/usr/bin/env bash
# Installs what the tests need where it is missing, then builds and runs
# every test: the unit tests and the black-box suite (with its injected
# faults, kills and races) in a plain build with warnings as errors and again
# under Valgrind; the same under AddressSanitizer (with leak detection) and
# UndefinedBehaviorSanitizer; the fuzzer for FUZZ_SECONDS (default 60); and
# the 32-bit Windows program, cross-built with mingw-w64, under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
missing=()
for package in cmake g++ make dpkg-dev python3 libgtest-dev valgrind clang libclang-rt-14-dev \
    g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386; do
    installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y \
        "${missing[@]}"
fi

if command -v clang-format >/dev/null; then
    git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
fi

jobs=$(nproc)
run_suite() { # build directory, then extra configure options
    local dir=$1
    shift
    cmake -S . -B "$dir" -DSTATCONV_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite build
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

# The Windows program, cross-built and run under Wine in a prefix of its own.
WINEPREFIX=$(mktemp -d) WINEARCH=win32 WINEDEBUG=-all
export WINEPREFIX WINEARCH WINEDEBUG
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineboot --init >/dev/null 2>&1 && wineserver -w
run_suite build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
