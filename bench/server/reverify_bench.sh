#!/usr/bin/env bash
# Verifying stored sessions again after the game changes, timed: COUNT
# verified sessions of one stage are stored in a throwaway (durable)
# PostgreSQL cluster, queued with `velmora_server admin reverify --all`, and
# played again by `velmora_server --worker` with the real velmora_verify,
# with 1 and then 2 workers. It fails unless every session verifies again.
#   bench/server/reverify_bench.sh BUILD [COUNT] [crowded|short]
# crowded (default, COUNT 200): the 3-minute standard/hard session of
# tests/data/replaycheck, a re-play's whole cost; short (COUNT 100000): a
# 2-second session of tests/data/library_v2, so the queue, the worker and the
# verifier's start are what is timed. WORKERS="1 2" by default; a 0 among
# them times the queueing alone. Needs make_song, velmora_bc,
# velmora_verify and velmora_server in BUILD.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD [COUNT] [crowded|short]}" && pwd)
kind=${3:-crowded}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
case $kind in
  crowded) count=${2:-200} seconds=180 replay=$source_dir/tests/data/replaycheck/standard_hard_crowded.vrp ;;
  short) count=${2:-100000} seconds=2 replay=$source_dir/tests/data/library_v2/b2b2bbeaa10b46c33f0102f00d206a83-standard-1796787556-18501.vrp ;;
  *) echo "$0: the kind is crowded or short, not \"$kind\"" >&2; exit 2 ;;
esac
psql=/usr/lib/postgresql/15/bin/psql

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora_reverify_bench.XXXXXX")
chmod 755 "$work"  # the cluster's own user must pass through
worker=
cleanup() {
  [ -z "$worker" ] || { kill "$worker" 2>/dev/null; wait "$worker" 2>/dev/null || true; }
  "$source_dir/scripts/pg_cluster.sh" stop "$work/pg" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/make_song" --seconds "$seconds" "$work/song.wav" >/dev/null
"$build/velmora_bc" "$work/song.wav" "$work/stage.pat" --edition standard --difficulty hard >/dev/null
answer=$("$build/velmora_verify" "$work/stage.pat" "$replay") || { echo "$0: the session does not verify: $answer" >&2; exit 1; }
url=$("$source_dir/scripts/pg_cluster.sh" start "$work/pg" | tail -n 1)
"$build/velmora_server" admin audit --database "$url" --by bench >/dev/null  # makes the schema

# The sessions, their runs as the verifier gave them, each of 1,000 players'
# best and the board's buckets as schema step 5 counts them.
# The files' bytes come through psql's own reading, past any argument's limit.
STAGE_FILE=$work/stage.pat REPLAY_FILE=$replay "$psql" -X -q -v ON_ERROR_STOP=1 -d "$url" -v count="$count" \
  -v answer="$answer" <<'SQL'
\set stage_bytes `base64 -w0 "$STAGE_FILE"`
\set replay_bytes `base64 -w0 "$REPLAY_FILE"`
INSERT INTO players (name, name_key, token_hash)
  SELECT 'p' || i, 'p' || i, decode(md5(i::text), 'hex') FROM generate_series(1, 1000) i;
INSERT INTO stages (hash, bytes, events, edition, difficulty)
  VALUES ((:'answer')::json ->> 'stage', decode(:'stage_bytes', 'base64'), 0, 'standard', 'hard');
INSERT INTO replays (hash, bytes) SELECT 'bench' || i, decode(:'replay_bytes', 'base64') FROM generate_series(1, :count) i;
INSERT INTO sessions (player, stage, replay, edition, difficulty, updates, status, submitted_at, logic_version)
  SELECT 1 + i % 1000, (:'answer')::json ->> 'stage', 'bench' || i, 'standard', 'hard',
         ((:'answer')::json ->> 'session_updates')::bigint, 'verified', 1800000000000000 + i,
         ((:'answer')::json ->> 'logic_version')::integer
  FROM generate_series(1, :count) i;
INSERT INTO runs (session, run, hits, score, ratio, updates, played_at)
  SELECT s.id, (r ->> 'run')::integer, (r ->> 'hits')::integer, (r ->> 'score')::integer, (r ->> 'ratio')::float8,
         (r ->> 'updates')::bigint, s.submitted_at
  FROM sessions s CROSS JOIN json_array_elements((:'answer')::json -> 'runs') r;
INSERT INTO bests (stage, edition, difficulty, player, session, run, ratio, hits, score, played_at)
  SELECT DISTINCT ON (s.player) s.stage, s.edition, s.difficulty, s.player, r.session, r.run, r.ratio, r.hits, r.score, r.played_at
  FROM sessions s JOIN runs r ON r.session = s.id ORDER BY s.player, r.ratio DESC, r.hits, r.played_at, r.session, r.run;
INSERT INTO board_buckets (stage, edition, difficulty, level, bucket, players)
  SELECT b.stage, b.edition, b.difficulty, l.level, ratio_key(b.ratio) >> l.shift, count(*)
  FROM bests b CROSS JOIN (VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift) GROUP BY 1, 2, 3, 4, 5;
ANALYZE;
SQL

sql() { "$psql" -X -q -t -A -d "$url" -c "$1"; }
now() { date +%s.%N; }
echo "$count $kind sessions ($(stat -c %s "$replay") bytes of replay, $(sql "SELECT count(*) FROM runs WHERE session = 1") runs each)"
# The CPU this shell's waited-for children (the worker and its re-plays) have used, in seconds.
# (times must run in this shell, not in a command substitution's.)
children_cpu() {
  times >"$work/times"
  tail -n 1 "$work/times" | awk '{ split($1, u, "m"); split($2, s, "m"); print u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}
for workers in ${WORKERS:-1 2}; do
  t0=$(now)
  "$build/velmora_server" admin reverify --all --database "$url" --by bench >/dev/null
  t1=$(now)
  if [ "$workers" = 0 ]; then
    awk -v t0="$t0" -v t1="$t1" 'BEGIN { printf "queued in %.2f s\n", t1 - t0 }'
    sql "UPDATE sessions SET status = 'verified', recheck = false" >/dev/null
    continue
  fi
  children_cpu >"$work/cpu0"
  "$build/velmora_server" --worker --database "$url" --workers "$workers" --verifier "$build/velmora_verify" 2>"$work/worker.log" &
  worker=$!
  while [ "$(sql "SELECT count(*) FROM sessions WHERE recheck")" != 0 ]; do
    kill -0 "$worker" 2>/dev/null || { echo "$0: the worker ended:" >&2; cat "$work/worker.log" >&2; exit 1; }
    sleep 0.5
  done
  t2=$(now)
  kill "$worker"
  wait "$worker" || true
  worker=
  children_cpu >"$work/cpu1"
  cpu=$(awk -v a="$(cat "$work/cpu0")" -v b="$(cat "$work/cpu1")" 'BEGIN { print b - a }')
  wrong=$(sql "SELECT count(*) FROM sessions WHERE status <> 'verified' OR hidden")
  [ "$wrong" = 0 ] || { echo "$0: $wrong sessions did not verify again" >&2; exit 1; }
  awk -v w="$workers" -v n="$count" -v t0="$t0" -v t1="$t1" -v t2="$t2" -v cpu="$cpu" -v load="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
    t = t2 - t1
    printf "%d worker(s): queued in %.2f s, verified again in %.1f s: %.1f sessions/s, 100,000 in %.2f h;" \
      " %.0f ms of CPU a session (worker and re-play); load average %s at the end\n",
      w, t1 - t0, t, n / t, 100000 / (n / t) / 3600, cpu * 1000 / n, load }'
done
