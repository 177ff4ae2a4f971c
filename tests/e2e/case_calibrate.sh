# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora_play --calibrate in its window with real Space presses: uneven
# presses are refused and it asks again, steady ones are accepted and the
# offset saved beside the lines already in the settings file; a later
# velmora_play SONG plays it on the library screen, which reads the saved
# offset itself, --offset overrides the offset for one start without saving
# it, --volume 0 is saved and silences the music, and Escape leaves a
# calibration without saving.
#
# The presses answer the clicks as the program hears them (its trace,
# VELMORA_CALIBRATE_LOG, says when each click is heard), as a player answers
# what they hear: the silent test driver's clock runs a little slower than the
# wall clock and jumps when the machine is busy, so presses timed by the wall
# clock alone would drift across the clicks. One process (e2e_presser) makes
# every press, so that none waits for a new process to start.
require velmora velmora_play velmora_calibrate velmora_library make_song
command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_MUSIC_DIR=$work
settings=$XDG_CONFIG_HOME/velmora/settings.conf
mkdir -p "$(dirname "$settings")"
printf '# my own note\nvolume = 80\ncolour = blue\n' >"$settings"
make_song_file 4

start_x
trace=$work/calibrate.trace
: >"$trace"
export VELMORA_CALIBRATE_LOG=$trace
# shellcheck disable=SC2034  # read by start_game
game_program=$build/velmora_play
start_game "$work" --calibrate
unset VELMORA_CALIBRATE_LOG

# Its own small window, captioned for what it asks.
deadline=$(($(uptime_s) + 15 * time_scale))
wid=
while [ -z "$wid" ]; do
  game_alive || fail "velmora_play --calibrate exited before its window appeared: $(cat "$game_out")"
  [ "$(uptime_s)" -lt $deadline ] || fail "no calibration window within 15 s"
  wid=$(xdotool search --name '^velmora calibration - press Space on each click$' 2>/dev/null | head -n1)
  [ -n "$wid" ] && xwininfo -id "$wid" 2>/dev/null | grep -q IsViewable || { wid=; sleep 0.1; }
done
take_keyboard
wait_screen calibrate_asks 10 "sprite:60,100,100,20:50,12" "!sprite:60,120,100,10:50,60"

# First try: each press 0, 80, 160 or 240 ms after its click, uneven. Second
# try: each press as soon as its click is heard.
presser=$build/tests/e2e_presser
[ -x "$presser" ] || fail "$presser has not been built"
"$presser" "$trace" "$game_pid" 0,80,160,240 0 &
presser_pid=$!
# Refused, it asks again in the window too.
wait_screen calibrate_again 40 "sprite:60,100,100,20:50,12" "sprite:60,120,100,10:50,60"
wait_exit 40 0
wait "$presser_pid" || fail "the presser failed"
cat "$game_out"
grep -q 'the presses were too uneven' "$game_out" || fail "the uneven presses were not refused: $(cat "$game_out")"
[ "$(grep -c '^listen$' "$trace")" = 2 ] || fail "it did not ask again exactly once after the refusal"
offset=$(sed -n 's/^velmora_play: offset \(-\{0,1\}[0-9]*\) ms (from .*), saved in .*/\1/p' "$game_out")
[ -n "$offset" ] || fail "no offset saved: $(cat "$game_out")"
note "offsets of the two tries (ms): $(grep '^offsets' "$trace" | tr '\n' '|')"
grep -qx "offset = $offset" "$settings" || fail "the settings file lacks offset = $offset: $(cat "$settings")"
for line in '# my own note' 'volume = 80' 'colour = blue'; do
  grep -qx "$line" "$settings" || fail "the settings file lost \"$line\": $(cat "$settings")"
done
[ -z "$(find "$XDG_CONFIG_HOME/velmora" -name 'settings.conf.*')" ] || fail "a temporary was left beside the settings"

# The library screen's command line, as velmora_play started it on the song
# (velmora_play's process itself): the saved settings it reads itself, an
# --offset given is passed on for this start only.
screen_command_line() { tr '\0' ' ' <"/proc/$game_pid/cmdline" 2>/dev/null; }
for round in saved given; do
  extra=()
  [ "$round" = given ] && extra=(--offset -30)
  start_game "$work" "${extra[@]}" song.wav
  wait_window
  command_line=$(screen_command_line)
  note "the screen runs as: $command_line"
  case "$command_line" in
    *" --play song.wav "*) ;;
    *) fail "velmora_play did not start the library screen on the song: $command_line" ;;
  esac
  case "$round:$command_line" in
    "given:"*" --offset -30 "*) ;;
    given:*) fail "the screen was not given --offset -30: $command_line" ;;
    *--offset*) fail "the screen was given an offset, not left to the saved one: $command_line" ;;
  esac
  take_keyboard
  key_tap Escape
  quit_from_list
done
grep -qx "offset = $offset" "$settings" || fail "--offset changed the saved offset: $(cat "$settings")"

# --volume 0 with a song is saved and silences the run's music: the device
# gets only zeros (the run's music is heard at full volume in velmora_play_formats).
# shellcheck source=sprites.sh
source "$here/sprites.sh"
rm -f "$work/out.raw"
# The sound effects have a volume of their own: off, so only the music is heard.
echo 'effects = 0' >>"$settings"
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$work/out.raw
start_game "$work" --volume 0 song.wav
export SDL_AUDIODRIVER=dummy
wait_window
take_keyboard
press_until silent_run Return 10 "!$title_label" "$first_counter_label"
sleep 1.5
written=$(stat -c %s "$work/out.raw")
[ "$written" -gt 100000 ] || fail "the sound device got only $written bytes in the run's first 1.5 s"
[ "$(tr -d '\000' <"$work/out.raw" | head -c 1 | wc -c)" -eq 0 ] || fail "the music was heard at volume 0"
# Escape pauses the run; its last choice goes back to the list.
key_tap Escape
sleep 0.5
key_tap Up
key_tap Return
quit_from_list
grep -qx "volume = 0" "$settings" || fail "--volume 0 with a song was not saved: $(cat "$settings")"

# Escape leaves a calibration at once, saving nothing.
cp "$settings" "$work/settings.before"
start_game "$work" --calibrate
deadline=$(($(uptime_s) + 15 * time_scale))
until grep -q 'listen:' "$game_out"; do
  game_alive || fail "the calibration ended before it asked: $(cat "$game_out" "$game_err")"
  [ "$(uptime_s)" -lt $deadline ] || fail "the calibration did not ask within 15 s"
  sleep 0.1
done
wid=$(xdotool search --name '^velmora calibration' 2>/dev/null | head -n1)
take_keyboard
key_tap Escape
wait_exit 10 1
grep -q 'calibration left; nothing saved' "$game_out" || fail "leaving did not say so: $(cat "$game_out")"
cmp -s "$settings" "$work/settings.before" || fail "leaving changed the settings file"
