#!/usr/bin/env bash
# Builds the fuzz targets with clang (in BUILD, default build-fuzz) and runs
# each one, all at once, for SECONDS (default 30) from the seed corpus in
# fuzz/corpus. New inputs go to BUILD/fuzz/corpus/<target>; a crash leaves its
# input in BUILD/fuzz/findings/ and makes this script fail.
#   scripts/fuzz.sh [SECONDS] [BUILD] [extra libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${2:-build-fuzz}
shift $(( $# < 2 ? $# : 2 ))

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz -j"$(nproc)"

findings=$build/fuzz/findings
mkdir -p "$findings"
pids=()
for target in pattern_loader decode converter replay_reader replay_check search submission envelope; do
  corpus=$build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=$build/fuzz/$target.log
  # The decoders behind the layer talk on standard error about every broken
  # frame; libFuzzer keeps its own reports on a copy of it.
  "$build/fuzz/${target}_fuzz" "$corpus" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=60 -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "$@" >"$log" 2>&1 &
  pids+=($!)
done

status=0
i=0
for target in pattern_loader decode converter replay_reader replay_check search submission envelope; do
  if wait "${pids[$i]}"; then
    echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$build/fuzz/$target.log" | tail -1)"
  else
    status=1
    echo "fuzz $target: FAILED, see $build/fuzz/$target.log and $findings/" >&2
    grep -E 'ERROR|SUMMARY|==[0-9]+==|^(pattern loader|decode|converter|replay reader|replay check|search|submission|envelope):' "$build/fuzz/$target.log" | head -20 >&2
  fi
  i=$((i + 1))
done
exit $status
