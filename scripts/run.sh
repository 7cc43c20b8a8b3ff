#!/usr/bin/env bash
# Installs what is missing, builds, prepares a demo working directory with a
# settings file that points at the substitute gateway on 127.0.0.1, starts that
# gateway and then the sender. The gateway is stopped when the sender ends.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh run

build=${BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMS_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)"

demo=${DEMO_DIR:-$top/demo}
mkdir -p "$demo/outbox" "$demo/backup"
port=${GATEWAY_PORT:-47070}

# Keep a settings file the operator has changed through the configure window.
# A taken port is replaced below by a free one.
if [ ! -f "$demo/SMS_Key_Client.inf" ]; then
    printf '%s\r\n' "$demo/outbox/" "$demo/backup/" 127.0.0.1 "$port" demo secret ABCD1234EFGH5678 \
        > "$demo/SMS_Key_Client.inf"
    chmod 600 "$demo/SMS_Key_Client.inf"
fi
settings=$demo/SMS_Key_Client.inf
port=$(sed -n '4p' "$settings" | tr -d '\r')
host=$(sed -n '3p' "$settings" | tr -d '\r')

gateway=
gateway_out=$(mktemp)
trap 'kill $gateway 2>/dev/null || true; rm -f "$gateway_out"' EXIT

# Starts the substitute gateway on port $1 and waits until it listens (it
# prints "listening on ADDRESS:PORT"). Returns 1 when it ended (a taken port,
# say), 2 when it stayed silent.
start_gateway() {
    "$build/substitute-gateway/smsgateway" --port "$1" --counter 100 \
        --info 'Substitute gateway: messages are logged, not delivered.' \
        --log "$demo/gateway-records.log" >"$gateway_out" 2>&1 &
    gateway=$!
    for _ in $(seq 100); do
        if grep -q '^listening on ' "$gateway_out"; then
            return 0
        fi
        kill -0 "$gateway" 2>/dev/null || return 1
        sleep 0.1
    done
    kill "$gateway" 2>/dev/null || true
    return 2
}

never_listened() {
    echo "The substitute gateway never started listening; stopping. Its output:" >&2
    cat "$gateway_out" >&2
    exit 1
}

status=0
start_gateway "$port" || status=$?
if [ "$status" -eq 2 ] || { [ "$status" -eq 1 ] && [ "$host" != 127.0.0.1 ]; }; then
    never_listened
elif [ "$status" -eq 1 ]; then
    echo "Port $port cannot be used ($(tr -d '\n' <"$gateway_out")); the substitute gateway takes a free one."
    start_gateway 0 || never_listened
    # The settings point at the substitute gateway: follow it to its port.
    port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$gateway_out")
    sed -i "4s/.*/$port\r/" "$settings"
fi

cat <<MSG
Demo working directory: $demo
Substitute gateway on 127.0.0.1:$port, record log: $demo/gateway-records.log
In the program choose Status > Start, then drop a message file into the outbox, e.g.
  printf '%s\r\n' 3331234567 Marlek 'Hello from the demo' > $demo/outbox/tmp && mv $demo/outbox/tmp $demo/outbox/hello.sms
or use Settings > SMS Test.
MSG

cd "$demo"
program=("$top/$build/app/MarlekSMSSender" --workdir "$demo")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting the program under Xvfb (invisible). Set DISPLAY to see it."
    program=(xvfb-run -a "${program[@]}")
fi
# In a process group of its own, so that an interrupted script takes the
# program (and its Xvfb) down with the gateway.
setsid "${program[@]}" &
app=$!
trap 'kill -- -$app 2>/dev/null || true; kill $gateway 2>/dev/null || true; rm -f "$gateway_out"' EXIT
trap 'exit 130' INT TERM
wait $app
