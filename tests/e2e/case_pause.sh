# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# P pauses a run: the PAUSED label shows, the screen and the ticks stand still;
# P again resumes with the ticks moving on; Escape quits also while paused.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song

make_stage 20

start_x
log=$work/sync.log
export VELMORA_SYNC_LOG=$log
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window
unset VELMORA_SYNC_LOG
wait_window
wait_screen title 15 "${title_screen[@]}"
take_keyboard

# P on the title does nothing: there is no run to pause.
key_tap p
sleep 0.3
shot
"$probe" "$work/shot.png" --sheet "$sheet" "!$pause_label" >/dev/null || fail "P paused the title screen"

press_until start Return 10 "!$title_label" "$first_counter_label"
wait_screen play 20 "$tracers_on_screen"
press_until paused p 5 "$pause_label"

# Paused: the screen stands still.
shot && cp "$work/shot.png" "$work/paused1.png"
sleep 1
shot && cp "$work/shot.png" "$work/paused2.png"
cmp -s "$work/paused1.png" "$work/paused2.png" \
  || [ "$(compare -metric AE "$work/paused1.png" "$work/paused2.png" null: 2>&1)" = 0 ] \
  || fail "the paused screen changed within a second"

press_until resumed p 5 "!$pause_label"
sleep 1
press_until paused_again p 5 "$pause_label"
key_tap Escape
wait_exit 10 0

# The log: ticks stood still while paused (state 2) and moved on after.
awk '$3 == 2 { if (prev == 2 && $5 != tick) bad = 1; tick = $5; paused++ }
     $3 == 1 && paused && !resumed { resumed = 1; from = $5 }
     $3 == 1 && resumed { last = $5 }
     { prev = $3 }
     END { if (!paused) { print "no paused frames in the log"; exit 1 }
           if (bad) { print "the ticks moved while paused"; exit 1 }
           if (last - from < 30) { print "the ticks moved only " last - from " after resuming"; exit 1 } }' "$log" \
  >"$work/pause_log.out" || fail "$(cat "$work/pause_log.out")"
