#!/usr/bin/env bash
# Builds everything with AddressSanitizer, LeakSanitizer and UBSan (the
# debug-asan preset) and runs every test headless through CTest. Any memory
# error, leak or undefined behaviour ends the test that met it with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
cmake --workflow --preset debug-asan
