# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# scripts/play.sh with no display to open: it still makes and converts the
# bundled stage, with the converter's progress visible, then says in one line
# that there is no display and ends with a non-zero status.
require_programs() {
  local p
  for p in "$@"; do
    [ -x "$build/$p" ] || fail "$build/$p has not been built"
  done
}
require_programs velmora velmora_bc make_song

# run_play_script DESCRIPTION ENV...: runs the script with the given environment.
run_play_script() {
  local what=$1
  shift
  local status=0
  env -u DISPLAY -u WAYLAND_DISPLAY VELMORA_STAGE_DIR="$work/stage" "$@" bash "$source_dir/scripts/play.sh" "$build" \
    >"$work/play.out" 2>"$work/play.err" </dev/null || status=$?
  [ "$status" -ne 0 ] || fail "play.sh $what: ended with status 0"
  grep -q '^1 / 72 : 1 / 2$' "$work/play.out" || fail "play.sh $what: no converter progress line 1 / 72 : 1 / 2"
  grep -q '^72 / 72 : 2 / 2$' "$work/play.out" || fail "play.sh $what: the conversion did not reach 72 / 72 : 2 / 2"
  [ -s "$work/stage/song.pat" ] || fail "play.sh $what: no pattern file in $work/stage"
  local lines
  lines=$(wc -l <"$work/play.err")
  if [ "$lines" -ne 1 ] || ! grep -q 'no display' "$work/play.err"; then
    fail "play.sh $what: expected one line about the missing display on standard error, got: $(cat "$work/play.err")"
  fi
  note "play.sh $what: status $status, $(cat "$work/play.err")"
}

run_play_script "without DISPLAY"
if command -v xdpyinfo >/dev/null 2>&1; then
  run_play_script "with an X display that cannot be opened" DISPLAY=:64999
fi
