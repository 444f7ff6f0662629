#!/usr/bin/env bash
# Runs the churn suite of the TCP server link and prints its figures: DEVICES
# devices connected at once, and CYCLES connections that come and go at
# random against Timer2's ticks. The defaults, 1000 and 10000, are the sizes
# the regular test run uses; give larger ones to push further (both ends of
# every connection are descriptors of the test, so DEVICES needs twice as
# many descriptors under the hard limit).
#
#   scripts/churn.sh [BUILD_DIR [DEVICES [CYCLES]]]     default: build/release
#
# Builds churn_tests in BUILD_DIR if needed (configuring a Release build there
# first if it has none) and runs each test in a process of its own, as ctest
# does. KM40R_CHURN_SEED repeats a churn plan; the seed of each run is
# printed. In a sanitizer build, leaks are reported at the end of each test
# (detect_leaks=1). Exits non-zero when a test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/release}
export KM40R_CHURN_DEVICES=${2:-${KM40R_CHURN_DEVICES:-1000}}
export KM40R_CHURN_CYCLES=${3:-${KM40R_CHURN_CYCLES:-10000}}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

if [ ! -f "$build/build.ninja" ]; then
  "$root/scripts/setup.sh" install
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" --target churn_tests --parallel "$(nproc)"
tests="$build/tests/reliability/churn/churn_tests"

# Both ends of every device's connection are descriptors of the test.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

status=0
for name in ChurnManyDevices.AllListedServedAndGoneWithoutATrace \
            ChurnCycles.DevicesComeAndGoAtRandomAgainstTimer2; do
  echo "== $name"
  start=$(date +%s%N)
  if ! output=$("$tests" --gtest_filter="$name" 2>&1); then
    status=1
    echo "$output" | tail -n 60
  fi
  end=$(date +%s%N)
  echo "$output" | grep -E '^churn:|^\[ +(OK|FAILED) +\]' || true
  awk -v ns=$((end - start)) 'BEGIN { printf "process_s=%.2f\n", ns / 1e9 }'
done
exit $status
