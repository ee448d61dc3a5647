#!/usr/bin/env bash
# Builds Vantor for Windows (scripts/build-windows.sh) and runs the unit tests
# of platform, crypto, ssr, catalogue, service and diag under Wine, in a
# throw-away Wine prefix, without a display. Fails when any test fails or a
# test program does not finish. Closes with "N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-windows}
export BUILD_DIR
scripts/build-windows.sh

TESTS=(platform_unit_tests vantor_crypto_tests vantor_ssr_tests catalogue_tests service_unit_tests
  service_session_tests diag_tests)
PER_PROGRAM_TIMEOUT=${PER_PROGRAM_TIMEOUT:-900}

WINEPREFIX=$(mktemp -d /tmp/vantor-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
logs=$(mktemp -d /tmp/vantor-wine-logs.XXXXXX)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$logs"
}
trap cleanup EXIT

start=$(date +%s)
timeout 300 wineboot --init >/dev/null 2>&1 || { echo "test-windows: wineboot failed" >&2; exit 1; }
echo "test-windows: Wine prefix ready in $(($(date +%s) - start)) s"

passed=0
failed=0
broken=()
for name in "${TESTS[@]}"; do
  exe=$(find "$BUILD_DIR/tests" -name "$name.exe" -type f | head -n 1)
  if [ -z "$exe" ]; then
    echo "test-windows: $name.exe was not built" >&2
    broken+=("$name")
    continue
  fi
  log="$logs/$name.log"
  t0=$(date +%s)
  rc=0
  # From inside the build tree, as ctest runs the Linux programs.
  (cd "$(dirname "$exe")" && timeout "$PER_PROGRAM_TIMEOUT" wine "./$name.exe" --gtest_color=no) >"$log" 2>&1 || rc=$?
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}.*/\1/p' "$log" | tail -n 1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$log" | tail -n 1)
  p=${p:-0}
  f=${f:-0}
  passed=$((passed + p))
  failed=$((failed + f))
  echo "test-windows: $name: $p passed, $f failed, exit $rc, $(($(date +%s) - t0)) s"
  if [ "$rc" -ne 0 ]; then
    # What failed and why: the log without the passing tests' lines.
    grep -vE '^\[ +(RUN|OK) +\]' "$log" | tail -n 80 || true
    if [ "$f" -eq 0 ]; then
      # Ended without gtest's summary: a crash or the time limit.
      echo "test-windows: $name ended abnormally; its last lines:" >&2
      tail -n 20 "$log" >&2
      broken+=("$name")
    fi
  fi
done

echo "${passed} passed, ${failed} failed"
if [ "$failed" -ne 0 ] || [ "${#broken[@]}" -ne 0 ]; then
  [ "${#broken[@]}" -ne 0 ] && echo "test-windows: not run to the end: ${broken[*]}" >&2
  exit 1
fi
