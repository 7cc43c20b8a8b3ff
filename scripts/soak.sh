#!/usr/bin/env bash
# Soak run: N message files (first argument, default 10000) through the
# dispatch engine to two substitute gateways, one closing and one resetting
# its connections every few hundred records, with Start pressed again after
# every stop and ticks as fast as the 1 ms interval allows. Checks that every
# file ends in the outbox or the backup directory, that no message reaches a
# gateway twice, that every backup file without a gateway record is named in
# the engine log, and that resident memory grows less than 5 MB from the
# 1,000th message to the end. Further arguments go to the soak program
# (--close-after N, --reset-after N, --tick-ms MS, --keep DIR, --help).
#
# scripts/soak.sh --kill N [--files M] [--seed S]: the engine runs in child
# processes, N of them SIGKILLed at random moments (default 2,000 files), with
# the outbox on /dev/shm and the backup directory on the working disk; then
# checks that every message is in the outbox or the backup exactly once, that
# none reached the gateway twice, and that every backup file was answered or
# named ("No reply for", "Refused:") in the runs' log.
set -euo pipefail
cd "$(dirname "$0")/.."
kill_args=()
if [ "${1:-}" = "--kill" ]; then
    kill_args=(--kill "${2:-50}")
    shift 2 || shift $#
    files=2000
else
    files=${1:-10000}
    shift || true
fi

scripts/setup.sh

build=${SOAK_BUILD_DIR:-build/soak}
# An existing build directory is used as it is configured.
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target soak smsgateway

exec "$build/tests/soak" "${kill_args[@]}" "$@" --files "$files" --gateway "$build/gateway/smsgateway"
