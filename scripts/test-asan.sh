#!/usr/bin/env bash
# Builds everything with AddressSanitizer, LeakSanitizer and UBSan (the
# debug-asan preset) and runs every test headless through CTest. Any memory
# error, leak or undefined behaviour ends the test that met it with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh

build=${BUILD_DIR:-build/asan}
cmake --preset debug-asan -B "$build"
cmake --build "$build" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
lsan_options=print_suppressions=0
if [ -f "$top/scripts/lsan.supp" ]; then
    lsan_options+=":suppressions=$top/scripts/lsan.supp"
fi
export LSAN_OPTIONS=$lsan_options
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
