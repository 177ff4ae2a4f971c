#!/usr/bin/env bash
# Makes the schema 2 song library kept here, with the velmora_play of a build
# that writes schema 2 (run it with such a build, not a newer one):
#   tests/data/library_v2/make_fixture.sh BUILD_DIR
# Two generated songs (make_song --seconds 2 and 3), each prepared in both
# editions; four sessions, each one run played by the game from fed keys
# (headless, its dummy drivers), so the library holds results and the best
# run's replay of each song and edition played. Writes library.sqlite3, the
# replays it names, and list.txt: what that velmora_play --list printed.
set -euo pipefail
build=$(cd "${1:?usage: make_fixture.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy TZ=UTC

g++ -std=c++17 -O1 -I"$source_dir" "$here/make_input.cpp" "$build/results/libresults.a" "$build/vaz/libvaz.a" \
  -lxxhash -o "$work/make_input"
mkdir "$work/songs" "$work/bin"
"$build/make_song" --seconds 2 "$work/songs/short.wav"
"$build/make_song" --seconds 3 "$work/songs/longer.wav"

# velmora_play starts the game beside itself: there, a game fed the keys of
# $FIXTURE_INPUT while velmora_play has it record the session.
cp "$build/velmora_play" "$work/bin/velmora_play"
cat >"$work/bin/velmora" <<GAME
#!/bin/sh
exec "$build/velmora" "\$@" "-replay=\$FIXTURE_INPUT"
GAME
chmod +x "$work/bin/velmora"

"$work/bin/velmora_play" --prepare "$work/songs"
"$work/bin/velmora_play" --prepare --edition zetaflux "$work/songs"

# session SONG EDITION SEED: one run of SONG, steered as SEED says.
session() {
  local hash stage
  hash=$(sqlite3 "$XDG_DATA_HOME/velmora/library.sqlite3" "SELECT hash FROM songs WHERE path = '$work/songs/$1';")
  stage=$XDG_CACHE_HOME/velmora/stages/$hash-$2-v1.pat
  # First the run left alone on its result screen, to learn when it shows.
  "$work/make_input" "$stage" "$3" 3000 "$work/probe.vrp"
  "$build/velmora" "$work/songs/$1" "$stage" -window "-replay=$work/probe.vrp" "-record=$work/probe_rec.vrp" >/dev/null
  local result
  result=$("$work/make_input" --result "$work/probe_rec.vrp")
  "$work/make_input" "$stage" "$3" "$((result + 30))" "$work/input.vrp"
  FIXTURE_INPUT=$work/input.vrp "$work/bin/velmora_play" --edition "$2" "$work/songs/$1"
}
session short.wav standard 1
session short.wav standard 7
session short.wav zetaflux 3
session longer.wav standard 5

db=$XDG_DATA_HOME/velmora/library.sqlite3
# Whole in the one file, with no write-ahead log beside it.
sqlite3 "$db" 'PRAGMA wal_checkpoint(TRUNCATE);' >/dev/null
"$work/bin/velmora_play" --list >"$work/list.txt"
rm -f "$here"/*.vrp
cp "$db" "$here/library.sqlite3"
cp "$XDG_DATA_HOME"/velmora/replays/*.vrp "$here/"
# The songs' folder as a placeholder, for the test to put its own in.
sed "s|$work/songs|SONGS|" "$work/list.txt" >"$here/list.txt"
sqlite3 "$db" 'SELECT song_hash, edition, hits, score, replay FROM results ORDER BY id;'
