# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora with no arguments: the title demo, full screen, with bursts; Escape quits with status 0.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora
start_x
start_game "$source_dir"
wait_window
wait_pointer_warped
take_keyboard
wait_screen demo 20 "$title_image_at_centre" "${empty_gauge[@]}" "all:0,20,65,45:000000" \
  "$tracers_on_screen" "$incoming_on_screen"
key_tap Escape
wait_exit 5 0
