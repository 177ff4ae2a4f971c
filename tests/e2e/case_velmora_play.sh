# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora_play on a short generated song, twice: the first start prepares the
# stage and the second takes it from the cache, converting nothing; both open
# the game's window on its title screen.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_play make_song

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
"$build/make_song" --seconds 4 "$work/song.wav" >"$work/make_song.out" 2>&1 \
  || fail "make_song failed: $(cat "$work/make_song.out")"

start_x
# shellcheck disable=SC2034  # read by start_game
game_program=$build/velmora_play
stage_time=
for round in first second; do
  if [ "$round" = second ]; then
    # Left to velmora_play to find out: without a sound device it must
    # choose silence itself, as the game alone refuses to start.
    export SDL_AUDIODRIVER=
  fi
  start_game "$work" song.wav
  wait_window
  wait_screen "title_$round" 15 "${title_screen[@]}"
  take_keyboard
  key_tap Escape
  wait_exit 5 0

  stage=$(find "$XDG_CACHE_HOME/velmora/stages" -name '*-standard-v1.pat')
  [ -n "$stage" ] || fail "no stage in the cache after the $round start"
  if [ "$round" = first ]; then
    grep -q '"song.wav": stage prepared' "$game_err" || fail "the first start did not say it prepared the stage"
    stage_time=$(stat -c %y "$stage")
  else
    grep -q '"song.wav": stage found in the cache' "$game_err" || fail "the second start did not take the cached stage"
    grep -q 'stage prepared' "$game_err" && fail "the second start converted the song again"
    [ "$(stat -c %y "$stage")" = "$stage_time" ] || fail "the cached stage was written again"
    grep -q 'no sound device here' "$game_err" && note "no sound device: played silently, as told"
  fi
  cp "$game_err" "$work/play_$round.err"
done
"$build/velmora_play" --list >"$work/list.out" 2>&1 || fail "velmora_play --list failed: $(cat "$work/list.out")"
grep -q "$work/song.wav\$" "$work/list.out" || fail "the song library does not list the song: $(cat "$work/list.out")"
grep -q "never" "$work/list.out" && fail "the song library has no start recorded: $(cat "$work/list.out")"
note "library: $(tail -n 1 "$work/list.out")"
