#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (the sanitize preset, whose build
# scripts/test-asan.sh shares) and runs each for a number of seconds (first
# argument, default 5) as CTest tests labelled "fuzz". Fails on the first
# crash, leak, sanitizer report or hang; the input that caused it is kept in
# build/sanitize/fuzz/fuzz-artifacts/, and new inputs found go to the build
# directory, so the seed corpus in fuzz/corpus stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}

scripts/setup.sh check

# Configured again only for another number of seconds.
if ! grep -qx "SMS_FUZZ_SECONDS:STRING=$seconds" build/sanitize/CMakeCache.txt 2>/dev/null; then
    cmake --preset sanitize -DSMS_FUZZ_SECONDS="$seconds" >/dev/null
fi
cmake --build --preset fuzz
# One at a time: each harness keeps a core busy for its whole run.
ctest --preset fuzz -j 1
