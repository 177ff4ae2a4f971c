# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# A session recorded by the real game with real key presses (two runs, a
# bomb, a pause), sent to the scoreboard server on a throwaway PostgreSQL:
# the server's worker plays it again with velmora_verify and it counts, run
# for run as the game ended them, on the stage's board. The same recording
# with one run's score changed by one, or a key changed in one run, is
# rejected with its reason; with another stage, or cut short, refused at once.
# The board's web page, read by a headless browser, shows the run, and the
# song's title (chosen by whoever sent the stage first) only as text.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song velmora_server velmora_verify tests/replay_edit
command -v chromium >/dev/null || fail "chromium is missing (scripts/setup.sh installs it)"

make_stage 3
"$build/velmora_bc" "$work/song.wav" "$work/other.pat" --edition zetaflux >/dev/null 2>&1 || fail "velmora_bc --edition zetaflux failed"

start_x
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window "-record=$work/run.vrp"
wait_window
wait_screen title 15 "${title_screen[@]}"
take_keyboard
press_until start Return 10 "!$title_label" "$first_counter_label"
key_down Left
sleep 0.5
key_tap space
press_until paused p 5 "$pause_label"
press_until resumed p 5 "!$pause_label"
key_up Left
wait_screen first_result 90 "$gameover_image" "$first_counter_label"
sleep 1
press_until title_again space 10 "${title_screen[@]}"
press_until second_start Return 10 "!$title_label" "$first_counter_label"
key_down Up
sleep 0.6
key_up Up
wait_screen second_result 90 "$gameover_image" "$first_counter_label"
sleep 1
press_until title_last space 10 "${title_screen[@]}"
key_tap Escape
wait_exit 10 0
mapfile -t recorded < <(sed -nE 's/^velmora: run [0-9]+ ended: ([0-9-]+) hits, score ([0-9-]+)$/\1 \2/p' "$game_out")
[ "${#recorded[@]}" -eq 2 ] || fail "the game did not end two runs: $(cat "$game_out")"
note "recorded runs (hits score): ${recorded[*]}"

# Asked for, the usage goes to standard output with status 0; a missing value is a usage error.
"$build/velmora_server" --help >"$work/help.out" 2>&1 || fail "--help failed: $(cat "$work/help.out")"
grep -q '^usage: velmora_server' "$work/help.out" && ! grep -q 'needs a value' "$work/help.out" \
  || fail "--help does not print the usage alone: $(cat "$work/help.out")"
"$build/velmora_server" --database >/dev/null 2>"$work/usage.err"
[ $? -eq 2 ] && grep -q -- '--database needs a value' "$work/usage.err" || fail "a missing value is not a usage error: $(cat "$work/usage.err")"

# The server on a cluster of its own; the scratch folder lets its owner in.
chmod 755 "$work"
url=$("$source_dir/scripts/pg_cluster.sh" start "$work/pg" --fast) || fail "cannot start PostgreSQL"
server_pid=
stop_server() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  "$source_dir/scripts/pg_cluster.sh" stop "$work/pg" >/dev/null 2>&1
}
trap 'status=$?; stop_server; (exit $status); cleanup' EXIT
"$build/velmora_server" --database "$url" --listen 127.0.0.1:0 --workers 1 >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 300); do grep -q 'listening on' "$work/server.out" && break; sleep 0.1; done
port=$(sed -nE 's/.*listening on 127\.0\.0\.1:([0-9]+)$/\1/p' "$work/server.out")
[ -n "$port" ] || fail "the server did not start: $(cat "$work/server.err")"
api=http://127.0.0.1:$port/v1

token=$(curl -sf -H 'Content-Type: application/json' -d '{"name":"recorded"}' "$api/players" | grep -oE '"token":"[0-9a-f]{64}"' | cut -d'"' -f4)
[ -n "$token" ] || fail "no player was made"

# A title that runs a script wherever it is not escaped.
title='<script>document.title="owned"</script><img src=x onerror="document.title=&quot;owned&quot;">'
# submit REPLAY [STAGE]: prints the status line's code, then the body.
submit() {
  curl -s -o "$work/answer.json" -w '%{http_code}' -H "Authorization: Bearer $token" \
    -F "stage=@${2:-$work/song.pat}" -F "replay=@$1" -F edition=standard -F difficulty=hard --form-string "title=$title" \
    "$api/sessions"
}
# settle ID: waits for the session's verdict and prints its answer, as its
# player reads it (the reason is the player's own).
settle() {
  local body
  for _ in $(seq 600); do
    body=$(curl -s -H "Authorization: Bearer $token" "$api/sessions/$1")
    case "$body" in *'"status":"pending"'*) sleep 0.1 ;; *) echo "$body"; return ;; esac
  done
  fail "session $1 still pending after 60 s: $body"
}
session_of() { grep -oE '"session":[0-9]+' "$work/answer.json" | cut -d: -f2; }

