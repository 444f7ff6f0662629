#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, then runs each for SECONDS
# (default 60; 0: until stopped) on its corpus, one after the other.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]        e.g. scripts/fuzz.sh 600 fuzz_ini
#
# The seeds in fuzz/corpus/TARGET (and, for fuzz_catalogue, the Jet files in
# tests/data/jet) are only read. Inputs that reach new code go to a scratch
# corpus, build/fuzz/corpus/TARGET, or KM40R_FUZZ_CORPUS/TARGET when that is
# set; a failing input goes to build/fuzz/artifacts/, and each run's output to
# build/fuzz/logs/TARGET.log. Exits non-zero when any target fails: a crash,
# a failed check, a sanitizer report, a leak or a timeout.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
all=(fuzz_ini fuzz_integer fuzz_outgoing fuzz_split fuzz_terminator fuzz_logs fuzz_catalogue)

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]]; then
  echo "usage: $0 [SECONDS] [TARGET...]   (targets: ${all[*]})" >&2
  exit 2
fi
shift $(( $# > 0 ? 1 : 0 ))
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi
for t in "${targets[@]}"; do
  if [[ " ${all[*]} " != *" $t "* ]]; then
    echo "unknown fuzz target: $t (targets: ${all[*]})" >&2
    exit 2
  fi
done

"$root/scripts/setup.sh" install
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKM40R_SANITIZE=address -DKM40R_FUZZ=ON
fi
cmake --build "$build" --target "${targets[@]}" --parallel "$(nproc)"

scratch=${KM40R_FUZZ_CORPUS:-$build/corpus}
mkdir -p "$build/artifacts" "$build/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  corpora=("$scratch/$t" "$root/fuzz/corpus/$t")
  if [ "$t" = fuzz_catalogue ]; then corpora+=("$root/tests/data/jet"); fi
  mkdir -p "$scratch/$t"
  log=$build/logs/$t.log
  # The first corpus folder receives the new inputs; the seeds stay as they are.
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "${corpora[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | tr -s '\t ' ' ' || true)
  echo "$t: $result ${summary:-(no summary)}"
  if [ "$result" = FAILED ]; then
    tail -n 40 "$log"
    echo "(whole output: $log)"
  fi
done
exit $status
