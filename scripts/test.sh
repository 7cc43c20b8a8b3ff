#!/usr/bin/env bash
# What CI runs (.ci/run). Installs what is missing, what the ci build needs
# first and the rest beside it (scripts/setup.sh), and makes:
#   - the ci build: gcc, warnings as errors, Debian's hardening flags (the
#     `ci` preset), and its whole CTest suite headless: unit, window, gateway,
#     service and soak tests, the program's start check and the format check;
#   - the sanitize build: clang with AddressSanitizer, LeakSanitizer and UBSan
#     and the libFuzzer harnesses (the `sanitize` preset); a short run of every
#     fuzzer, and the whole suite again under the sanitizers;
#   - the Debian packages, made from the ci build and checked with lintian,
#     desktop-file-validate and appstreamcli (scripts/package.sh).
# The rest of the install, the sanitize build and what follows it, and the
# packages, run beside the ci build and its tests at a lower priority: the
# tests mostly wait on sockets and timers, so the two cores stay busy. Each
# step's output is shown whole when it ends; at the end each step's time (wall clock and CPU), then
# CTest's closing lines.
# Exits non-zero on any failure.
#
#   FUZZ_SECONDS=N      seconds each fuzzer runs (default 5)
#   SMS_SKIP_ASAN=1     no sanitizer run of the suite (the fuzzers still run)
#   SMS_SKIP_PACKAGE=1  no packages
set -euo pipefail
cd "$(dirname "$0")/.."

began=$EPOCHREALTIME
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
jobs=$(nproc)
# The suites mostly wait; twice as many tests as cores keep the cores busy.
# The sanitizer run goes last, alone with the fuzzers, and its four longest
# tests take some 40 s each: three times as many then.
test_jobs=$((2 * jobs))
sanitizer_jobs=$((3 * jobs))

# Background steps run in process groups of their own (set -m), so that a
# failure or an interrupt stops them with all they started.
set -m
declare -A pid
stop_all() {
    for p in "${pid[@]}"; do
        kill -- "-$p" 2>/dev/null || true
    done
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# step NAME COMMAND...: runs the command in a subshell, its output to NAME's
# log (and to the screen as it comes with live=1); records its exit status,
# start, end and the CPU time of all it ran. A command may be a function of
# this script.
step() {
    local name=$1
    shift
    (
        t0=$EPOCHREALTIME
        rc=0
        if [ "${live:-0}" = 1 ]; then
            "$@" 2>&1 </dev/null | tee "$logs/$name.log" || rc=$?
        else
            "$@" >"$logs/$name.log" 2>&1 </dev/null || rc=$?
        fi
        t1=$EPOCHREALTIME
        # The CPU time of the commands this subshell ran (the second line).
        times >"$logs/$name.times"
        echo "$rc $t0 $t1 $(tail -1 "$logs/$name.times")" >"$logs/$name.status"
        exit "$rc"
    )
}
# run NAME COMMAND...: a step in the foreground, shown as it comes.
run() {
    echo "=== $1 ==="
    live=1 step "$@"
}
# start NAME COMMAND...: a step in the background at a lower priority.
start() {
    local name=$1
    (
        renice -n 10 -p "$BASHPID" >/dev/null
        step "$@"
    ) &
    pid[$name]=$!
    echo "=== $name: started beside the others ==="
}
# finish NAME...: waits for background steps.
finish() {
    local name
    for name in "$@"; do
        [ -n "${pid[$name]:-}" ] || continue
        wait "${pid[$name]}" || true
        unset "pid[$name]"
    done
}
show() {
    echo "=== $1 ==="
    cat "$logs/$1.log"
}

# The rest of the install, the sanitize build, then the fuzzers beside the
# sanitizer run of the suite.
sanitize_all() {
    step install-rest scripts/setup.sh check package || return
    step configure-sanitize cmake --preset sanitize -DSMS_FUZZ_SECONDS="${FUZZ_SECONDS:-5}" || return
    if [ "${SMS_SKIP_ASAN:-0}" = 1 ]; then
        step sanitize-build cmake --build --preset fuzz -j "$jobs" || return
    else
        step sanitize-build cmake --build --preset sanitize -j "$jobs" || return
    fi
    # One fuzzer at a time: each keeps a core busy for its whole run.
    step fuzz ctest --preset fuzz -j 1 &
    if [ "${SMS_SKIP_ASAN:-0}" != 1 ]; then
        step sanitizers ctest --preset sanitize -j "$sanitizer_jobs" || true
    fi
    wait
}

# ---- install, configure and build -------------------------------------------
# What the ci build needs first; the rest (clang, the packaging tools, the
# metrics test's programs) installs beside the ci build, and the sanitize
# build follows it there.
run install scripts/setup.sh ci || exit 1
start sanitize sanitize_all
# The packages are made from this build: Debian's flags (scripts/package.sh
# checks them).
. scripts/debian-flags.sh
ci_build() {
    cmake --preset ci "${debian_cmake_args[@]}" && cmake --build --preset ci -j "$jobs"
}
run configure+build ci_build || exit 1

# ---- tests, packages --------------------------------------------------------
# Both need the rest of the install.
while [ ! -f "$logs/install-rest.status" ] && [ -n "${pid[sanitize]:-}" ] && kill -0 "${pid[sanitize]}" 2>/dev/null; do
    sleep 1
done
if [ "${SMS_SKIP_PACKAGE:-0}" != 1 ]; then
    start packages scripts/package.sh build/test
fi
run tests ctest --preset ci -j "$test_jobs" || true

finish packages sanitize
for name in install-rest configure-sanitize packages sanitize-build fuzz sanitizers; do
    [ ! -f "$logs/$name.status" ] || show "$name"
done

# ---- times and results -----------------------------------------------------
ended=$EPOCHREALTIME
# NAME -> "status wall-seconds cpu-seconds"
figures() {
    awk '{ cpu = 0
           for (i = 4; i <= 5; i++) { split($i, t, /[ms]/); cpu += t[1] * 60 + t[2] }
           print $1, $3 - $2, cpu }' "$logs/$1.status"
}
mmss() { awk -v s="$1" 'BEGIN { printf "%d:%02d", s / 60, s % 60 }'; }
echo
echo "=== step times: wall clock, and the CPU time of all each step ran ($jobs cores;" \
    "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)) ==="
