#!/usr/bin/env bash
# Drop to wire: how long a message file takes from its rename into the outbox
# to its record at the gateway, with marlek-smsd at a 200 ms poll and the
# substitute gateway on loopback, 100,000 other files (of the kind searched
# last) waiting in the outbox:
#   - the first file after Start: dropped, then the service started at once;
#   - the steady state: files dropped one at a time while it runs.
# Times come from the gateway's record log (its clock, to the millisecond)
# and the drop's own clock reading on the same machine.
#
#   scripts/bench.sh latency      (SMS_BENCH_FILES=N other files, default 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh bench >/dev/null
cmake --preset bench >/dev/null
cmake --build build/bench -j "$(nproc)" --target marlek-smsd smsgateway >/dev/null

build=$top/build/bench
data=${SMS_BENCH_DIR:-$build/bench-data}/bench-latency
others=${SMS_BENCH_FILES:-100000}
poll=200
rm -rf "$data"
mkdir -p "$data/outbox" "$data/backup"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT

"$build/substitute-gateway/smsgateway" --port 0 --counter 99999999 --log "$data/records.log" >"$data/gateway.out" &
pids+=($!)
for _ in $(seq 100); do grep -q 'listening on' "$data/gateway.out" && break; sleep 0.05; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$data/gateway.out")
printf '%s\r\n' "$data/outbox/" "$data/backup/" 127.0.0.1 "$port" bench secret ABCD1234EFGH5678 >"$data/SMS_Key_Client.inf"

# The others: flash messages, searched after the plain ones.
python3 - "$data/outbox" "$others" <<'EOF'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    with open(os.path.join(d, "other-%06d.flh" % i), "wb") as f:
        f.write(b"+391111\r\nBench\r\nother\r\n")
EOF

now_ms() { date +%s%3N; }
# Writes one plain message under a temporary name and renames it in; prints
# the time of the rename.
drop() {
    printf '%s\r\n' +392222 Bench "$1" >"$data/outbox/.$1.part"
    mv "$data/outbox/.$1.part" "$data/outbox/$1.sms"
    now_ms
}
# The gateway's time for the record whose text is $1, in ms since the epoch.
wire_ms() {
    local record
    for _ in $(seq 600); do
        record=$(grep -F "$(printf '\t')$1$(printf '\t')" "$data/records.log" || true)
        [ -z "$record" ] || break
        sleep 0.01
    done
    [ -n "$record" ] || { echo "bench-latency: $1 never reached the gateway" >&2; exit 1; }
    date -d "$(cut -f1 <<<"$record")" +%s%3N
}

first_drop=$(drop first-after-start)
"$build/service/marlek-smsd" --workdir "$data" --poll "$poll" >"$data/smsd.out" 2>&1 &
pids+=($!)
first_wire=$(wire_ms first-after-start)
first=$((first_wire - first_drop))
# The log-in's record: from there the first file waits at most a poll.
login=$(date -d "$(awk -F'\t' '$3 == "P" {print $1; exit}' "$data/records.log")" +%s%3N)

steady=()
for i in $(seq 1 20); do
    sleep "0.$((RANDOM % 9 + 1))"
    at=$(drop "steady-$i")
    steady+=($(($(wire_ms "steady-$i") - at)))
done
sorted=$(printf '%s\n' "${steady[@]}" | sort -n)
echo "drop to wire, poll $poll ms, $others other files waiting:"
echo "  first file after Start: $first ms from the drop (the program's start, the log-in and the first scan" \
    "of the outbox included), $((first_wire - login)) ms after the gateway had the log-in"
echo "  steady state (20 files): min $(head -1 <<<"$sorted") ms, median $(sed -n 10p <<<"$sorted") ms," \
    "max $(tail -1 <<<"$sorted") ms"