[ "$(submit "$work/run.vrp")" = 202 ] || fail "the recorded session was not taken: $(cat "$work/answer.json")"
id=$(session_of)
answer=$(settle "$id")
case "$answer" in *'"status":"verified"'*) ;; *) fail "the recorded session was not verified: $answer" ;; esac
mapfile -t hits < <(grep -oE '"hits":[0-9-]+' <<<"$answer" | cut -d: -f2)
mapfile -t scores < <(grep -oE '"score":[0-9-]+' <<<"$answer" | cut -d: -f2)
[ "${hits[0]} ${scores[0]}" = "${recorded[0]}" ] && [ "${hits[1]} ${scores[1]}" = "${recorded[1]}" ] ||
  fail "the server's runs differ from the game's: $answer"
note "verified: $answer"

stage=$(grep -oE '"stage":"[0-9a-f]{32}"' <<<"$answer" | cut -d'"' -f4)
board=$(curl -s -H "Authorization: Bearer $token" "$api/boards/$stage/standard/hard")
case "$board" in *'"players":1'*'"you":{'*'"rank":1'*) ;; *) fail "the board does not hold the run: $board" ;; esac
curl -sf -o "$work/back.vrp" "$api/sessions/$id/replay" && cmp -s "$work/back.vrp" "$work/run.vrp" || fail "the replay came back otherwise"

"$build/tests/replay_edit" "$work/run.vrp" "$work/score.vrp" score 2 1 || fail "replay_edit score failed"
"$build/tests/replay_edit" "$work/run.vrp" "$work/keys.vrp" keys 1 || fail "replay_edit keys failed"
for edited in score keys; do
  [ "$(submit "$work/$edited.vrp")" = 202 ] || fail "the $edited-changed session was not taken: $(cat "$work/answer.json")"
  answer=$(settle "$(session_of)")
  case "$answer" in *'"status":"rejected"'*) ;; *) fail "the $edited-changed session was not rejected: $answer" ;; esac
  reason=$(grep -oE '"reason":"[^"]+"' <<<"$answer") || fail "the $edited-changed session was rejected without a reason"
  note "$edited changed: $reason"
  case "$(curl -s "$api/sessions/$(session_of)")" in *'"status":"rejected"'*'"reason":""'* | *'"reason":""'*'"status":"rejected"'*) ;;
    *) fail "the $edited-changed session's reason was shown without its player's token" ;; esac
done

[ "$(submit "$work/run.vrp" "$work/other.pat")" = 422 ] && grep -q stage_mismatch "$work/answer.json" ||
  fail "a replay sent with another stage was not refused: $(cat "$work/answer.json")"
head -c -20 "$work/run.vrp" >"$work/cut.vrp"
[ "$(submit "$work/cut.vrp")" = 422 ] && grep -q invalid_replay "$work/answer.json" ||
  fail "a cut replay was not refused: $(cat "$work/answer.json")"
board_after=$(curl -s "$api/boards/$stage/standard/hard")
case "$board_after" in *'"players":1'*) ;; *) fail "a rejected session changed the board: $board_after" ;; esac

# The board's page as a browser builds it: the run's row, the title as text.
timeout 60 chromium --headless --no-sandbox --disable-gpu --user-data-dir="$work/browser" \
  --dump-dom "http://127.0.0.1:$port/boards/$stage/standard/hard" >"$work/page.html" 2>"$work/browser.err" ||
  fail "the browser could not read the board's page: $(tail -n 3 "$work/browser.err")"
grep -q '<td[^>]*>recorded</td>\|>recorded<' "$work/page.html" || fail "the board's page lacks the run's player: $(head -c 2000 "$work/page.html")"
grep -qF '&lt;script&gt;document.title="owned"&lt;/script&gt;' "$work/page.html" ||
  fail "the board's page does not show the title as text: $(head -c 2000 "$work/page.html")"
grep -q '<img\|<script' "$work/page.html" && fail "the title became markup on the board's page"
grep -q '<title>owned</title>' "$work/page.html" && fail "the title's script ran on the board's page"
note "board page: $(grep -c '<tr' "$work/page.html") table rows, the title shown as text"
