#!/usr/bin/env bash
# Opens velmora_play's library screen on the bundled song, listed and
# highlighted, or plays SONG there (every run ends on the screen's result):
#   scripts/play_song.sh <builddir> [SONG] [velmora_play options, e.g. --fullscreen]
set -euo pipefail

usage="[SONG] [velmora_play options]"
programs=(velmora velmora_play velmora_library)
# shellcheck source=scripts/play_start.sh
source "$(dirname "$0")/play_start.sh"

if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  song=$(realpath -- "$1" 2>/dev/null || echo "$1")
  shift
  show=()
else
  # The build renders it beside the programs, where the screen lists it from.
  song=$build/packaging/song.ogg
  if [ ! -f "$song" ]; then
    echo "play: $song is missing; build the project first" >&2
    exit 1
  fi
  show=(--show)
fi

# The game looks for data/p.bmp in its working directory first.
cd "$root"
echo "play: starting velmora_play (arrow keys or WASD steer, Space bombs, Escape goes back)"
exec "$build/velmora_play" "${show[@]}" "$@" -- "$song"
