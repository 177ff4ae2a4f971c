# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora_play on a short generated song, twice: the first start prepares the
# stage and the second takes it from the cache, converting nothing; both open
# the library screen's window on the game's title screen. Then the results of
# two played sessions, one ended by killing the program, and the best run's
# replay. No settings are saved, so it is all a new player's stage: the
# dynamics edition at normal.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_play velmora_library make_song
command -v sqlite3 >/dev/null || fail "sqlite3 is missing (scripts/setup.sh installs it)"
command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_MUSIC_DIR=$work
make_song_file 4

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
  # Escape leaves the song's title for the list, where the player quits.
  key_tap Escape
  quit_from_list

  stage=$(find "$XDG_CACHE_HOME/velmora/stages" -name '*-dynamics-normal-v*.pat')
  [ -n "$stage" ] || fail "no stage in the cache after the $round start"
  if [ "$round" = first ]; then
    grep -q '"song.wav": stage prepared (dynamics edition, normal)' "$game_err" || fail "the first start did not say it prepared the stage"
    stage_time=$(stat -c %y "$stage")
    # Left by a preparation killed before its rename, two days ago.
    orphan=$(dirname "$stage")/.$(basename "$stage" .pat).Zz9Yy8
    : >"$orphan"
    touch -d '2 days ago' "$orphan"
  else
    grep -q '"song.wav": stage found in the cache (dynamics edition, normal)' "$game_err" || fail "the second start did not take the cached stage"
    grep -q 'stage prepared' "$game_err" && fail "the second start converted the song again"
    [ "$(stat -c %y "$stage")" = "$stage_time" ] || fail "the cached stage was written again"
    grep -q 'no sound device here' "$game_err" && note "no sound device: played silently, as told"
    [ -e "$orphan" ] && fail "a stage left half written two days ago is still in the cache after a game"
  fi
  cp "$game_err" "$work/play_$round.err"
done
"$build/velmora_play" --list >"$work/list.out" 2>&1 || fail "velmora_play --list failed: $(cat "$work/list.out")"
grep -q "$work/song.wav\$" "$work/list.out" || fail "the song library does not list the song: $(cat "$work/list.out")"
# The screen lists the bundled song too, never played.
grep "$work/song.wav\$" "$work/list.out" | grep -q "never" && fail "the song library has no start recorded: $(cat "$work/list.out")"
note "library: $(tail -n 1 "$work/list.out")"

# Results and replays. A third session plays a run to the screen's result
# panel; a fourth has the program killed on the game's result screen of its
# run: the next start keeps that run. Then the best run's replay reaches its
# counters.
db=$XDG_DATA_HOME/velmora/library.sqlite3
start_game "$work" song.wav
wait_window
wait_screen title_third 15 "${title_screen[@]}"
take_keyboard
press_until start_third Return 10 "!$title_label" "$first_counter_label"
key_down Left
sleep 0.6
key_up Left
wait_screen result_third 60 "$gameover_image" "$first_counter_label"
# The game's result screen, then the library screen's panel: the first run is the best.
wait_text "the result panel" 15 'New best'
key_tap Escape
quit_from_list
[ "$(sqlite3 "$db" 'SELECT COUNT(*) FROM results WHERE replay IS NOT NULL;')" = 1 ] \
  || fail "the first run was not kept as the best: $(sqlite3 "$db" 'SELECT * FROM results;')"

start_game "$work" song.wav
wait_window
wait_screen title_fourth 15 "${title_screen[@]}"
take_keyboard
press_until start_fourth Return 10 "!$title_label" "$first_counter_label"
wait_screen result_fourth 60 "$gameover_image" "$first_counter_label"
kill -KILL "$game_pid"
wait "$game_pid" 2>/dev/null
start_game "$work" song.wav
wait_window
wait_screen title_after_kill 15 "${title_screen[@]}"
grep -q 'kept 1 finished run of sessions whose program had ended before its game' "$game_err" \
  || fail "the killed session's finished run was not kept by the next start"
take_keyboard
key_tap Escape
quit_from_list
[ "$(sqlite3 "$db" 'PRAGMA integrity_check;')" = ok ] || fail "the library is damaged"
[ "$(sqlite3 "$db" 'SELECT COUNT(*), COUNT(DISTINCT session) FROM results;')" = "2|2" ] \
  || fail "the library does not hold one run of each session: $(sqlite3 "$db" 'SELECT * FROM results;')"
[ "$(sqlite3 "$db" 'SELECT COUNT(*) FROM results WHERE replay IS NOT NULL;')" = 1 ] || fail "not one replay kept"
[ "$(find "$XDG_DATA_HOME/velmora/replays" -type f | wc -l)" = 1 ] \
  || fail "the replays folder holds more than the best: $(ls "$XDG_DATA_HOME/velmora/replays")"
best=$(sqlite3 -separator ' ' "$db" 'SELECT hits, score FROM results WHERE replay IS NOT NULL;')
note "results: $(sqlite3 "$db" 'SELECT run, hits, score, ratio, frames FROM results;' | tr '\n' ' '), best $best"
"$build/velmora_play" --list >"$work/list.out" 2>&1 || fail "velmora_play --list failed: $(cat "$work/list.out")"
note "library: $(tail -n 1 "$work/list.out")"
grep -qE ' dynamics +normal +[0-9]+ +[0-9]+\.[0-9]{2}/[0-9]+  [0-9]{4}-' "$work/list.out" || fail "--list shows no best: $(cat "$work/list.out")"

start_game "$work" --replay song.wav
wait_window
wait_screen replayed_best 60 "$gameover_image" "$first_counter_label"
wait_exit 30 0
replayed=$(sed -n -E 's/^velmora: run [0-9]+ ended: ([0-9]+) hits, score ([0-9]+)$/\1 \2/p' "$game_out" | tail -n 1)
note "replayed: $replayed"
[ "$replayed" = "$best" ] || fail "the replay ended with \"$replayed\", the best run with \"$best\": $(cat "$game_out")"
grep -q 'otherwise than recorded' "$game_err" && fail "the replay went otherwise than recorded"
