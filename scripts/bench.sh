#!/usr/bin/env bash
# Runs every benchmark the build produced, then the frame-pacing drift check
# the playback layer's peak memory on a long song and when the preview sounds:
#   scripts/bench.sh <builddir> [pacing seconds, default 60]
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <builddir> [pacing seconds]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
pacing_seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)

# The game core opens audio and video during static construction.
export SDL_VIDEODRIVER=${SDL_VIDEODRIVER:-dummy}
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
cd "$root"

mapfile -t benches < <(find "$build" -path "$build/CMakeFiles" -prune -o -path '*/_deps' -prune -o \
  -type f -executable -name '*_bench' -print | sort)
if [ ${#benches[@]} -eq 0 ]; then
  echo "bench: no benchmark executables (*_bench) under $build" >&2
  exit 1
fi

status=0
for bench in "${benches[@]}"; do
  echo
  echo "== ${bench#"$build"/}"
  "$bench" || { echo "bench: ${bench#"$build"/} failed" >&2; status=1; }
done

pacing=$build/bench/frame_pacing_drift
if [ -x "$pacing" ]; then
  echo
  echo "== ${pacing#"$build"/} (${pacing_seconds} s)"
  "$pacing" "$pacing_seconds" || status=1
fi

playback=$build/bench/playback_memory
if [ -x "$playback" ]; then
  echo
  echo "== ${playback#"$build"/} (a 10-minute FLAC at 44100 Hz, then at 48000 Hz)"
  "$playback" 10 44100 || status=1
  "$playback" 10 48000 || status=1
fi
preview=$build/bench/preview_latency
if [ -x "$preview" ]; then
  echo
  echo "== ${preview#"$build"/} (a 3-minute WAV, then MP3)"
  "$preview" || status=1
fi
exit $status
