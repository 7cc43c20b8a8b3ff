#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for a number of
# seconds (first argument, default 5). Fails on the first crash, leak,
# sanitizer report or hang; the input that caused it is kept in the build
# directory under fuzz-artifacts/. New inputs found go to the build directory
# too, so the seed corpus in fuzz/corpus stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-5}

scripts/setup.sh clang libclang-rt-14-dev

build=${FUZZ_BUILD_DIR:-build/fuzz}
case $build in /*) ;; *) build=$top/$build ;; esac
CXX=${FUZZ_CXX:-clang++} cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSMS_BUILD_FUZZ=ON -DSMS_BUILD_TESTS=OFF
harnesses=(fuzz_reply fuzz_lines fuzz_message_file fuzz_settings fuzz_browser_command)
cmake --build "$build" -j "$(nproc)" --target "${harnesses[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export QT_QPA_PLATFORM=offscreen
work=$build/fuzz-work
artifacts=$build/fuzz-artifacts
mkdir -p "$work" "$artifacts"
# The message-file and settings harnesses write a file on every run: in memory
# where possible, since rewriting files on a disk file system is slow.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=$(mktemp -d -p /dev/shm sms-fuzz.XXXXXX)
else
    export TMPDIR=$(mktemp -d -p "$work" tmp.XXXXXX)
fi
trap 'rm -rf "$TMPDIR"' EXIT

summary=()
for h in "${harnesses[@]}"; do
    mkdir -p "$work/$h"
    log=$work/$h.log
    echo "== $h: ${seconds}s"
    status=0
    "$build/fuzz/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$h-" \
        "$work/$h" "$top/fuzz/corpus/$h" >"$log" 2>&1 || status=$?
    runs=$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)
    if [ "$status" -ne 0 ]; then
        tail -60 "$log"
        echo "FAILED: $h (exit $status), see $log and $artifacts" >&2
        exit 1
    fi
    summary+=("$h: ${runs:-no summary} (corpus $(ls "$work/$h" | wc -l) files), no crash")
done
printf '%s\n' "${summary[@]}"
