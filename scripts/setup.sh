#!/usr/bin/env bash
# Installs what building, running and testing need, on Debian 12 as root.
# Only asks apt when something is missing, so repeated runs are quick.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libsystemd-dev systemd
    fonts-dejavu-core xvfb xauth
    # the metrics test: a parser of the format and a real node_exporter
    python3-prometheus-client prometheus-node-exporter
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
