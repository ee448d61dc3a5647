#!/usr/bin/env bash
# Builds Vantor for Windows (scripts/build-windows.sh) and runs the unit tests
# of platform, crypto, ssr, catalogue, service and diag under Wine, in a
# throw-away Wine prefix, without a display. Fails when any test fails or a
# test does not finish in time.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-windows}
export BUILD_DIR
scripts/build-windows.sh

WINEPREFIX=$(mktemp -d /tmp/vantor-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

start=$(date +%s)
timeout 300 wineboot --init >/dev/null 2>&1 || { echo "test-windows: wineboot failed" >&2; exit 1; }
echo "test-windows: Wine prefix ready in $(($(date +%s) - start)) s"

# CTest runs each test in a process of its own under Wine (the toolchain
# file makes wine the programs' emulator), as it does on Linux.
timeout 2400 ctest --test-dir "$BUILD_DIR" -j "$(nproc)" --timeout 300 --output-on-failure --no-tests=error
