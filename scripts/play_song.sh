#!/usr/bin/env bash
# Plays a song through velmora_play, the bundled song when none is given:
#   scripts/play_song.sh <builddir> [SONG] [velmora_play options, e.g. --fullscreen]
# The bundled song is written to <builddir>/stage/song.wav, or to
# $VELMORA_STAGE_DIR when that is set; its stage goes to velmora_play's cache.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <builddir> [SONG] [velmora_play options]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)

for program in make_song velmora velmora_play; do
  if [ ! -x "$build/$program" ]; then
    echo "play: $build/$program is missing; build the project first" >&2
    exit 1
  fi
done

if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  song=$1
  shift
else
  stage=${VELMORA_STAGE_DIR:-$build/stage}
  mkdir -p "$stage"
  song=$(cd "$stage" && pwd)/song.wav
  "$build/make_song" "$song"
fi

# The game looks for data/p.bmp in its working directory first.
song=$(realpath -- "$song" 2>/dev/null || echo "$song")
cd "$root"
echo "play: starting velmora_play (arrow keys or WASD steer, Space bombs, Escape quits)"
exec "$build/velmora_play" "$@" -- "$song"
