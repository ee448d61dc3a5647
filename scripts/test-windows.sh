#!/usr/bin/env bash
# Builds Vantor for Windows (scripts/build-windows.sh) and runs the unit tests
# of platform, crypto, ssr, catalogue, service and diag under Wine, then the
# black-box tests of vantor.exe in tests/wine against real peers on
# loopback, all in one throw-away Wine prefix, without a display. Fails when
# any test fails or a test does not finish in time.
#
# tests/wine also needs the Linux build's ssr-test-server: it is taken from
# $LINUX_BUILD_DIR (default build/), and built there when missing.
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
echo "test-windows: unit tests done in $(($(date +%s) - start)) s"

absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
LINUX_BUILD_DIR=${LINUX_BUILD_DIR:-build}
SSR_TEST_SERVER=$(absolute "$LINUX_BUILD_DIR")/tests/peers/ssr_server/ssr-test-server
if [ ! -x "$SSR_TEST_SERVER" ]; then
  [ -f "$LINUX_BUILD_DIR/build.ninja" ] || cmake -S . -B "$LINUX_BUILD_DIR" -G Ninja >/dev/null
  cmake --build "$LINUX_BUILD_DIR" -j "$(nproc)" --target ssr-test-server
fi
VANTOR_EXE=$(absolute "$BUILD_DIR")/src/cli/vantor.exe
wine_start=$(date +%s)
(cd tests/wine && VANTOR_EXE="$VANTOR_EXE" SSR_TEST_SERVER="$SSR_TEST_SERVER" \
  PYTHONDONTWRITEBYTECODE=1 timeout 1200 python3 -m unittest discover -v -s . -p 'test_*.py')
echo "test-windows: Wine tests of vantor.exe done in $(($(date +%s) - wine_start)) s"
