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

# Start the real program once, headless, in an empty working directory: it
# must come up (showing its not-configured message) and keep running.
program=$(realpath "$build/app/MarlekSMSSender")
smoke=$(mktemp -d)
status=0
(cd "$smoke" && timeout 3 "$program") || status=$?
rm -rf "$smoke"
if [ "$status" -ne 124 ]; then
    echo "The program did not keep running (exit status $status)" >&2
    exit 1
fi
echo "Program start: ok"

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
