# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# Two players (two data folders) and one scoreboard server on a throwaway
# PostgreSQL, each in the library screen with real key presses: each plays
# a run of the same song, sent by itself and shown verified; the second sees
# the first's run on the world board (read by OCR), opens it and watches it
# to its result screen, then races it as a ghost. With the server stopped a third run is queued, and
# reaches the board once the server is back and the screen is started again.
# The two play a FLAC; a third player, online from the settings screen, with
# an MP3 of the same recording that starts 0.5 s later plays their board's
# stage, aligned to the MP3, straight from the list: one board, each local
# best the run its player played, and --board on either file shows all three.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora_play velmora_library make_song velmora_server velmora_verify tests/recode
command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"

music=$work/Music
mkdir -p "$music"
"$build/make_song" --seconds 10 "$work/shared tune.wav" >"$work/make_song.out" 2>&1 \
  || fail "make_song failed: $(cat "$work/make_song.out")"
"$build/tests/recode" "$work/shared tune.wav" "$music/shared tune.flac" || fail "cannot write the FLAC"

# The server on a cluster of its own; the scratch folder lets its owner in.
chmod 755 "$work"
url=$("$source_dir/scripts/pg_cluster.sh" start "$work/pg" --fast) || fail "cannot start PostgreSQL"
server_pid=
start_server() {
  "$build/velmora_server" --database "$url" --listen "127.0.0.1:${1:-0}" --workers 1 >"$work/server.out" 2>>"$work/server.err" &
  server_pid=$!
  # The server waits up to 30 s for its database: a little longer here.
  for _ in $(seq 450); do
    grep -q 'listening on' "$work/server.out" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  port=$(sed -nE 's/.*listening on 127\.0\.0\.1:([0-9]+)$/\1/p' "$work/server.out")
  if [ -z "$port" ]; then
    local state=running
    kill -0 "$server_pid" 2>/dev/null || { wait "$server_pid"; state="ended with status $?"; }
    fail "the server did not start ($state): $(cat "$work/server.err"); PostgreSQL's log ends: $(tail -n 5 "$work/pg/postgresql.log" 2>&1 | tr '\n' '|')"
  fi
}
stop_server() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  server_pid=
}
trap 'status=$?; stop_server; "$source_dir/scripts/pg_cluster.sh" stop "$work/pg" >/dev/null 2>&1; (exit $status); cleanup' EXIT
start_server
server=http://127.0.0.1:$port
start_x

# as PLAYER: the environment of that player's own folders.
as() {
  export XDG_CACHE_HOME=$work/$1/cache XDG_DATA_HOME=$work/$1/data XDG_CONFIG_HOME=$work/$1/config XDG_MUSIC_DIR=$music
}
# The line under the list, as tesseract reads it.
keys_text() {
  shot
  convert "$work/shot.png" -crop 640x24+0+456 -colorspace Gray -negate -resize 300% -threshold 60% "$work/keys.png"
  tesseract "$work/keys.png" - --psm 7 2>/dev/null
}
# open_screen: the library screen of the player set by `as`.
open_screen() {
  # shellcheck disable=SC2034  # read by start_game
  game_program=$build/velmora_play
  start_game "$work"
  wait_window
  take_keyboard
}
# play_run NAME: from the list, the song's run to its result screen and back.
play_run() {
  key_tap Return
  wait_screen "$1-title" 30 "${title_screen[@]}"
  press_until "$1-start" Return 10 "!$title_label" "$first_counter_label"
  key_down Left
  sleep 0.6
  key_up Left
  wait_screen "$1-result" 60 "$gameover_image" "$first_counter_label"
  # The game's result screen, then the screen's own panel; Escape goes back.
  wait_text "$1's result panel" 20 'Score'
  key_tap Escape
}
# take_music_folder: a first start's offer of the music folder, taken.
take_music_folder() {
  wait_text "the offer of $1's music folder" 20 'Add your music folder'
  key_tap Return
}
# find_song: the list narrowed to the shared tune (the bundled song is listed too).
find_song() {
  xdotool type --delay 150 "shared"
  wait_text "the shared tune alone" 30 'shared tune'
}
# quit_screen: Escape (a search typed is cleared first) until the screen
# asks, then Return.
quit_screen() {
  local deadline=$(($(uptime_s) + 15 * time_scale))
  sleep 0.5
  key_tap Escape
  sleep 0.5
  until screen_text >"$work/text.txt" && grep -q 'Quit velmora' "$work/text.txt"; do
    [ "$(uptime_s)" -lt $deadline ] || fail "the screen did not ask before quitting: $(tr '\n' '|' <"$work/text.txt")"
    key_tap Escape
    sleep 0.5
  done
  key_tap Return
  wait_exit 15 0
}