status=0
total_cpu=0
for name in install install-rest configure+build tests sanitize-build fuzz sanitizers packages; do
    [ -f "$logs/$name.status" ] || continue
    read -r rc wall cpu <<<"$(figures "$name")"
    note=""
    case $name in
    install) note="  what the ci build needs" ;;
    install-rest) note="  the rest, beside the ci build" ;;
    configure+build) note="  ci build" ;;
    sanitize-build)
        # With its configure, which ran first.
        if [ -f "$logs/configure-sanitize.status" ]; then
            read -r _ w c <<<"$(figures configure-sanitize)"
            wall=$(awk -v a="$wall" -v b="$w" 'BEGIN { print a + b }')
            cpu=$(awk -v a="$cpu" -v b="$c" 'BEGIN { print a + b }')
        fi
        note="  with its configure, beside the ci build and tests"
        ;;
    tests) note="  the ci suite" ;;
    packages) note="  beside the ci tests" ;;
    fuzz | sanitizers) note="  side by side, after the sanitize build" ;;
    esac
    [ "$rc" -eq 0 ] || { note="$note  FAILED"; status=1; }
    total_cpu=$(awk -v a="$total_cpu" -v b="$cpu" 'BEGIN { print a + b }')
    printf '  %-16s %6s  cpu %6s%s\n' "$name" "$(mmss "$wall")" "$(mmss "$cpu")" "$note"
done
printf '  %-16s %6s  cpu %6s\n' total "$(mmss "$(awk -v a="$began" -v b="$ended" 'BEGIN { print b - a }')")" \
    "$(mmss "$total_cpu")"

# CTest's closing lines of each suite, the ci suite's last.
for name in fuzz sanitizers tests; do
    [ -f "$logs/$name.log" ] || continue
    echo
    echo "=== $name: CTest ==="
    sed -n '/tests passed, .* tests failed out of/,$p' "$logs/$name.log"
done
exit "$status"
