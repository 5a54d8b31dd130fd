#!/usr/bin/env bash
# Installs what the tests need where it is missing, then builds and runs
# every test: the unit tests and the black-box suite, once in a plain build
# with warnings as errors, and once under AddressSanitizer (with leak
# detection) and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for tool in cmake:cmake g++:g++ python3:python3 make:make; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
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
