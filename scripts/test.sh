#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs
# every test headless through CTest. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang and its runtime build the fuzzers.
scripts/setup.sh clang libclang-rt-14-dev

build=${BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMS_WARNINGS_AS_ERRORS=ON
cmake --build "$build" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# A short run of every fuzzer (seconds each); fails on any crash.
scripts/fuzz.sh "${FUZZ_SECONDS:-5}"
