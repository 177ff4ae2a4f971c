# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora_play on a short generated song, twice: the first start prepares the
# stage and the second takes it from the cache, converting nothing; both open
# the game's window on its title screen. Then the results of two played
# sessions, one ended by killing the game, and the best run's replay. No
# settings are saved, so it is all a new player's stage: the dynamics edition
# at normal.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_play make_song
command -v sqlite3 >/dev/null || fail "sqlite3 is missing (scripts/setup.sh installs it)"

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
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
  key_tap Escape
  wait_exit 5 0

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
grep -q "never" "$work/list.out" && fail "the song library has no start recorded: $(cat "$work/list.out")"
note "library: $(tail -n 1 "$work/list.out")"

# Results and replays. A third session plays a run to its result screen; a
# fourth plays one and has the game killed in the middle of the next: each
# keeps its finished run. Then the best run's replay reaches its counters.
db=$XDG_DATA_HOME/velmora/library.sqlite3
# play_run NAME: from the title, a run steered a little, its result screen, the title again.
play_run() {
  press_until "start_$1" Return 10 "!$title_label" "$first_counter_label"
  key_down Left
  sleep 0.6
  key_up Left
  wait_screen "result_$1" 60 "$gameover_image" "$first_counter_label"
  sleep 1.2
  press_until "title_after_$1" space 10 "${title_screen[@]}"
}
# The game's own line for its run, and velmora_play's for the same run.
run_counters() { sed -n -E 's/^velmora: run 1 ended: ([0-9]+) hits, score ([0-9]+)$/\1 \2/p' "$1"; }
kept_counters() { sed -n -E 's/^  run 1: ([0-9]+) hits, score ([0-9]+), .*/\1 \2/p' "$1"; }

start_game "$work" song.wav
wait_window
wait_screen title_third 15 "${title_screen[@]}"
take_keyboard
play_run third
key_tap Escape
wait_exit 10 0
cp "$game_out" "$work/third.out"
grep -q '^Runs this session ("song.wav", dynamics edition, normal):$' "$work/third.out" || fail "no session report: $(cat "$work/third.out")"
[ -n "$(run_counters "$work/third.out")" ] || fail "the game reported no run: $(cat "$work/third.out")"
[ "$(kept_counters "$work/third.out")" = "$(run_counters "$work/third.out")" ] \
  || fail "velmora_play kept other counters than the game showed: $(cat "$work/third.out")"
grep -q '(new best, this session); replay kept$' "$work/third.out" || fail "the first run was not kept as the best: $(cat "$work/third.out")"

start_game "$work" song.wav
wait_window
wait_screen title_fourth 15 "${title_screen[@]}"
take_keyboard
play_run fourth
press_until start_killed Return 10 "!$title_label" "$first_counter_label"
sleep 1
game=$(pgrep -P "$game_pid")
[ -n "$game" ] || fail "no game process under velmora_play"
kill -KILL "$game"
wait_exit 10 1
grep -q '^velmora_play: the game was ended by signal 9 (Killed)$' "$game_err" || fail "the kill was not reported"
[ "$(kept_counters "$game_out")" = "$(run_counters "$game_out")" ] || fail "the finished run was not kept: $(cat "$game_out")"
grep -q '^  run 2:' "$game_out" && fail "the killed run was kept: $(cat "$game_out")"
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
