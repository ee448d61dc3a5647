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

# The Windows dependencies take long to build when their cache is cold, so
# they build in the background, at the lowest priority, while the Linux
# plain stage builds and tests; the Windows stage waits for them.
WINDOWS_DEPS_LOG=${WINDOWS_DEPS_LOG:-$(mktemp /tmp/vantor-windows-deps.XXXXXX.log)}
setsid nice -n 19 scripts/build-windows.sh --deps-only >"$WINDOWS_DEPS_LOG" 2>&1 &
windows_deps=$!
stop_windows_deps() {
  # A run that fails early leaves no dependency build behind.
  kill -- -"$windows_deps" 2>/dev/null || true
}
trap stop_windows_deps EXIT
echo "== Windows dependencies building in the background (log: $WINDOWS_DEPS_LOG)"
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

echo "== waiting for the Windows dependencies"
if ! wait "$windows_deps"; then
  tail -n 60 "$WINDOWS_DEPS_LOG" >&2
  echo "test: the Windows dependency build failed (log: $WINDOWS_DEPS_LOG)" >&2
  exit 1
fi
echo "== Windows stage"
LINUX_BUILD_DIR=build scripts/test-windows.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
BUILD_DIR=build-asan scripts/build.sh -DVANTOR_SANITIZE=address -DVANTOR_BENCH=OFF
run_suite build-asan

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
BUILD_DIR=build-tsan scripts/build.sh -DVANTOR_SANITIZE=thread -DVANTOR_BENCH=OFF
run_suite build-tsan -L threaded
