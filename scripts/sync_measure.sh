#!/usr/bin/env bash
# Measures how closely the ticks follow the music over a whole song with two
# injected 2-second stalls, in a private Xvfb with the dummy audio driver:
#   scripts/sync_measure.sh BUILD [SECONDS]
# Prints, per stall, how long the catch-up took and the largest and
# 99th-percentile distance between tick time and music time after it.
# SYNC_KEEP_LOG=FILE keeps the game's frame-by-frame sync log.
set -euo pipefail
build=$(cd "${1:?usage: sync_measure.sh BUILD [SECONDS]}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$build" --target velmora velmora_bc make_song sync_report e2e_probe >/dev/null
SYNC_SECONDS=${2:-300} VELMORA_BUILD_DIR=$build VELMORA_SOURCE_DIR=$source_dir E2E_PROBE=$build/tests/e2e_probe \
  bash "$source_dir/tests/e2e/run_case.sh" sync_measure
