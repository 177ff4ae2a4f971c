# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# Not a test: the measurement scripts/sync_measure.sh runs. One run over a
# song of SYNC_SECONDS (300 by default) with two 2-second stalls of the frame
# loop, at a third and two thirds of the song; prints sync_report's figures.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song
report=$build/tests/sync_report
[ -x "$report" ] || fail "$report has not been built"
seconds=${SYNC_SECONDS:-300}

make_stage "$seconds"

start_x
export VELMORA_SYNC_LOG=$work/measure.log
export VELMORA_SYNC_STALL=$((seconds * 60 / 3)):2000,$((seconds * 120 / 3)):2000
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window
unset VELMORA_SYNC_LOG VELMORA_SYNC_STALL
wait_window
wait_screen title 15 "$title_label"
take_keyboard
press_until start Return 10 "!$title_label"
sleep $((seconds + 5))
key_tap Escape
wait_exit 10 0
"$report" "$work/measure.log" >"$work/measure.report" 2>&1 || fail "sync_report: $(cat "$work/measure.report")"
cat "$work/measure.report"
[ -z "${SYNC_KEEP_LOG:-}" ] || cp "$work/measure.log" "$SYNC_KEEP_LOG"
