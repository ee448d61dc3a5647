#!/usr/bin/env bash
# Sets the machine up, checks the C++ formatting, then builds and runs every
# test three times over:
# a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer build, and a
# ThreadSanitizer build of the threaded service's tests. Any failure or
# sanitizer finding fails the run. After the plain stage comes the Windows
# stage: the Windows build's tests under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The Windows build takes long when the dependency cache is cold, so it
# runs in the background, at the lowest priority, while the Linux plain stage
# builds and tests (its tests leave the cores idle much of the time): first
# the dependencies, then the program and its tests. The Windows stage waits
# for it.
WINDOWS_BUILD_LOG=${WINDOWS_BUILD_LOG:-$(mktemp /tmp/vantor-windows-build.XXXXXX.log)}
setsid nice -n 19 scripts/build-windows.sh >"$WINDOWS_BUILD_LOG" 2>&1 &
windows_build=$!
stop_windows_build() {
  # A run that fails early leaves no Windows build behind.
  kill -- -"$windows_build" 2>/dev/null || true
}
trap stop_windows_build EXIT
echo "== Windows build in the background (log: $WINDOWS_BUILD_LOG)"
scripts/check-format.sh
scripts/check-layers.sh

run_suite() {
  local dir=$1; shift
  local label_args=("$@")
  echo "== tests in $dir"
  ctest --test-dir "$dir" --output-on-failure -j 2 "${label_args[@]}"
}

BUILD_DIR=build scripts/build.sh
run_suite build

echo "== waiting for the Windows build"
if ! wait "$windows_build"; then
  tail -n 60 "$WINDOWS_BUILD_LOG" >&2
  echo "test: the Windows build failed (log: $WINDOWS_BUILD_LOG)" >&2
  exit 1
fi
echo "== Windows stage"
LINUX_BUILD_DIR=build scripts/test-windows.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
BUILD_DIR=build-asan scripts/build.sh -DVANTOR_SANITIZE=address -DVANTOR_BENCH=OFF
run_suite build-asan

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Only the programs the "threaded" tests run are built for this stage.
BUILD_DIR=build-tsan scripts/build.sh -DVANTOR_SANITIZE=thread -DVANTOR_BENCH=OFF -DVANTOR_THREADED_TESTS_ONLY=ON
run_suite build-tsan -L threaded
