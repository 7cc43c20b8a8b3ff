#!/usr/bin/env bash
# Builds the Debian package of the sender (and its substitute gateway) in a
# build directory of its own and prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh dpkg-dev

build=${BUILD_DIR:-build/package}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMS_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB)
ls "$build"/marlek-sms-sender_*.deb
