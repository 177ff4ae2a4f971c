# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# The ticks follow the music heard: a run with a 2-second stall of the frame
# loop is back within one frame of its music within half a second, with every
# missed update run; -offset=100 runs every update, the first events' too,
# 100 ms (6 frames) later in the music; -effects=100 moves nothing. Read from
# the game's sync log by sync_report.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song
report=$build/tests/sync_report
[ -x "$report" ] || fail "$report has not been built"

make_stage 12

start_x
# Xvfb resets when its last client leaves, and a game started during the
# reset cannot connect: one client stays for the whole case.
xdotool sleep 600 >/dev/null 2>&1 &
x_holder=$!

# play_logged NAME SECONDS OPTIONS...: one run of SECONDS with the sync log on.
play_logged() {
  local name=$1 seconds=$2
  shift 2
  export VELMORA_SYNC_LOG=$work/$name.log
  start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window "$@"
  unset VELMORA_SYNC_LOG VELMORA_SYNC_STALL
  wait_window
  wait_screen "$name-title" 15 "$title_label"
  take_keyboard
  press_until "$name-start" Return 10 "!$title_label"
  sleep "$seconds"
  key_tap Escape
  wait_exit 10 0
  local offset=0 option
  for option in "$@"; do
    case $option in -offset=*) offset=${option#-offset=} ;; esac
  done
  "$report" "$work/$name.log" --offset-ms "$offset" >"$work/$name.report" 2>&1 || fail "sync_report on the $name run: $(cat "$work/$name.report")"
  sed "s/^/   $name: /" "$work/$name.report"
}

field() { awk -v key="$2" '{ for (i = 1; i < NF; ++i) if ($i == key) { print $(i + 1); exit } }' "$work/$1.report"; }

# A stall of 2 s once tick 120 has run, two seconds into the music.
export VELMORA_SYNC_STALL=120:2000
play_logged stall 5
grep -q '^stall 1:' "$work/stall.report" || fail "no stall in the log of the stalled run"
[ "$(grep -c '^stall' "$work/stall.report")" -eq 1 ] || note "the loaded machine added stalls of its own"
caught=$(awk '/^stall 1:/ { for (i = 1; i < NF; ++i) if ($i == "caught_up_updates") print $(i + 1) }' "$work/stall.report")
back=$(awk '/^stall 1:/ { for (i = 1; i < NF; ++i) if ($i == "back_within_frame_ms") print $(i + 1) }' "$work/stall.report")
[ "$caught" -ge 100 ] || fail "the frame after the stall ran $caught updates, not the 2 seconds' worth (about 120)"
awk -v b="$back" 'BEGIN { exit !(b >= 0 && b < 500) }' \
  || fail "the ticks were not back within one frame of the music within 500 ms of the stall (took $back ms)"

play_logged plain 2
play_logged offset 2 -offset=100
# Every update, the first event's with them, comes later against the music.
moved=$(awk -v a="$(field plain median_tick_minus_music_ms)" -v b="$(field offset median_tick_minus_music_ms)" \
  'BEGIN { printf "%.0f", (a - b) / (1000 / 60) }')
note "-offset=100 moved the updates by $moved frames of music"
[ "$moved" -ge 5 ] && [ "$moved" -le 7 ] || fail "-offset=100 moved the updates by $moved frames, not 6"
# The sound effects ride on the mixer's own channels: the music clock, and
# the updates with it, stay where they were.
play_logged effects 2 -effects=100
moved=$(awk -v a="$(field plain median_tick_minus_music_ms)" -v b="$(field effects median_tick_minus_music_ms)" \
  'BEGIN { printf "%.0f", (a - b) / (1000 / 60) }')
note "-effects=100 moved the updates by $moved frames of music"
[ "$moved" -ge -1 ] && [ "$moved" -le 1 ] || fail "-effects=100 moved the updates by $moved frames"
kill "$x_holder" 2>/dev/null
