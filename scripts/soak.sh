#!/usr/bin/env bash
# Soak: the game's frame run back to back with all five pools of 1024 kept
# full, for MINUTES (default 10), sampling resident memory every 10 s. Passes
# when every pool stayed full and memory stayed level after the first minute.
# Not part of the test command; anyone can run it:
#   scripts/soak.sh [MINUTES] [BUILD]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
minutes=${1:-10}
build=${2:-build}

scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=ON >/dev/null
cmake --build "$build" --target soak_frames -j"$(nproc)"

# The dummy drivers keep it off the screen and the sound card; the sheet is
# found from the source root.
SDL_VIDEODRIVER=${SDL_VIDEODRIVER:-dummy} SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} \
  exec "$build/bench/soak_frames" "$((minutes * 60))" 10
