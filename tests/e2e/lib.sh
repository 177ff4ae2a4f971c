# shellcheck shell=bash disable=SC2154  # case_name comes from run_case.sh
# Helpers shared by the end-to-end cases; sourced by run_case.sh.
# Each case gets its own Xvfb, found free by the server itself (-displayfd),
# so cases can run side by side and never touch the user's display.

build=${VELMORA_BUILD_DIR:?VELMORA_BUILD_DIR must name the build folder}
source_dir=${VELMORA_SOURCE_DIR:?VELMORA_SOURCE_DIR must name the source folder}
probe=${E2E_PROBE:-$build/tests/e2e_probe}
sheet=$source_dir/data/p.bmp
caption_pattern='^velmora v0\.01 - test_void$'
# A command the game runs under (valgrind, for the leak check) and a factor
# for every time limit, as such a tool slows the game down.
read -r -a game_wrapper <<<"${E2E_GAME_WRAPPER:-}"
time_scale=${E2E_TIME_SCALE:-1}
# Deadlines count the machine's uptime, not the wall clock: a clock set
# forward while a case waits (a virtual machine's, after a pause) must not
# cut the wait short.
uptime_s() {
  local up rest
  read -r up rest </proc/uptime
  echo "${up%%.*}"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
shots=$build/tests/e2e-shots/$case_name
rm -rf "$shots"
mkdir -p "$shots"
xvfb_pid=
game_pid=
game_out=$work/game.out
game_err=$work/game.err
failed=0

note() { echo "-- $*"; }

fail() {
  failed=1
  echo "FAIL: $*" >&2
  if [ -s "$game_err" ]; then
    echo "   game's standard error:" >&2
    sed 's/^/   | /' "$game_err" >&2
  fi
  exit 1
}

cleanup() {
  local status=$?
  if [ -n "$game_pid" ] && kill -0 "$game_pid" 2>/dev/null; then
    kill "$game_pid" 2>/dev/null
    wait "$game_pid" 2>/dev/null
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ]; then
    echo "screenshots kept in $shots, scratch files in $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

require() {
  local missing=() t
  for t in Xvfb xdotool import xwininfo; do
    command -v "$t" >/dev/null 2>&1 || missing+=("$t")
  done
  [ ${#missing[@]} -eq 0 ] || fail "missing tools: ${missing[*]} (scripts/setup.sh installs them)"
  [ -x "$probe" ] || fail "$probe has not been built"
  for t in "$@"; do
    [ -x "$build/$t" ] || fail "$build/$t has not been built"
  done
}

# make_song_file SECONDS: a generated song of that length, $work/song.wav.
make_song_file() {
  "$build/make_song" --seconds "$1" "$work/song.wav" >"$work/make_song.out" 2>&1 \
    || fail "make_song failed: $(cat "$work/make_song.out")"
}

# make_stage SECONDS: that song and velmora_bc's stage for it, $work/song.pat.
make_stage() {
  make_song_file "$1"
  "$build/velmora_bc" "$work/song.wav" "$work/song.pat" >"$work/bc.out" 2>&1 \
    || fail "velmora_bc failed: $(tail -n 3 "$work/bc.out")"
}

# A 640x480 screen, the game's own size, so full screen maps pixel for pixel;
# start_x WxH for another size.
start_x() {
  local size=${1:-640x480}
  # -noreset: a game started while the server resets after its last client
  # left could not connect.
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "${size}x24" 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  local _
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  [ -s "$work/display" ] || fail "Xvfb did not report a display within 10 s"
  DISPLAY=":$(head -n1 "$work/display")"
  export DISPLAY
  export SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=dummy
  unset WAYLAND_DISPLAY
  note "Xvfb on $DISPLAY"
}

# start_game DIR ARGS...: the game ($game_program, by default the built one)
# in the background, working directory DIR.
start_game() {
  local dir=$1 program=${game_program:-$build/velmora}
  shift
  note "starting $program $* (in $dir)"
  (cd "$dir" && exec "${game_wrapper[@]}" "$program" "$@") >"$game_out" 2>"$game_err" &
  game_pid=$!
}

game_alive() { kill -0 "$game_pid" 2>/dev/null; }

# Waits for the game's window by its caption and sets wid.
wait_window() {
  local deadline=$(($(uptime_s) + 15 * time_scale))
  wid=
  while [ "$(uptime_s)" -lt $deadline ]; do
    game_alive || fail "velmora exited before its window appeared"
    wid=$(xdotool search --name "$caption_pattern" 2>/dev/null | head -n1)
    if [ -n "$wid" ] && xwininfo -id "$wid" 2>/dev/null | grep -q 'IsViewable'; then
      break
    fi
    wid=
    sleep 0.1
  done
  [ -n "$wid" ] || fail "no window captioned \"velmora v0.01 - test_void\" within 15 s"
  local size
  size=$(xwininfo -id "$wid" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
  note "window $wid, $size"
  [ "$size" = "640x480" ] || fail "the window is $size, not 640x480"
}

# With no window manager the keyboard goes where the input focus is put.
take_keyboard() {
  xdotool mousemove --window "$wid" 320 240 >/dev/null 2>&1
  xdotool windowfocus "$wid" >/dev/null 2>&1 || true
}

pointer() {
  local X Y
  eval "$(xdotool getmouselocation --shell 2>/dev/null | grep -E '^[XY]=')"
  echo "$X,$Y"
}

# Only in full screen does the game warp the pointer to (40,375) as it opens
# its window (the screen is the window's size, so no scaling hides it).
wait_pointer_warped() {
  local deadline=$(($(uptime_s) + 3))
  while [ "$(pointer)" != "40,375" ]; do
    [ "$(uptime_s)" -lt $deadline ] || fail "the pointer is at $(pointer), not warped to 40,375 as in full screen"
    sleep 0.1
  done
}

shot() { import -window "$wid" "$work/shot.png" 2>>"$work/import.log"; }

# wait_screen NAME SECONDS CHECK...: polls screenshots until every probe check
# holds; the matching screenshot is kept as NAME.png.
wait_screen() {
  local name=$1 limit=$2
  shift 2
  local deadline=$(($(uptime_s) + limit * time_scale))
  while :; do
    game_alive || fail "velmora exited while waiting for the $name screen"
    if shot && "$probe" "$work/shot.png" --sheet "$sheet" "$@" >"$work/probe.out" 2>&1; then
      cp "$work/shot.png" "$shots/$name.png"
      note "$name screen seen"
      return 0
    fi
    if [ "$(uptime_s)" -ge $deadline ]; then
      [ -f "$work/shot.png" ] && cp "$work/shot.png" "$shots/$name-FAILED.png"
      sed 's/^/   /' "$work/probe.out" >&2
      fail "the $name screen did not appear within $limit s"
    fi
    sleep 0.2
  done
}

# screen_text: the whole window's text as tesseract reads it (white on black,
# enlarged).
screen_text() {
  shot && convert "$work/shot.png" -colorspace Gray -negate -resize 200% -threshold 60% "$work/all.png" &&
    tesseract "$work/all.png" - --psm 6 2>/dev/null
}

# wait_text NAME SECONDS REGEX [READER]: polls READER (screen_text unless
# given) until its text matches REGEX, ignoring case; the text read is left
# in $work/text.txt and the screenshot kept as NAME.png.
wait_text() {
  local reader=${4:-screen_text} deadline=$(($(uptime_s) + $2 * time_scale))
  until "$reader" >"$work/text.txt" && grep -qiE "$3" "$work/text.txt"; do
    game_alive || fail "the game ended while waiting for $1"
    if [ "$(uptime_s)" -ge $deadline ]; then
      cp "$work/shot.png" "$shots/$1-FAILED.png"
      fail "the screen did not show $1 within $2 s; it reads: $(tr '\n' '|' <"$work/text.txt")"
    fi
    sleep 0.3
  done
  cp "$work/shot.png" "$shots/$1.png"
  note "shows $1: $(tr '\n' '|' <"$work/text.txt")"
}

# quit_by_question: on the library screen's list with a search typed, one
# Escape clears it, the next asks before quitting, Return quits: status 0.
quit_by_question() {
  key_tap Escape
  sleep 0.3
  key_tap Escape
  wait_text "the question before quitting" 5 'Quit velmora'
  key_tap Return
  wait_exit 10 0
}

# quit_from_list: on the library screen's list with nothing typed, Escape
# asks before quitting, Return quits: status 0.
quit_from_list() {
  key_tap Escape
  wait_text "the question before quitting" 5 'Quit velmora'
  key_tap Return
  wait_exit 10 0
}

# Real key presses through the X server's test extension, held long enough
# for the game's once-a-frame key snapshot to see them.
key_down() { xdotool keydown "$1"; }
key_up() { xdotool keyup "$1"; }
key_tap() {
  xdotool keydown "$1"
  sleep 0.1
  xdotool keyup "$1"
}

# press_until NAME KEY SECONDS CHECK...: taps KEY until the screen passes the checks.
press_until() {
  local name=$1 key=$2 limit=$3
  shift 3
  local deadline=$(($(uptime_s) + limit * time_scale))
  while :; do
    key_tap "$key"
    # The screen a tap brings may take a few frames to be drawn: look for a
    # second before tapping again, as the same key may lead further on (a
    # second Space on the title starts a run).
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      game_alive || fail "velmora exited after $key, waiting for the $name screen"
      if shot && "$probe" "$work/shot.png" --sheet "$sheet" "$@" >"$work/probe.out" 2>&1; then
        cp "$work/shot.png" "$shots/$name.png"
        note "$name screen seen after $key"
        return 0
      fi
      [ "$(uptime_s)" -lt $deadline ] || break
      sleep 0.1
    done
    if [ "$(uptime_s)" -ge $deadline ]; then
      [ -f "$work/shot.png" ] && cp "$work/shot.png" "$shots/$name-FAILED.png"
      sed 's/^/   /' "$work/probe.out" >&2
      fail "pressing $key did not bring the $name screen within $limit s"
    fi
  done
}

# wait_exit SECONDS STATUS: the game ends by itself within the time, with that status.
wait_exit() {
  local limit=$1 want=$2
  local deadline=$(($(uptime_s) + limit * time_scale))
  while game_alive; do
    [ "$(uptime_s)" -lt $deadline ] || fail "velmora still running $limit s after it should have ended"
    sleep 0.1
  done
  local status=0
  wait "$game_pid" || status=$?
  game_pid=
  [ "$status" -eq "$want" ] || fail "velmora ended with status $status, expected $want"
  note "velmora ended with status $status"
}
