#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs
# every test headless through CTest (the `ci` workflow preset: the unit,
# window and gateway tests, the program's start check and the format check),
# then a short run of every fuzzer and the whole suite again under
# AddressSanitizer and UBSan. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang and its runtime build the fuzzers; clang-format checks the layout.
scripts/setup.sh clang libclang-rt-14-dev clang-format

export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
cmake --workflow --preset ci

# A short run of every fuzzer (seconds each); fails on any crash.
scripts/fuzz.sh "${FUZZ_SECONDS:-5}"

# The whole suite once more under AddressSanitizer, LeakSanitizer and UBSan.
# SMS_SKIP_ASAN=1 skips it for a quicker local run.
if [ "${SMS_SKIP_ASAN:-0}" != 1 ]; then
    scripts/test-asan.sh
fi

# The Debian packages, built in a build directory of their own and checked
# with lintian, desktop-file-validate and appstreamcli (scripts/package.sh;
# several minutes). CI runs it; SMS_SKIP_PACKAGE=1 skips it for a quicker
# local run.
if [ "${SMS_SKIP_PACKAGE:-0}" != 1 ]; then
    BUILD_DIR=${PACKAGE_BUILD_DIR:-build/package} scripts/package.sh
fi
