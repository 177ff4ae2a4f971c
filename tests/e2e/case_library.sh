# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora_play without a song: the library screen in one window. Its offer
# of the music folder is declined, the folder is added from the folder
# screen instead (which goes back to the list), a typed part of a title finds
# a song, its stage is prepared under a bar, a run is played to its result
# screen and the screen's result panel, the list shows that run as the
# song's best; a second song opens; settings changed on the settings screen
# are in the settings file; a screen killed on a result screen loses no run;
# Escape asks, and Return then quits with status 0. Every screen of one start
# is in the same window.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora_play velmora_library make_song
command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_MUSIC_DIR=$work/Music
mkdir -p "$XDG_MUSIC_DIR"
for song in "zebra run:6" "apple tune:4"; do
  "$build/make_song" --seconds "${song#*:}" "$XDG_MUSIC_DIR/${song%:*}.wav" >"$work/make_song.out" 2>&1 \
    || fail "make_song failed: $(cat "$work/make_song.out")"
done

start_x
# shellcheck disable=SC2034  # read by start_game
game_program=$build/velmora_play
start_game "$work"
wait_window
first_wid=$wid
take_keyboard

# same_window: the window shown now is the one the session opened with.
same_window() {
  local now
  now=$(xdotool search --name "$caption_pattern" 2>/dev/null | tr '\n' ' ')
  [ "$now" = "$first_wid " ] || fail "the window is now \"$now\", not the first one, $first_wid ($1)"
}

# list_text: the list's rows as tesseract reads them (white on black,
# enlarged), without the song panel beside them.
list_text() {
  shot
  convert "$work/shot.png" -crop 400x120+0+46 -colorspace Gray -negate -resize 300% -threshold 60% "$work/rows.png"
  tesseract "$work/rows.png" - --psm 6 2>/dev/null
}

# No folder yet: the music folder is offered; not now.
wait_text "the music folder's offer" 10 'Add your music folder'
key_tap Escape
# The folder screen starts at the music folder: Return adds it, scans it
# and goes back to the list. Then into a folder with no subfolders, from one
# with two, and back up.
mkdir -p "$XDG_MUSIC_DIR/one" "$XDG_MUSIC_DIR/two"
key_tap F5
sleep 0.5
key_tap Return
sleep 0.5
key_tap F5
sleep 0.5
key_tap Down
key_tap Down
key_tap Return
sleep 0.5
game_alive || fail "the library screen ended on entering a folder"
key_tap BackSpace
sleep 0.3
key_tap Escape
wait_text "both songs" 20 'zebra run' list_text
grep -q 'apple tune' "$work/text.txt" || fail "the second song is not listed: $(cat "$work/text.txt")"

xdotool type --delay 150 zeb
wait_text "the typed filter" 5 '^[^a]*zebra run' list_text
grep -q 'apple' "$work/text.txt" && fail "typing \"zeb\" left \"apple tune\" in the list"

# The bar: the stage is not cached yet.
key_tap Return
bar="count:62,238,516,20:4060ff:100"
wait_screen preparing 10 "$bar"
wait_screen title 20 "${title_screen[@]}"
same_window "title screen"

press_until start Return 10 "!$title_label" "$first_counter_label"
key_down Left
sleep 0.6
key_up Left
wait_screen result 60 "$gameover_image" "$first_counter_label"
# The game's result screen, then the screen's own; Escape goes back to the list.
wait_text "the result panel" 10 'New best'
key_tap Escape
# The run, kept as the song's best: a ratio and the hits.
wait_text "the run's best" 10 'zebra run.*[0-9]+\.[0-9]{2}/[0-9]+' list_text
same_window "back on the list"
db=$XDG_DATA_HOME/velmora/library.sqlite3
[ "$(sqlite3 "$db" 'SELECT COUNT(*) FROM results WHERE replay IS NOT NULL;')" = 1 ] \
  || fail "the run was not kept with its replay: $(sqlite3 "$db" 'SELECT * FROM results;')"

# Escape clears what was typed; the second song opens on its title.
key_tap Escape
xdotool type --delay 150 apple
wait_text "the second song" 5 '^[^z]*apple tune' list_text
key_tap Return
wait_screen second_title 20 "${title_screen[@]}"
same_window "second song's title"

# Killed on the result screen of a finished run: the next start keeps that
# run, and the list shows it as the song's best.
press_until second_start Return 10 "!$title_label" "$first_counter_label"
wait_screen second_result 60 "$gameover_image" "$first_counter_label"
kill -KILL "$game_pid"
wait "$game_pid" 2>/dev/null
ls "$XDG_DATA_HOME/velmora/replays/"*.session >/dev/null 2>&1 \
  || fail "the killed screen left no recording of its finished run"
start_game "$work"
wait_window
first_wid=$wid
take_keyboard
xdotool type --delay 150 apple
wait_text "the killed session's run" 10 '^[^z]*apple tune.*[0-9]+\.[0-9]{2}/[0-9]+' list_text
[ "$(sqlite3 "$db" 'SELECT COUNT(*) FROM results;')" = 2 ] \
  || fail "the killed session's run is not kept: $(sqlite3 "$db" 'SELECT * FROM results;')"
ls "$XDG_DATA_HOME/velmora/replays/"*.session >/dev/null 2>&1 \
  && fail "the killed session's recording is still there: $(ls "$XDG_DATA_HOME/velmora/replays/")"

# Settings: the music volume down a step, the effects up a step.
key_tap F4
sleep 0.5
key_tap Left
key_tap Down
key_tap Right
sleep 0.5
shot
cp "$work/shot.png" "$shots/settings.png"
key_tap Escape
settings=$XDG_CONFIG_HOME/velmora/settings.conf
grep -qx 'volume = 95' "$settings" || fail "the volume is not saved: $(cat "$settings" 2>&1)"
grep -qx 'effects = 65' "$settings" || fail "the effects volume is not saved: $(cat "$settings" 2>&1)"
same_window "after the settings"

# Escape clears "apple", the next one asks, Return quits.
quit_by_question
