#!/usr/bin/env bash
# Runs the fault suite at full size: the kill test kills the saving program
# 500 times (the regular run: 60), then every other fault test once.
#
#   scripts/faults.sh [BUILD_DIR]     default: build/release
#
# Builds fault_tests in BUILD_DIR if needed (configuring a Release build there
# first if it has none). KM40R_FAULT_KILL_ROUNDS sets another count,
# KM40R_FAULT_KILL_SEED repeats a run (each run prints its seed when it
# fails). Exits non-zero when a test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/release}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export KM40R_FAULT_KILL_ROUNDS=${KM40R_FAULT_KILL_ROUNDS:-500}

if [ ! -f "$build/build.ninja" ]; then
  "$root/scripts/setup.sh" install
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" --target fault_tests --parallel "$(nproc)"
exec "$build/tests/reliability/faults/fault_tests"
