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
#
# scripts/soak.sh --senders N [--files M]: N marlek-smsd services, each with
# its own working folder, substitute gateway and backup folder, share one
# outbox of M files (default 3,000), after one service alone went through the
# same files at the same poll (200 ms; --tick-ms to change); then checks that
# each file reached exactly one gateway, none was left behind, no service
# printed a fault line, and that the N together had at least 2.7 times the
# throughput of the one (--min-ratio R). About 13.5 minutes for 3 senders.
#
# scripts/soak.sh --drop [--files M]: M files (default 10,000) dropped at once
# into an outbox the engine already follows, more than the kernel queues
# change events for; checks that each reaches the gateway exactly once, in
# name order within its kind.
#
# The program is tools/soak (--help lists its options).
set -euo pipefail
cd "$(dirname "$0")/.."
run_args=()
targets=(soak smsgateway)
files=10000
case "${1:-}" in
--kill)
    run_args=(--kill "${2:-50}")
    shift 2 || shift $#
    files=2000
    ;;
--senders)
    run_args=(--senders "${2:-3}")
    shift 2 || shift $#
    files=3000
    targets+=(marlek-smsd)
    ;;
--drop)
    run_args=(--drop)
    shift
    ;;
[0-9]*)
    files=$1
    shift
    ;;
esac

scripts/setup.sh

build=${SOAK_BUILD_DIR:-build/soak}
# An existing build directory is used as it is configured.
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

args=("$@")
case " $* " in
*" --files "*) ;; # given: the default stays out of the way
*) args+=(--files "$files") ;;
esac
exec "$build/tools/soak/soak" "${run_args[@]}" "${args[@]}" --gateway "$build/substitute-gateway/smsgateway" \
    --service "$build/service/marlek-smsd"
