#!/usr/bin/env bash
# The HTTP front under load (scripts/bench.sh http runs this): wrk with 16
# keep-alive connections against a running marlek-sms-http on loopback,
# while marlek-smsd takes files from the same outbox and sends them to the
# substitute gateway. Prints one markdown table:
#   - durable submissions a second, p50 and p99 (each 202 only after the file
#     and the folder are flushed), without and with an Idempotency-Key;
#   - the front's CPU time per accepted message;
#   - lookups a second at 1,000,000 ledger lines, p50 and p99.
#
#   scripts/bench.sh http                 15 s per run
#   BENCH_SECONDS=5 scripts/bench.sh http shorter, for trying
#
# The data lives on the working disk under build/bench/bench-http
# (SMS_BENCH_DIR overrides), never on a tmpfs.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh bench

cmake --preset bench >/dev/null
cmake --build build/bench -j "$(nproc)" --target marlek-sms-http marlek-sms marlek-smsd smsgateway

build=$top/build/bench
data=${SMS_BENCH_DIR:-$build/bench-data}/bench-http
seconds=${BENCH_SECONDS:-15}
rm -rf "$data"
mkdir -p "$data/out" "$data/bak" "$data/work" "$data/lookup"

pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Starts the front; sets front_pid and front_url.
start_front() { # log file, options...
    local log=$1
    shift
    "$build/http/marlek-sms-http" --tokens "$data/tokens" --listen 127.0.0.1:0 "$@" 2>"$log" &
    front_pid=$!
    pids+=("$front_pid")
    for _ in $(seq 1 600); do
        if grep -q 'listening on' "$log"; then
            break
        fi
        sleep 0.1
    done
    front_url="http://$(grep -o 'listening on [^,]*' "$log" | cut -d' ' -f3)"
}
cpu_ticks() { # pid: user + system clock ticks
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}
metric() { # url, name
    curl -s -H "Authorization: Bearer $token" "$1/metrics" | awk -v n="$2" '$1 == n { print $2 }'
}
# wrk's requests/s, p50, p99 and non-2xx count from its --latency report.
summary() { # wrk output file
    awk '
        /Requests\/sec:/ { rps = $2 }
        /^ +50%/ { p50 = $2 }
        /^ +99%/ { p99 = $2 }
        /Non-2xx or 3xx responses:/ { bad = $5 }
        /requests in/ { total = $1 }
        END { printf "%s %s %s %s %s\n", rps, p50, p99, (bad == "" ? 0 : bad), total }' "$1"
}

token=$("$build/cli/marlek-sms" token add bench --tokens "$data/tokens")

# The sender: marlek-smsd at its quickest poll, against the substitute gateway.
port=$(free_port)
"$build/substitute-gateway/smsgateway" --port "$port" --counter 99999999 --user user --password secret \
    --key ABCDEFGHIJKLMNOP >/dev/null 2>&1 &
pids+=($!)
printf '%s\r\n' "$data/out/" "$data/bak/" 127.0.0.1 "$port" user secret ABCDEFGHIJKLMNOP \
    >"$data/work/SMS_Key_Client.inf"
"$build/service/marlek-smsd" --workdir "$data/work" --poll 200 >"$data/smsd.log" 2>&1 &
pids+=($!)

start_front "$data/front.log" --outbox "$data/out" --workdir "$data/work" --max-queued 100000000
submit_url=$front_url
submit_pid=$front_pid

cat >"$data/post.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"to":"+4912345678","from":"bench","text":"A message of a usual length, sent over HTTP to the outbox."}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer $token"
LUA
# A fresh key for every request: each one claimed, answered and recorded.
cat >"$data/post-key.lua" <<LUA
local threads = 0
function setup(thread)
    threads = threads + 1
    thread:set("id", threads)
end
local n = 0
function request()
    n = n + 1
    -- wrk.format takes the headers whole, not added to wrk.headers.
    return wrk.format(nil, nil, {
        ["Content-Type"] = "application/json",
        ["Authorization"] = "Bearer $token",
        ["Idempotency-Key"] = "bench-" .. id .. "-" .. n,
    })
