#!/usr/bin/env bash
# Installs what is missing, builds, prepares a demo working directory with a
# settings file that points at the substitute gateway on 127.0.0.1, starts that
# gateway and then the sender. The gateway is stopped when the sender ends.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh

build=${BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMS_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)"

demo=${DEMO_DIR:-$top/demo}
mkdir -p "$demo/outbox" "$demo/backup"
port=${GATEWAY_PORT:-47070}

# Keep a settings file the operator has changed through the configure window.
if [ ! -f "$demo/SMS_Key_Client.inf" ]; then
    printf '%s\r\n' "$demo/outbox/" "$demo/backup/" 127.0.0.1 "$port" demo secret ABCD1234EFGH5678 \
        > "$demo/SMS_Key_Client.inf"
    chmod 600 "$demo/SMS_Key_Client.inf"
fi
port=$(sed -n '4p' "$demo/SMS_Key_Client.inf" | tr -d '\r')

"$build/gateway/smsgateway" --port "$port" --counter 100 \
    --info 'Substitute gateway: messages are logged, not delivered.' \
    --log "$demo/gateway-records.log" &
gateway=$!
trap 'kill $gateway 2>/dev/null || true' EXIT

cat <<MSG
Demo working directory: $demo
Substitute gateway on 127.0.0.1:$port, record log: $demo/gateway-records.log
In the program choose Status > Start, then drop a message file into the outbox, e.g.
  printf '%s\r\n' 3331234567 Marlek 'Hello from the demo' > $demo/outbox/tmp && mv $demo/outbox/tmp $demo/outbox/hello.sms
or use Settings > SMS Test.
MSG

cd "$demo"
program=("$top/$build/app/MarlekSMSSender")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting the program under Xvfb (invisible). Set DISPLAY to see it."
    program=(xvfb-run -a "${program[@]}")
fi
# In a process group of its own, so that an interrupted script takes the
# program (and its Xvfb) down with the gateway.
setsid "${program[@]}" &
app=$!
trap 'kill -- -$app 2>/dev/null || true; kill $gateway 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
wait $app
