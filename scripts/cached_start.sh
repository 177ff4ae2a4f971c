#!/usr/bin/env bash
# Measures a cached start: the time from running `velmora_play SONG` to the
# game's window being on screen, for a song whose stage is already cached,
# in a private Xvfb (goal: under 0.3 s).
#   scripts/cached_start.sh <builddir> [runs, default 10]
# Prints each run's time and the median and largest of them in milliseconds,
# and for comparison the same for the game started directly on the cached
# stage with a silent driver (`velmora SONG STAGE -window`): the difference is
# what velmora_play adds (hashing the song, checking the stage, the library,
# finding out about the sound device). Beside each time, the CPU time the
# programs used to get there: on a machine busy with other work the times
# grow with the load average (printed at the start and the end), the CPU
# times hardly.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <builddir> [runs]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
runs=${2:-10}
for tool in Xvfb; do
  command -v "$tool" >/dev/null 2>&1 || { echo "cached_start: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
waiter=$build/bench/window_wait
[ -x "$waiter" ] || { echo "cached_start: $waiter has not been built (configure with -DVELMORA_BENCH=ON)" >&2; exit 1; }
for program in velmora velmora_play make_song; do
  [ -x "$build/$program" ] || { echo "cached_start: $build/$program has not been built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-start.XXXXXX")
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
# The bundled song's full length: hashing it is part of every start.
"$build/make_song" "$work/song.wav" >/dev/null
"$build/velmora_play" --prepare "$work/song.wav" >/dev/null 2>&1

Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY
# Whatever sound the machine has: finding that out is part of a start.
unset SDL_AUDIODRIVER

# time_to_window LOG COMMAND...: milliseconds from starting COMMAND to its
# window being mapped, as the X server tells it, and the CPU milliseconds it
# used by then; the program is ended after.
time_to_window() {
  local log=$1
  shift
  "$waiter" 'velmora v' "$@" 2>"$log" | tail -n1 || true
}

summary() {
  local sorted
  sorted=$(printf '%s\n' "$@" | sort -n)
  echo "median $(echo "$sorted" | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : int((a[NR/2] + a[NR/2+1]) / 2)}') ms, largest $(echo "$sorted" | tail -n1) ms"
}

stage=$(find "$XDG_CACHE_HOME/velmora/stages" -name '*-standard-v*.pat' | head -n1)
play_times=()
play_cpu=()
game_times=()
game_cpu=()
echo "load at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
# Interleaved, so a machine busy with other work weighs on both alike.
for run in $(seq "$runs"); do
  read -r t c < <(time_to_window "$work/out" "$build/velmora_play" "$work/song.wav")
  [ -n "${c:-}" ] || { echo "cached_start: velmora_play showed no window: $(cat "$work/out")" >&2; exit 1; }
  grep -q 'stage found in the cache' "$work/out" || { echo "cached_start: the stage was not taken from the cache" >&2; exit 1; }
  play_times+=("$t")
  play_cpu+=("$c")
  read -r g gc < <(SDL_AUDIODRIVER=dummy time_to_window "$work/game.out" "$build/velmora" "$work/song.wav" "$stage" -window)
  [ -n "${gc:-}" ] || { echo "cached_start: the game showed no window: $(cat "$work/game.out")" >&2; exit 1; }
  game_times+=("$g")
  game_cpu+=("$gc")
  echo "run $run: velmora_play $t ms (CPU $c ms), the game alone $g ms (CPU $gc ms)"
done
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cached start to window, velmora_play: $(summary "${play_times[@]}") over $runs runs (goal: under 300 ms)"
echo "                              its CPU: $(summary "${play_cpu[@]}")"
echo "the game alone on the same stage:     $(summary "${game_times[@]}")"
echo "                              its CPU: $(summary "${game_cpu[@]}")"
