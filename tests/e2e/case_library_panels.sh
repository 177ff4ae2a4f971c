# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# The library screen a new player meets, at 1x: a fresh data folder opens on
# the offer of the music folder, with the bundled song listed; Return adds
# the folder and the list shows its songs while they are read. The panel
# beside the list shows the cover art a tagged file holds; no two texts the
# screen draws overlap, whichever of the longest titles of the tests' data
# is highlighted; a run played from the screen ends on the result panel with
# its score and "New best", and Escape goes back to the list.
source "$here/sprites.sh"
require velmora_play velmora_library tests/e2e_tagger
command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_MUSIC_DIR=$work/Music
export VELMORA_LIBRARY_TEXT_LOG=$work/texts.log
mkdir -p "$XDG_MUSIC_DIR/Night Band"
# A solid magenta cover, in the tags of the song that comes first by title.
convert -size 100x80 xc:'#ff00ff' "$work/cover.png" || fail "convert cannot make the cover"
tag() { "$build/tests/e2e_tagger" "$@" || fail "e2e_tagger $1 failed"; }
tag "$XDG_MUSIC_DIR/Night Band/cover.flac" 4 "Aaa Magenta Cover" "Night Band" "Covers" 2001 "$work/cover.png"
# The longest titles, artists and albums of the tests' data, in several scripts.
tag "$XDG_MUSIC_DIR/Night Band/long.flac" 3 "Über die Brücke, und noch viel weiter, immer weiter bis ans Ende der Welt" \
  "Ludwig van Beethoven and the Orchestra of the Age of Enlightenment" "Bagatellen, Rondos und andere Klavierstücke" 1810
tag "$XDG_MUSIC_DIR/Night Band/japanese.ogg" 3 "東京タワーの夜 東京タワーの夜 東京タワーの夜 東京タワーの夜" \
  "夜の楽団とその仲間たち" "東京の夜のアルバム 東京の夜のアルバム" 2010
tag "$XDG_MUSIC_DIR/Night Band/accents.mp3" 3 "Café del Mar Ágætis byrjun Sigur Rós Zoë Keating Into the Trees" \
  "Sigur Rós, Zoë Keating and Friends" "Ágætis byrjun (Deluxe Edition)" 1999
"$build/make_song" --seconds 5 "$XDG_MUSIC_DIR/Night Band/zz short run.wav" >"$work/make_song.out" 2>&1 \
  || fail "make_song failed: $(cat "$work/make_song.out")"

start_x
# shellcheck disable=SC2034  # read by start_game
game_program=$build/velmora_play
start_game "$work"
wait_window
take_keyboard

# The first start: the offer, over the list that holds the bundled song.
wait_text "the music folder's offer" 10 'Add your music folder'
grep -q "$(basename "$XDG_MUSIC_DIR")" "$work/text.txt" || fail "the offer does not name the music folder: $(cat "$work/text.txt")"
grep -q 'test_void' "$work/texts.log" || fail "the bundled song is not listed: $(cat "$work/texts.log")"
key_tap Return
wait_text "the music folder's songs" 20 'Magenta Cover'
grep -q 'test_void' "$work/text.txt" || fail "the bundled song left the list: $(cat "$work/text.txt")"

# The first song by title holds a magenta cover: the panel shows it.
key_tap Home
wait_screen cover_art 10 "all:480,40,88,60:ff00ff"

# No two texts overlap, with each song highlighted in turn.
overlaps() {
  awk '{ x[NR] = $1; y[NR] = $2; w[NR] = $3; h[NR] = $4; $1 = $2 = $3 = $4 = ""; t[NR] = $0 }
       END {
         bad = 0
         for (i = 1; i <= NR; ++i) {
           if (x[i] < 0 || y[i] < 0 || x[i] + w[i] > 640 || y[i] + h[i] > 480) { print "off the screen:" t[i]; bad = 1 }
           for (j = i + 1; j <= NR; ++j)
             if (x[i] < x[j] + w[j] && x[j] < x[i] + w[i] && y[i] < y[j] + h[j] && y[j] < y[i] + h[i]) {
               print "overlap:" t[i] " |" t[j]; bad = 1
             }
         }
         exit bad
       }' "$1"
}
for row in 1 2 3 4 5 6; do
  sleep 0.8
  cp "$work/texts.log" "$work/texts.$row.log"
  [ -s "$work/texts.$row.log" ] || fail "no texts logged for row $row"
  overlaps "$work/texts.$row.log" >"$work/overlaps.txt" || { shot; cp "$work/shot.png" "$shots/overlap-$row.png"; fail "texts overlap on row $row: $(cat "$work/overlaps.txt")"; }
  key_tap Down
done
note "no texts overlap on any of the rows ($(wc -l <"$work/texts.1.log") texts on the first)"

# A run from the screen: the short song, to its end, then the result panel.
xdotool type --delay 150 "zz short"
wait_text "the short song alone" 10 'zz short run'
key_tap Return
wait_screen title 30 "${title_screen[@]}"
press_until start Return 10 "!$title_label" "$first_counter_label"
key_down Left
sleep 0.6
key_up Left
wait_text "the result panel" 60 'New best'
grep -qE 'Score: [0-9]+' "$work/text.txt" || fail "the result panel shows no score: $(cat "$work/text.txt")"
grep -q 'Rate' "$work/text.txt" || fail "the result panel shows no rate: $(cat "$work/text.txt")"
note "result panel: $(tr '\n' '|' <"$work/text.txt")"
key_tap Escape
wait_text "the list again" 10 'zz short run'

quit_by_question