for player in ada bea; do
  as $player
  "$build/velmora_play" --online "$server" --player "$player" >"$work/online.out" 2>&1 \
    || fail "$player could not go online: $(cat "$work/online.out")"
  open_screen
  take_music_folder "$player"
  find_song
  wait_text "$player's list" 20 'board' keys_text
  play_run "$player"
  # Any key puts the keys back in place of the "Kept" message.
  sleep 0.5
  key_tap Down
  # Sent by itself, verified by the server, shown beside the song.
  wait_text "$player's run verified" 60 'Last run ver' keys_text
  [ $player = bea ] && break
  quit_screen
done

# Bea's board holds Ada's run: its place, read on the board screen.
wait_text "two players on the board" 30 'of 2' keys_text
key_tap F6
wait_text "the board with ada" 20 'ada'
"$build/velmora_play" --board "$music/shared tune.flac" >"$work/board.out" 2>&1 || fail "--board failed: $(cat "$work/board.out")"
note "the board: $(tr '\n' '|' <"$work/board.out")"
ada_rank=$(awk '$2 == "ada" {print $1}' "$work/board.out")
[ -n "$ada_rank" ] || fail "ada is not on the board: $(cat "$work/board.out")"
for _ in $(seq $((ada_rank - 1))); do key_tap Down; done
key_tap Return
wait_screen "ada's run watched" 60 "$gameover_image" "$first_counter_label"
# The same result screen as Ada's own: her counters, pixel for pixel.
counters() { convert "$1" -crop 100x70+0+0 +repage "$2"; }
counters "$shots/ada-result.png" "$work/ada-counters.png"
counters "$shots/ada's run watched.png" "$work/watched-counters.png"
differ=$(compare -metric AE "$work/ada-counters.png" "$work/watched-counters.png" /dev/null 2>&1)
[ "$differ" = 0 ] || fail "the watched run's counters differ from Ada's result screen in $differ pixels"
# The replay goes on as Ada did, to her title screen and out: back on the board.
wait_text "the board after the run" 60 'World board'
# G on her run: downloaded, checked and raced in the song's next play, which
# the song panel names.
key_tap g
wait_text "ada's run chosen as the ghost" 30 'Ghost for the next play.*ada'
key_tap Escape
wait_text "the ghost on the song panel" 20 'Ghost: ada'

# The server away: the third run is kept in the queue.
stop_server
play_run bea-offline
db=$XDG_DATA_HOME/velmora/library.sqlite3
sleep 1
[ "$(sqlite3 "$db" "SELECT COUNT(*) FROM submissions WHERE state = 'queued';")" = 1 ] \
  || fail "the offline run is not queued: $(sqlite3 "$db" 'SELECT session, state, reason FROM submissions;')"
quit_screen

# Back, on the same address: the next start sends it.
start_server "$port"
open_screen
find_song
deadline=$(($(uptime_s) + 60))
until [ "$(sqlite3 "$db" "SELECT COUNT(*) FROM submissions WHERE state = 'verified';")" = 2 ]; do
  [ "$(uptime_s)" -lt $deadline ] || fail "the queued run was not sent: $(sqlite3 "$db" 'SELECT session, state, reason FROM submissions;')"
  sleep 0.5
