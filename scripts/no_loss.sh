#!/usr/bin/env bash
# Runs the no-data-loss suite at full size: through each link (serial over a
# pseudo-terminal, TCP client, TCP server) a device streams 100 MB (10^8
# bytes) while the user keeps sending, and every byte is checked both ways.
#
#   scripts/no_loss.sh [BUILD_DIR]     default: build/release
#
# Builds no_loss_tests in BUILD_DIR if needed (configuring a Release build
# there first if it has none), then runs each link's test in a process of its
# own and prints per link the bytes, the seconds from the stream's first byte
# to its last logged, MB/s (10^6 bytes), the user's sends begun meanwhile,
# the traffic store's size and the process's peak resident memory.
# The device streams in 100 slices, the next slice once more of the program's
# bytes have come, so the stream is spread over the user's sends (MB/s is then
# the paced rate, not the link's limit; KM40R_NO_LOSS_SLICES=1 streams it all
# at once). KM40R_NO_LOSS_BYTES sets another size, KM40R_NO_LOSS_SEED repeats
# a run.
# Exits non-zero when a test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/release}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export KM40R_NO_LOSS_BYTES=${KM40R_NO_LOSS_BYTES:-100000000}
export KM40R_NO_LOSS_SLICES=${KM40R_NO_LOSS_SLICES:-100}

if [ ! -f "$build/build.ninja" ]; then
  "$root/scripts/setup.sh" install
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" --target no_loss_tests --parallel "$(nproc)"
tests="$build/tests/reliability/no_loss/no_loss_tests"

status=0
figures=()
for name in SerialLink TcpClientLink TcpServerLinkWithTwoDevicesAndTheSecondChosen; do
  echo "== NoLossTest.$name ($KM40R_NO_LOSS_BYTES bytes)"
  if output=$("$tests" --gtest_filter="NoLossTest.$name" 2>&1); then
    echo "$output" | grep -E '^\[ +OK +\]' || true
  else
    status=1
    echo "$output"
  fi
  line=$(echo "$output" | grep '^no_loss ' || true)
  if [ -z "$line" ]; then
    figures+=("$(printf '%-11s %s' "$name" "no figures (failed before the end)")")
    status=1
    continue
  fi
  figures+=("$(echo "$line" | awk '{
    for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    printf "%-11s %12s %9s %8s %6s %9s %12s", v["link"], v["bytes"], v["seconds"], v["mb_s"],
      v["sends_during"], v["store_mb"], v["peak_rss_mb"]
  }')")
done

echo
printf '%-11s %12s %9s %8s %6s %9s %12s\n' link bytes seconds MB/s sends store_MB peak_RSS_MB
printf '%s\n' "${figures[@]}"
exit $status
