#!/usr/bin/env bash
# Tries the service package under a real systemd: a minimal Debian 12 booted
# in a container (systemd-nspawn) with systemd as PID 1 and only its own
# loopback network. It installs marlek-smsd from scripts/package.sh's build
# directory, runs the substitute gateway (from the marlek-sms-sender package)
# inside on 127.0.0.1, and checks:
#   - readiness (Type=notify), CAP_LEASE, and a message written by root
#     reaching the gateway within one poll; the README's result script runs;
#   - `systemctl reload` as shipped (there is no procps in the container);
#   - StatusText, and `journalctl -p warning` / `-p err` holding the warnings
#     and errors and nothing else;
#   - with WatchdogSec=3s, a healthy service is left alone and a stopped
#     (SIGSTOP) one is restarted;
#   - a second account through marlek-smsd@.service, with its outbox under
#     /home and its backup folder on another file system;
#   - the exposure `systemd-analyze security` gives inside;
#   - the HTTP front (marlek-sms-http): its socket starts it, a message sent
#     to it with curl reaches the gateway through marlek-smsd, and its user
#     cannot read SMS_Key_Client.inf.
# The root is made once with mmdebstrap (about two minutes) and kept in
# SYSTEMD_ROOT (default /var/cache/marlek-systemd-root); the container runs on
# an overlay, so the root stays as made. Booting takes about a second.
# Commands run inside through nsenter into the container's PID 1 (this
# machine may have no systemd of its own, so no machinectl). Needs root.
#
#   scripts/systemd-check.sh              after scripts/package.sh
#   scripts/systemd-check.sh --root-path  where the root is kept
set -euo pipefail
cd "$(dirname "$0")/.."

root=${SYSTEMD_ROOT:-/var/cache/marlek-systemd-root}
if [ "${1:-}" = --root-path ]; then
    echo "$root"
    exit 0
fi
build=${BUILD_DIR:-build/package}
poll_ms=1000 # the unit's poll interval: marlek-smsd's default
port=47070   # the container has a network of its own