done
wait_text "the third run verified" 30 'Last run ver' keys_text
quit_screen
[ "$(/usr/lib/postgresql/15/bin/psql -X -q -t -A -d "$url" -c "SELECT count(*) FROM sessions WHERE status = 'verified'")" = 3 ] \
  || fail "the server does not hold three verified sessions"

cy_music=$work/cy-music
mkdir -p "$cy_music"
sox "$work/shared tune.wav" "$work/later tune.wav" pad 0.5 0 || fail "cannot add silence to the tune"
"$build/tests/recode" "$work/later tune.wav" "$cy_music/shared tune.mp3" || fail "cannot write the MP3"
as cy
export XDG_MUSIC_DIR=$cy_music
"$build/velmora_play" --prepare "$cy_music/shared tune.mp3" >"$work/prepare.out" 2>&1 || fail "cannot prepare the MP3: $(cat "$work/prepare.out")"
open_screen
take_music_folder cy
find_song
# Offline, the settings screen is as it always was: no scoreboard rows.
key_tap F4
wait_text "the settings without a server" 10 'Window scale'
grep -qi 'scoreboard' "$work/text.txt" && fail "the settings show the scoreboard with no server set: $(tr '\n' '|' <"$work/text.txt")"
# Online from there: O, then the server and the name typed.
key_tap o
sleep 0.5
xdotool type --delay 60 "$server"
key_tap Return
sleep 0.5
xdotool type --delay 60 cyd
key_tap Return
wait_text "cyd online from the settings" 20 'Playing online as cyd'
grep -qi 'Scoreboard server' "$work/text.txt" || fail "the settings do not show the server set: $(tr '\n' '|' <"$work/text.txt")"
[ "$(stat -c %a "$XDG_CONFIG_HOME/velmora/online.conf")" = 600 ] || fail "the account file is not the player's alone"
key_tap Escape
# Return on the song: the board's stage, aligned to this file.
play_run cy
sleep 0.5
key_tap Down
wait_text "cy's run verified" 60 'Last run ver' keys_text
quit_screen
cy_db=$XDG_DATA_HOME/velmora/library.sqlite3
align=$(sqlite3 "$cy_db" "SELECT clear, offset_ms FROM board_stages;")
awk -F'|' '$1 == 1 && $2 > 495 && $2 < 505 {ok = 1} END {exit !ok}' <<<"$align" \
  || fail "the MP3 is not aligned to the board's stage within 5 ms of the 0.5 s put in: $align"
# Each player's local best is the run that player played, as the board has it.
for pair in ada:ada cy:cyd; do
  kept=$(sqlite3 "$work/${pair%%:*}/data/velmora/library.sqlite3" "SELECT hits || ' ' || score FROM results;")
  ranked=$(/usr/lib/postgresql/15/bin/psql -X -q -t -A -d "$url" \
    -c "SELECT b.hits || ' ' || b.score FROM bests b JOIN players p ON p.id = b.player WHERE p.name = '${pair#*:}'")
  [ -n "$kept" ] && [ "$kept" = "$ranked" ] || fail "${pair%%:*}'s kept run ($kept) is not the one on the board ($ranked)"
done
for file in "$music/shared tune.flac" "$cy_music/shared tune.mp3"; do
  "$build/velmora_play" --board "$file" >"$work/board.out" 2>&1 || fail "--board failed: $(cat "$work/board.out")"
  for player in ada bea cyd; do
    grep -qw "$player" "$work/board.out" || fail "--board on $(basename "$file") does not show $player: $(cat "$work/board.out")"
  done
done
boards=$(/usr/lib/postgresql/15/bin/psql -X -q -t -A -d "$url" -c "SELECT count(DISTINCT stage) || ' ' || count(*) FROM bests")
[ "$boards" = "1 3" ] || fail "the three players are not on one board (boards, bests): $boards"
