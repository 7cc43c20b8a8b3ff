#!/usr/bin/env bash
# Installs what building, running and testing need, on Debian 12 as root.
# Every package the scripts need is listed here, in groups; a script names
# the groups it needs (and may add packages by name):
#
#   scripts/setup.sh                  what building needs
#   scripts/setup.sh run check        ... and what the named groups need
#
# Asks apt only when something is missing, then once, for all of it, so
# repeated runs are quick.
set -euo pipefail

# What building the program and its tests needs; always installed. dbus-daemon
# gives the desktop notices' test a private session bus (dbus-run-session).
build=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libsystemd-dev systemd libmicrohttpd-dev python3
    fonts-dejavu-core
    dbus-daemon
)
# The program on a display of its own (scripts/run.sh without a display).
run=(xvfb xauth)
# What the ci build's own checks need when it is configured: the format
# check and the desktop entry's.
ci=(clang-format desktop-file-utils)
# What the other checks of scripts/test.sh add: the clang build with the
# sanitizers and the fuzzers (linked by lld, which is quicker at it), and for the metrics test a parser of the
# format and a real node_exporter.
check=(clang lld libclang-rt-14-dev python3-prometheus-client prometheus-node-exporter)
# The Debian packages and their checks (scripts/package.sh).
package=(dpkg-dev file binutils lintian man-db appstream desktop-file-utils)
# The benchmarks (scripts/bench.sh).
bench=(libbenchmark-dev xdotool x11-utils time xvfb wrk apache2-utils curl)

packages=("${build[@]}")
for arg in "$@"; do
    case $arg in
    build | run | ci | check | package | bench)
        group="$arg[@]"
        packages+=("${!group}")
        ;;
    *) packages+=("$arg") ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    [[ " ${missing[*]} " == *" $p "* ]] && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    # Waits for another apt run rather than failing at once. The package
    # lists are fetched once an hour at most (scripts/test.sh installs in
    # two runs): the stamp is touched only after this script's own fetch.
    stamp=/var/cache/marlek-sms-apt-updated
    if [ -z "$(find "$stamp" -mmin -60 2>/dev/null)" ] || ! compgen -G '/var/lib/apt/lists/*Packages*' >/dev/null; then
        $SUDO apt-get -o DPkg::Lock::Timeout=600 update
        $SUDO touch "$stamp"
    fi
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
        "${missing[@]}"
fi
