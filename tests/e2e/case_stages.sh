# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# Stages one after another in one window, as a library session plays them
# (tests/stage_probe): the title of a stage, Escape back to the caller, the
# next stage in the same window; a window of twice the size shows the title
# scaled up pixel for pixel; full screen and back. The window stays the same
# one from stage to stage.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora_bc make_song
stage_probe=$build/tests/stage_probe
[ -x "$stage_probe" ] || fail "$stage_probe has not been built"

make_stage 3
# Room for a window of 1280x960.
start_x 1600x1200
game_program=$stage_probe
displays=(1 1 2 full 1)
start_game "$source_dir" "$work/song.wav" "$work/song.pat" "${displays[@]}"

# wait_line TEXT: the probe printed that line.
wait_line() {
  local deadline=$(($(uptime_s) + 15 * time_scale))
  until grep -qx "$1" "$game_out"; do
    game_alive || fail "the stage probe ended before \"$1\""
    [ "$(uptime_s)" -lt $deadline ] || fail "no \"$1\" within 15 s"
    sleep 0.1
  done
}

# The window shown now: sets wid and size.
find_window() {
  local deadline=$(($(uptime_s) + 15 * time_scale))
  wid=
  while [ "$(uptime_s)" -lt $deadline ]; do
    wid=$(xdotool search --name "$caption_pattern" 2>/dev/null | head -n1)
    [ -n "$wid" ] && xwininfo -id "$wid" 2>/dev/null | grep -q 'IsViewable' && break
    wid=
    sleep 0.1
  done
  [ -n "$wid" ] || fail "no viewable game window within 15 s"
  size=$(xwininfo -id "$wid" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
}

ids=()
for n in 1 2 3 4 5; do
  wait_line "stage $n at ${displays[n - 1]}"
  find_window
  note "stage $n: window $wid, $size"
  ids+=("$wid")
  take_keyboard
  case $n in
    1)
      [ "$size" = 640x480 ] || fail "the window is $size, not 640x480"
      wait_screen title 15 "${title_screen[@]}"
      cp "$work/shot.png" "$work/title.png"
      ;;
    3)
      [ "$size" = 1280x960 ] || fail "the window at twice the size is $size, not 1280x960"
      # It grew from where the smaller one stood; a screenshot takes only what is on the screen.
      xdotool windowmove "$wid" 0 0
      sleep 1
      shot
      cp "$work/shot.png" "$shots/title_2x.png"
      convert "$work/shot.png" -sample 50% "$work/title_halved.png"
      differ=$(compare -metric AE "$work/title.png" "$work/title_halved.png" null: 2>&1)
      [ "$differ" = 0 ] || fail "the title at twice the size, halved, differs from the title in $differ pixels"
      ;;
    *)
      [ "$n" = 4 ] || [ "$size" = 640x480 ] || fail "the window is $size, not 640x480"
      wait_screen "title_$n" 15 "${title_screen[@]}"
      ;;
  esac
  key_tap Escape
  wait_line "stage $n left"
done
wait_exit 10 0
[ "${ids[1]}" = "${ids[0]}" ] || fail "the second stage opened window ${ids[1]}, not the first's ${ids[0]}"
[ "${ids[4]}" = "${ids[0]}" ] || note "back at 1x after the settings changed, the window is ${ids[4]} (was ${ids[0]})"
