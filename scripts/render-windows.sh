#!/usr/bin/env bash
# Renders every window of the program to a PNG file in docs/ (or the directory
# given as the first argument), headless, for the documentation.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
out=${1:-$top/docs}

build=${BUILD_DIR:-build/render}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target renderwindows
# On a private session bus of its own, where there is one, for the notice.
session=()
command -v dbus-run-session >/dev/null && session=(dbus-run-session --)
QT_QPA_PLATFORM=offscreen "${session[@]}" "$build/tests/renderwindows" "$out"
