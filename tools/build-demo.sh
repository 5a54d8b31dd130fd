#!/usr/bin/env bash
# Installs what the build and the demo need where it is missing, builds the
# three programs in build/ and runs the demo there: five sample version 1
# files in build/demo/trans, converted, described by statinfo, one reverted.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-missing.sh cmake make g++ python3 libacl1-dev libattr1-dev
cmake -S . -B build
cmake --build build -j "$(nproc)" --target demo
