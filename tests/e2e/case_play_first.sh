# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# The play command's start. Its build configuration (scripts/play_build.sh)
# holds no target of tests/, bench/ or fuzz/. scripts/play_song.sh on a built
# folder opens the library screen with the bundled song listed and
# highlighted, first telling a player whose music folder is not there; with
# songs of a music folder listed before it, still the bundled one is
# highlighted. Given a song, it plays it on that screen: the run ends on the
# screen's result panel and Escape goes to the list with that song on it.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_play velmora_library make_song
command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"
command -v sqlite3 >/dev/null || fail "sqlite3 is missing (scripts/setup.sh installs it)"

bash "$source_dir/scripts/play_build.sh" --configure "$work/play-build" >"$work/configure.out" 2>&1 \
  || fail "the play configuration failed: $(tail -n 5 "$work/configure.out")"
"${CMAKE_COMMAND:-cmake}" --build "$work/play-build" --target help >"$work/targets.txt" || fail "no target list"
for t in play_programs velmora_play velmora_library; do
  grep -qx "\.\.\. $t" "$work/targets.txt" || fail "the play configuration has no $t target"
done
grep -rhoE '^\s*(add_executable|add_library|velmora_add_test|add_custom_target)\([A-Za-z0-9_]+' --include=CMakeLists.txt \
  "$source_dir/tests" "$source_dir/bench" "$source_dir/fuzz" | sed -E 's/.*\(//' | sort -u >"$work/test_targets.txt"
[ "$(wc -l <"$work/test_targets.txt")" -gt 20 ] || fail "too few test targets found to compare: $(cat "$work/test_targets.txt")"
extra=$(sed 's/^/... /' "$work/test_targets.txt" | grep -xFf - "$work/targets.txt")
[ -z "$extra" ] || fail "the play configuration holds test targets: $extra"
[ -e "$work/play-build/CTestTestfile.cmake" ] && fail "the play configuration registers tests"
note "play configuration: $(grep -c '^\.\.\. ' "$work/targets.txt") targets, none of $(wc -l <"$work/test_targets.txt") test ones"

# A player of its own, whose music folder is not there.
export HOME=$work/home
export XDG_CACHE_HOME=$HOME/.cache XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config
export XDG_MUSIC_DIR=$HOME/NoMusic VELMORA_LIBRARY_TEXT_LOG=$work/texts.log
mkdir -p "$HOME"
start_x
# shellcheck disable=SC2034  # read by start_game
game_program=$source_dir/scripts/play_song.sh

# bundled_highlighted NAME: the bundled song's row in the list is the navy one.
bundled_highlighted() {
  local y=
  for _ in $(seq 50); do
    y=$(awk '$1 < 408 && / test_void/ { print $2; exit }' "$work/texts.log" 2>/dev/null)
    [ -n "$y" ] && break
    sleep 0.1
  done
  [ -n "$y" ] || fail "$1: the bundled song is not listed: $(cat "$work/texts.log" 2>&1)"
  wait_screen "$1" 5 "count:0,$y,400,12:000080:800"
}

# list_text: the list's rows as tesseract reads them.
list_text() {
  shot
  convert "$work/shot.png" -crop 400x120+0+46 -colorspace Gray -negate -resize 300% -threshold 60% "$work/rows.png"
  tesseract "$work/rows.png" - --psm 6 2>/dev/null
}

start_game "$work" "$build"
wait_window
take_keyboard
wait_text "the offer without a music folder" 15 'no music folder'
grep -qi 'choose' "$work/text.txt" || fail "the player is not offered to choose a folder: $(cat "$work/text.txt")"
key_tap Escape
bundled_highlighted bundled_alone
quit_from_list

# Songs of a folder sort before the bundled song by title.
mkdir -p "$HOME/Music"
for name in "aaa tune" "abc tune"; do
  "$build/make_song" --seconds 4 "$HOME/Music/$name.wav" >"$work/make_song.out" 2>&1 \
    || fail "make_song failed: $(cat "$work/make_song.out")"
done
"$build/velmora_play" --add "$HOME/Music" >"$work/add.out" 2>&1 || fail "--add failed: $(cat "$work/add.out")"
rm -f "$work/texts.log"
start_game "$work" "$build"
wait_window
take_keyboard
bundled_highlighted bundled_third
grep -q ' aaa tune' "$work/texts.log" || fail "the folder's songs are not listed: $(cat "$work/texts.log")"
quit_from_list

# A song given: its title, a run, the screen's result panel, the list.
start_game "$work" "$build" "$HOME/Music/abc tune.wav"
wait_window
take_keyboard
wait_screen title 30 "${title_screen[@]}"
press_until start Return 10 "!$title_label" "$first_counter_label"
wait_screen result 60 "$gameover_image" "$first_counter_label"
wait_text "the result panel" 15 'New best'
grep -qi 'abc tune' "$work/text.txt" || fail "the result panel does not name the song: $(cat "$work/text.txt")"
key_tap Escape
wait_text "the list after the run" 10 'abc tune.*[0-9]+\.[0-9]{2}/[0-9]+' list_text
[ "$(sqlite3 "$HOME/.local/share/velmora/library.sqlite3" 'SELECT COUNT(*) FROM results;')" = 1 ] \
  || fail "the run is not kept"
quit_from_list
