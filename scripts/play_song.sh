#!/usr/bin/env bash
# Plays a song through velmora_play, the bundled song when none is given:
#   scripts/play_song.sh <builddir> [SONG] [velmora_play options, e.g. --fullscreen]
# The bundled song is written to <builddir>/stage/song.wav, or to
# $VELMORA_STAGE_DIR when that is set; its stage goes to velmora_play's cache.
set -euo pipefail

usage="[SONG] [velmora_play options]"
programs=(make_song velmora velmora_play)
# shellcheck source=scripts/play_start.sh
source "$(dirname "$0")/play_start.sh"

if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  song=$1
  shift
else
  make_bundled_song
fi

# The game looks for data/p.bmp in its working directory first.
song=$(realpath -- "$song" 2>/dev/null || echo "$song")
cd "$root"
echo "play: starting velmora_play (arrow keys or WASD steer, Space bombs, Escape quits)"
exec "$build/velmora_play" "$@" -- "$song"
