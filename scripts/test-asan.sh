#!/usr/bin/env bash
# Builds everything with clang, AddressSanitizer, LeakSanitizer and UBSan (the
# sanitize preset, which also builds the fuzzers) and runs every test headless
# through CTest. Any memory error, leak or undefined behaviour ends the test
# that met it with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh check

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
cmake --workflow --preset sanitize
