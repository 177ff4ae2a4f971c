# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# A short stage made by velmora_bc from a generated song, played in a window:
# title, start, play with the arrows held, result, back to the title, Escape.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song

make_stage 8
[ -s "$work/song.pat" ] || fail "velmora_bc wrote no pattern file"
note "stage: $(stat -c %s "$work/song.pat") bytes of patterns"

start_x
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window
wait_window
wait_screen title 15 "${title_screen[@]}"
[ "$(pointer)" != "40,375" ] || fail "-window warped the pointer as in full screen"
# A window is drawn without OpenGL: setting that up was most of the time to it.
grep -E '/lib(GL|GLX|EGL)[._]' "/proc/$game_pid/maps" >"$work/gl.maps" \
  && fail "the game in a window loaded OpenGL: $(head -n 3 "$work/gl.maps")"
take_keyboard

# The title ignores keys for its first updates; tap until the run starts.
press_until start Return 10 "!$title_label" "$first_counter_label"

# Held left, the ship walks to the left edge (x 0, screen 100) at the height
# it started (y 220, screen 233), facing left in one of its three steps. Blood
# from a hit may cover part of it for a frame.
key_down Left
wait_screen ship_at_left_edge 15 \
  "sprite:0,20,10,15:100,233:20|sprite:10,20,10,15:100,233:20|sprite:20,20,10,15:100,233:20"
wait_screen play 20 "$tracers_on_screen" "$incoming_on_screen" "$first_counter_label"
key_up Left

wait_screen result 90 "$gameover_image" "$first_counter_label"
# The result screen waits 60 updates before it takes a key; a tap too early is
# ignored and press_until taps again.
sleep 1
press_until title_again space 10 "${title_screen[@]}"

key_tap Escape
wait_exit 5 0
