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
QT_QPA_PLATFORM=offscreen "$build/tests/renderwindows" "$out"
