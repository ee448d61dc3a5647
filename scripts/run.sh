#!/usr/bin/env bash
# Sets the machine up, builds, and runs vantor with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec build/src/cli/vantor "$@"
