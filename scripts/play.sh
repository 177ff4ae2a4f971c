#!/usr/bin/env bash
# Makes the bundled stage and plays it in a window:
#   scripts/play.sh <builddir> [extra velmora options, e.g. -fullscreen]
# The song and its pattern file are written to <builddir>/stage/, or to
# $VELMORA_STAGE_DIR when that is set.
set -euo pipefail

usage="[velmora options]"
programs=(make_song velmora_bc velmora)
# shellcheck source=scripts/play_start.sh
source "$(dirname "$0")/play_start.sh"

make_bundled_song
pattern=$stage/song.pat
echo "play: converting the song into bullet patterns"
"$build/velmora_bc" "$song" "$pattern"

display_problem=
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  display_problem="DISPLAY is not set"
elif [ -n "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && command -v xdpyinfo >/dev/null 2>&1 \
    && ! xdpyinfo >/dev/null 2>&1; then
  display_problem="cannot open the X display $DISPLAY"
fi
if [ -n "$display_problem" ]; then
  echo "play: no display to open the game window on ($display_problem); the stage is ready: $build/velmora $song $pattern -window" >&2
  exit 1
fi

# The game looks for data/p.bmp in its working directory first.
cd "$root"
echo "play: starting velmora (arrow keys or WASD steer, Space bombs, Escape quits)"
if [ -z "${SDL_AUDIODRIVER:-}" ]; then
  # A machine without a sound device (a server, a container) still gets to
  # play: the game refuses to start without one, so try again silently.
  errors=$(mktemp)
  status=0
  "$build/velmora" "$song" "$pattern" -window "$@" 2>"$errors" || status=$?
  if [ "$status" -ne 0 ] && grep -q 'audio output device' "$errors"; then
    rm -f "$errors"
    echo "play: no sound device here; playing without sound" >&2
    SDL_AUDIODRIVER=dummy exec "$build/velmora" "$song" "$pattern" -window "$@"
  fi
  grep -v '^ALSA lib' "$errors" >&2 || true
  rm -f "$errors"
  exit "$status"
fi
exec "$build/velmora" "$song" "$pattern" -window "$@"
