#!/usr/bin/env bash
# Sets the machine up, checks the C++ formatting, then builds and runs every
# test three times over:
# a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer build, and a
# ThreadSanitizer build of the threaded service's tests. Any failure or
# sanitizer finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
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

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
BUILD_DIR=build-asan scripts/build.sh -DVANTOR_SANITIZE=address -DVANTOR_BENCH=OFF
run_suite build-asan

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
BUILD_DIR=build-tsan scripts/build.sh -DVANTOR_SANITIZE=thread -DVANTOR_BENCH=OFF
run_suite build-tsan -L threaded