fail() {
    echo "systemd-check.sh: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "needs root (mmdebstrap, systemd-nspawn, nsenter)"
shopt -s nullglob
smsd_debs=("$build"/marlek-smsd_*.deb)
sender_debs=("$build"/marlek-sms-sender_*.deb)
http_debs=("$build"/marlek-sms-http_*.deb)
tools_debs=("$build"/marlek-sms-tools_*.deb)
[ ${#smsd_debs[@]} -eq 1 ] && [ ${#sender_debs[@]} -eq 1 ] && [ ${#http_debs[@]} -eq 1 ] && [ ${#tools_debs[@]} -eq 1 ] ||
    fail "expected one package each of marlek-smsd, marlek-sms-sender, marlek-sms-http and marlek-sms-tools in $build: run scripts/package.sh"

scripts/setup.sh mmdebstrap systemd-container

# Debian 12 with systemd and the service's libraries, nothing more: no procps,
# so that a reload needing /bin/kill would fail here as on a minimal server.
# A root made before the HTTP front lacks its library and curl: made anew.
if [ -e "$root/etc/debian_version" ] && [ ! -e "$root/usr/bin/curl" ]; then
    rm -rf "$root"
fi
if [ ! -e "$root/etc/debian_version" ]; then
    echo "Making the container root in $root (once)"
    started=$SECONDS
    rm -rf "$root.new"
    mkdir -p "$(dirname "$root")"
    mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus,libqt6core6,libqt6network6,libsystemd0,libmicrohttpd12,curl \
        bookworm "$root.new"
    mv "$root.new" "$root"
    echo "Root made in $((SECONDS - started)) s"
fi

# What goes in: the packages, and the gateway out of the sender's package
# (the rest of that package needs the desktop's libraries).
share=$(mktemp -d)
nspawn=
cleanup() {
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        kill -TERM "$nspawn" 2>/dev/null || true # an orderly power-off
        for _ in $(seq 100); do
            kill -0 "$nspawn" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$nspawn" 2>/dev/null || true
        wait "$nspawn" 2>/dev/null || true
    fi
    rm -rf "$share"
}
trap cleanup EXIT
cp "${smsd_debs[0]}" "$share/marlek-smsd.deb"
cp "${http_debs[0]}" "$share/marlek-sms-http.deb"
cp "${tools_debs[0]}" "$share/marlek-sms-tools.deb"
dpkg-deb -x "${sender_debs[0]}" "$share/sender"

# The container: an overlay on the root, its own loopback only.
booting=$(date +%s%N)
systemd-nspawn -D "$root" -b --register=no --keep-unit --volatile=overlay --private-network \
    --bind-ro="$share:/mnt/check" --console=passive >"$share/console.log" 2>&1 &
nspawn=$!

# Its PID 1: nspawn's child in another PID namespace.
leader=
own_ns=$(readlink /proc/self/ns/pid)
for _ in $(seq 300); do
    kill -0 "$nspawn" 2>/dev/null || fail "systemd-nspawn ended: $(cat "$share/console.log")"
    for stat in /proc/[0-9]*/stat; do
        pid=${stat#/proc/}
        pid=${pid%/stat}
        read -r -a fields <"$stat" 2>/dev/null || continue
        if [ "${fields[3]}" = "$nspawn" ] && [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" != "$own_ns" ]; then
            leader=$pid
        fi
    done
    [ -z "$leader" ] || break
    sleep 0.1
done
[ -n "$leader" ] || fail "no container PID 1 under systemd-nspawn"

inside() {
    nsenter --target "$leader" --mount --uts --ipc --net --pid --root --wd -- \
        /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}
# Runs the command until it succeeds, at most limit seconds.
wait_for() {
    local what=$1 limit=$2
    shift 2
    local until=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || fail "$what: not within $limit s"
        sleep 0.2
    done
}
property() { inside systemctl show -p "$2" --value "$1"; }
journal() { inside journalctl --no-pager -o cat "$@"; }
has_line() { # text, line: whether text holds the line
    grep -qxF -- "$2" <<<"$1"
}
state_is() { # unit, words the status text starts with
    [[ "$(property "$1" StatusText)" == "$2"* ]]
}
lines_in_journal() { # unit, line: how often the unit's journal holds the line
    journal -u "$1" | grep -cxF -- "$2" || true
}
more_lines() { # unit, line, count: whether the journal holds the line more often
    [ "$(lines_in_journal "$1" "$2")" -gt "$3" ]
}
restarted() { # unit, main PID, restarts before
    local now
    now=$(property "$1" MainPID)
    [ "$(property "$1" NRestarts)" -gt "$3" ] && [ "$now" != "$2" ] && [ "$now" != 0 ]
}
running() {
    local state
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    [ "$state" = running ] || [ "$state" = degraded ]
}

wait_for "booting the container" 60 running
booted=$(date +%s%N)
echo "Container up in $(((booted - booting) / 1000000)) ms (systemd $(inside systemctl --version | head -n1 | cut -d' ' -f2))"
if inside sh -c 'test -e /bin/kill || test -e /usr/bin/kill'; then
    fail "the container has a kill program; the reload check would not mean anything"
fi

# Install, as an administrator would.
inside dpkg -i /mnt/check/marlek-smsd.deb >/dev/null
# --man=no: the minimal root has no man to look the unit's manual page up.
verify=$(inside systemd-analyze verify --man=no marlek-smsd.service marlek-smsd@second.service 2>&1) ||
    fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify says: $verify"
echo "Installed; systemd-analyze verify has nothing to say about either unit"

# The substitute gateway on the container's loopback.
inside systemd-run --quiet --unit=gateway /mnt/check/sender/usr/bin/smsgateway --port "$port" --counter 500 \
    --user user --password secret --key ABCDEFGHIJKLMNOP --log /var/tmp/records.log

# The first account, as the README sets it up: outbox and backup folder in
# the service's group, mode 2770; the README's result script.
inside sh -euc "
    install -d -m 2770 -g marlek-smsd /srv/sms/out /srv/sms/bak
    install -d -m 0750 -o marlek-smsd -g marlek-smsd /var/lib/marlek-smsd
    printf '%s\r\n' /srv/sms/out/ /srv/sms/bak/ 127.0.0.1 $port user secret ABCDEFGHIJKLMNOP \
        > /var/lib/marlek-smsd/SMS_Key_Client.inf
    chown marlek-smsd:marlek-smsd /var/lib/marlek-smsd/SMS_Key_Client.inf
    chmod 0600 /var/lib/marlek-smsd/SMS_Key_Client.inf
    install -d /usr/local/lib/marlek-smsd /etc/systemd/system/marlek-smsd.service.d
    cat > /usr/local/lib/marlek-smsd/on-result.sh <<'EOF'
#!/bin/sh
# on-result.sh OUTCOME BACKUP-FILE OUTBOX-NAME RESULT COUNTER
csv=\"\$HOME/sms-results.csv\"
field() { printf '\"%s\"' \"\$(printf '%s' \"\$1\" | sed 's/\"/\"\"/g')\"; }
echo \"\$(date -u +%FT%TZ),\$1,\$(field \"\$2\"),\$(field \"\$3\"),\$(field \"\$4\"),\$(field \"\$5\")\" >> \"\$csv\"
EOF
    chmod 0755 /usr/local/lib/marlek-smsd/on-result.sh
    printf '%s\n' '[Service]' 'ExecStart=' \
        'ExecStart=/usr/bin/marlek-smsd --workdir /var/lib/marlek-smsd --on-result /usr/local/lib/marlek-smsd/on-result.sh' \
        > /etc/systemd/system/marlek-smsd.service.d/on-result.conf
    systemctl daemon-reload
"

# Ready (systemctl start returns once READY=1 came), and holding CAP_LEASE.
started=$(date +%s%N)
inside systemctl start marlek-smsd
echo "marlek-smsd ready in $((($(date +%s%N) - started) / 1000000)) ms; status: $(property marlek-smsd StatusText)"
pid=$(property marlek-smsd MainPID)
caps=$(inside sh -c "grep '^CapAmb' /proc/$pid/status")
[[ "$caps" == *0000000010000000 ]] || fail "the service does not hold CAP_LEASE alone: $caps"
wait_for "logging in" 20 state_is marlek-smsd "Logged in"

# A message written by root (another user's file: the lease needs CAP_LEASE).
# The time from the rename into the outbox to the gateway's record of it.
drop() { # outbox, name, text: prints the milliseconds to the gateway
    inside bash -euc "
        printf '%s\r\n' +391234567 Root '$3' > '$1/$2.tmp'
        mv '$1/$2.tmp' '$1/$2.sms'
        dropped=\$(date +%s%3N)
        for _ in \$(seq 200); do
            record=\$(grep -F \"\$(printf '\t')$3\$(printf '\t')\" /var/tmp/records.log || true)
            [ -z \"\$record\" ] || break
            sleep 0.05
        done
        [ -n \"\$record\" ] || { echo 'no record at the gateway' >&2; exit 1; }
        echo \$((\$(date -d \"\$(cut -f1 <<<\"\$record\")\" +%s%3N) - dropped))
    "
}
took=$(drop /srv/sms/out first "written by root")
echo "Drop to gateway: $took ms (poll $poll_ms ms)"
# One poll, and 100 ms for the tick's own work and the loopback.
[ "$took" -le $((poll_ms + 100)) ] || fail "the message took $took ms to the gateway, more than one poll"
wait_for "the result script's line" 20 inside grep -q ',accepted,' /var/lib/marlek-smsd/sms-results.csv
log=$(journal -u marlek-smsd)
has_line "$log" "Transaction Success..." || fail "no Transaction Success in the journal"
! grep -q '^No read lease' <<<"$log" || fail "the lease was refused: $(grep '^No read lease' <<<"$log")"
echo "Result script wrote: $(inside cat /var/lib/marlek-smsd/sms-results.csv)"
wait_for "the status to show the counter" 20 state_is marlek-smsd "Logged in to 127.0.0.1:$port, 0 files queued, counter 00000499"
echo "StatusText: $(property marlek-smsd StatusText)"

# Reload as shipped; a bad file is an error (priority err), the old settings stay.
before=$(lines_in_journal marlek-smsd "Settings read again")
inside systemctl reload marlek-smsd
wait_for "the reload to read the settings" 20 more_lines marlek-smsd "Settings read again" "$before"
inside sh -c "cp -p /var/lib/marlek-smsd/SMS_Key_Client.inf /var/tmp/settings
    printf 'short\r\n' > /var/lib/marlek-smsd/SMS_Key_Client.inf"
bad="Error: SMS_Key_Client.inf: List index out of bounds (1); the settings in use are kept"
inside systemctl reload marlek-smsd
wait_for "the reload's error" 20 more_lines marlek-smsd "$bad" 0
inside sh -c "cat /var/tmp/settings > /var/lib/marlek-smsd/SMS_Key_Client.inf"
echo "Reload: systemctl reload works without procps ($(property marlek-smsd ExecReload | grep -o 'argv\[\][^;]*'))"

# Warnings: the gateway goes away and comes back.
inside systemctl stop gateway
wait_for "Socket Disconnect" 20 state_is marlek-smsd "Disconnected"
echo "StatusText with the gateway gone: $(property marlek-smsd StatusText)"
inside systemd-run --quiet --unit=gateway2 /mnt/check/sender/usr/bin/smsgateway --port "$port" --counter 400 \
    --user user --password secret --key ABCDEFGHIJKLMNOP --log /var/tmp/records.log
wait_for "logging in again" 90 state_is marlek-smsd "Logged in"
warnings=$(journal -u marlek-smsd -p warning)
errors=$(journal -u marlek-smsd -p err)
has_line "$warnings" "Socket Disconnect" || fail "journalctl -p warning lacks Socket Disconnect: $warnings"
has_line "$errors" "$bad" || fail "journalctl -p err lacks the error: $errors"
! has_line "$warnings" "Connected" || fail "journalctl -p warning shows Connected"
! grep -q '^Socket' <<<"$errors" || fail "journalctl -p err shows warnings: $errors"
echo "journalctl -u marlek-smsd -p warning:"
sed 's/^/    /' <<<"$warnings"

# The watchdog, at 3 s: a healthy service is left alone, a stopped one restarted.
inside sh -euc "
    mkdir -p /run/systemd/system/marlek-smsd.service.d
    printf '[Service]\nWatchdogSec=3s\n' > /run/systemd/system/marlek-smsd.service.d/watchdog.conf
    systemctl daemon-reload
    systemctl restart marlek-smsd
"
pid=$(property marlek-smsd MainPID)
restarts=$(property marlek-smsd NRestarts)
sleep 10
[ "$(property marlek-smsd MainPID)" = "$pid" ] && [ "$(property marlek-smsd NRestarts)" = "$restarts" ] ||
    fail "the healthy service was restarted under WatchdogSec=3s"
stopped=$(date +%s%N)
inside bash -c "kill -STOP $pid"
wait_for "the watchdog restart" 60 restarted marlek-smsd "$pid" "$restarts"
took=$((($(date +%s%N) - stopped) / 1000000))
timeout=$(journal -u marlek-smsd | grep -c 'Watchdog timeout' || true)
[ "$timeout" -ge 1 ] || fail "no watchdog timeout in the journal"
echo "Watchdog: left alone for 10 s while healthy; restarted $took ms after SIGSTOP (RestartSec=5s)"
inside sh -c "rm /run/systemd/system/marlek-smsd.service.d/watchdog.conf && systemctl daemon-reload"
wait_for "the restarted service to log in" 30 state_is marlek-smsd "Logged in"

# A second account: its own folder, outbox under /home, backup folder on a
# tmpfs (the move becomes a copy across file systems).
inside sh -euc "
    install -d -m 2770 -g marlek-smsd /home/sms/out /srv/second-bak
    mount -t tmpfs -o mode=2770,gid=\$(getent group marlek-smsd | cut -d: -f3) tmpfs /srv/second-bak
    install -d -m 0750 -o marlek-smsd -g marlek-smsd /var/lib/marlek-smsd/second
    printf '%s\r\n' /home/sms/out/ /srv/second-bak/ 127.0.0.1 $port user secret ABCDEFGHIJKLMNOP \
        > /var/lib/marlek-smsd/second/SMS_Key_Client.inf
    chown marlek-smsd:marlek-smsd /var/lib/marlek-smsd/second/SMS_Key_Client.inf
    chmod 0600 /var/lib/marlek-smsd/second/SMS_Key_Client.inf
    systemctl start marlek-smsd@second
"
wait_for "the second account to log in" 20 state_is marlek-smsd@second "Logged in"
took=$(drop /home/sms/out second "second account")
backups=$(inside sh -c 'ls /srv/second-bak; ls /home/sms/out')
[[ "$backups" == SmsFile_*.sms ]] || fail "second account: backup folder and outbox hold: $backups"
has_line "$(journal -u marlek-smsd@second)" "Transaction Success..." || fail "second account: no Transaction Success"
inside test -e /var/lib/marlek-smsd/second/SmsSender.journal || fail "second account: no send journal of its own"
echo "marlek-smsd@second: its message reached the gateway in $took ms, backup $backups on a tmpfs;" \
    "status: $(property marlek-smsd@second StatusText)"
inside systemctl is-active --quiet marlek-smsd marlek-smsd@second || fail "an account stopped"

# The exposure, as systemd inside rates the units it runs.
security=$(inside systemd-analyze security --no-pager marlek-smsd.service marlek-smsd@second.service)
echo "systemd-analyze security, inside:"
grep '^→ Overall exposure' <<<"$security" | sed 's/^/    /'
inside systemd-analyze security --threshold=20 marlek-smsd.service marlek-smsd@second.service >/dev/null ||
    fail "an exposure above 2.0"

# The HTTP front, as docs/http.md sets it up: started by its socket, a
# message over HTTP reaching the gateway through marlek-smsd, and the
# password out of its reach.
inside dpkg -i /mnt/check/marlek-sms-tools.deb /mnt/check/marlek-sms-http.deb >/dev/null
token=$(inside marlek-sms token add check)
inside systemctl start marlek-sms-http.socket
[ "$(property marlek-sms-http.service ActiveState)" = inactive ] || fail "marlek-sms-http started before its socket was used"
code=$(inside curl -s -o /var/tmp/http-answer -w '%{http_code}' -H "Authorization: Bearer $token" \
    -H 'Idempotency-Key: check-1' -H 'Content-Type: application/json' \
    --data '{"to":"+391234567","from":"Http","text":"sent over http"}' http://127.0.0.1:8466/v1/messages)
[ "$code" = 202 ] || fail "POST /v1/messages answered $code: $(inside cat /var/tmp/http-answer)"
[ "$(property marlek-sms-http.service ActiveState)" = active ] || fail "the socket did not start marlek-sms-http"
wait_for "the HTTP message at the gateway" 20 inside grep -qF "$(printf '\t')sent over http$(printf '\t')" /var/tmp/records.log
id=$(inside sh -c "sed 's/.*\"id\": *\"\([^\"]*\)\".*/\1/' /var/tmp/http-answer")
wait_for "the HTTP message's fate" 20 inside sh -c \
    "curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:8466/v1/messages/$id | grep -q '\"accepted\"'"
if inside runuser -u marlek-sms-http -- cat /var/lib/marlek-smsd/SMS_Key_Client.inf >/dev/null 2>&1; then
    fail "the front's user can read SMS_Key_Client.inf"
fi
echo "marlek-sms-http: started by its socket; $id reached the gateway and was accepted; its user cannot read the settings"
inside systemd-analyze security --threshold=20 marlek-sms-http.service >/dev/null || fail "marlek-sms-http's exposure is above 2.0"

# Stopping: SIGTERM, exit status 0.
inside systemctl stop marlek-smsd marlek-smsd@second marlek-sms-http.socket marlek-sms-http
for unit in marlek-smsd marlek-smsd@second marlek-sms-http; do
    [ "$(property $unit Result)" = success ] || fail "$unit stopped with $(property $unit Result)"
done
echo "systemd-check.sh: all checks passed"
