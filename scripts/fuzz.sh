#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (the fuzz preset) and runs each
# for a number of seconds (first argument, default 5) as CTest tests labelled
# "fuzz". Fails on the first crash, leak, sanitizer report or hang; the input
# that caused it is kept in build/fuzz/fuzz/fuzz-artifacts/, and new inputs
# found go to the build directory, so the seed corpus in fuzz/corpus stays as
# it is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}

scripts/setup.sh clang libclang-rt-14-dev

cmake --preset fuzz -DSMS_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build --preset fuzz
# One at a time: each harness keeps a core busy for its whole run.
ctest --preset fuzz -j 1