end
wrk.method = "POST"
wrk.body = '{"to":"+4912345678","from":"bench","text":"A message of a usual length, sent over HTTP to the outbox."}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer $token"
LUA
cat >"$data/get.lua" <<LUA
wrk.headers["Authorization"] = "Bearer $token"
function request()
    return wrk.format("GET", "/v1/messages/20260101T000000.000000Z_4242_" .. math.random(1, 1000000) .. ".sms")
end
LUA

rows=()
submit_run() { # label, lua script
    local before_cpu before_acc out
    before_cpu=$(cpu_ticks "$submit_pid")
    before_acc=$(metric "$submit_url" marlek_sms_http_messages_accepted_total)
    out="$data/wrk-$1.txt"
    wrk -t2 -c16 -d"${seconds}s" --latency -s "$2" "$submit_url/v1/messages" >"$out"
    cat "$out"
    local after_cpu after_acc
    after_cpu=$(cpu_ticks "$submit_pid")
    after_acc=$(metric "$submit_url" marlek_sms_http_messages_accepted_total)
    read -r rps p50 p99 bad total < <(summary "$out")
    local accepted=$((after_acc - before_acc))
    local hz
    hz=$(getconf CLK_TCK)
    local cpu_us=$(((after_cpu - before_cpu) * 1000000 / hz / (accepted > 0 ? accepted : 1)))
    local files
    files=$(find "$data/out" -maxdepth 1 -type f | wc -l)
    rows+=("| submissions, $1 | $rps/s ($accepted accepted, $bad not 2xx), p50 $p50, p99 $p99; front CPU ${cpu_us} µs per accepted message; $files files waiting after | ≥ 5,000/s, p99 ≤ 10 ms |")
}

echo "=== submissions without a key ==="
submit_run "no key" "$data/post.lua"
echo "=== submissions with a fresh Idempotency-Key each ==="
submit_run "Idempotency-Key each" "$data/post-key.lua"
sent=$(grep -c 'accepted' "$data/work/SmsSender.results" 2>/dev/null || echo 0)

echo "=== 1,000,000 ledger lines ==="
python3 - "$data/lookup" <<'PY'
import os, sys
d = sys.argv[1]
# Ten rotated ledgers of 100,000 lines, as a long-running sender leaves them.
for f in range(10):
    name = "SmsSender.results" if f == 9 else "SmsSender_2026_1_%d_0_0_0_0.results" % (f + 1)
    with open(os.path.join(d, name), "w") as out:
        lines = []
        for i in range(f * 100000 + 1, (f + 1) * 100000 + 1):
            n = "20260101T000000.000000Z_4242_%d.sms" % i
            lines.append("2026-01-01T10:00:00.000+01:00\taccepted\t%s\tbak/SmsFile_2026_1_1_10_0_0_%d.sms\t0\t%08d\n" % (n, i, i))
        out.write("".join(lines))
PY
started=$(date +%s%N)
start_front "$data/lookup-front.log" --outbox "$data/out" --workdir "$data/lookup"
ready_ms=$((($(date +%s%N) - started) / 1000000))
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$front_pid/status")
out="$data/wrk-lookup.txt"
wrk -t2 -c16 -d"${seconds}s" --latency -s "$data/get.lua" "$front_url" >"$out"
cat "$out"
read -r rps p50 p99 bad total < <(summary "$out")
rows+=("| lookups at 1,000,000 ledger lines | $rps/s ($bad not 2xx), p50 $p50, p99 $p99; index of all lines ready in $ready_ms ms, $((rss / 1024)) MiB resident | ≥ 5,000/s |")

echo
echo "## HTTP front, $(date '+%Y-%m-%d %H:%M %Z'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), wrk -t2 -c16 -d${seconds}s"
echo
echo "| measure | figure | goal |"
echo "| --- | --- | --- |"
printf '%s\n' "${rows[@]}"
echo "| the sender meanwhile | marlek-smsd at a 200 ms poll: $sent messages sent to the substitute gateway | |"
