# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# A whole session with only the screens checked, for running the game under
# a slow checker (scripts/leak_check.sh): title, a run of a short stage played
# to its end, the result screen, the title again, Escape. The game must end
# with status 0, which under valgrind also means no leak was found.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song

make_stage "${E2E_SESSION_SECONDS:-3}"

start_x
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window
wait_window
wait_screen title 15 "${title_screen[@]}"
take_keyboard
press_until start Return 10 "!$title_label" "$first_counter_label"
wait_screen result 90 "$gameover_image" "$first_counter_label"
sleep 1
press_until title_again space 10 "${title_screen[@]}"
key_tap Escape
wait_exit 10 0
