# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# A run on a short stage recorded with real key presses (-record), then played
# back (-replay) while being recorded again: the replay must end the run with
# the same counters, and the second recording must be the first byte for byte,
# so every update of the replay saw the keys the recorded one saw. Watched
# with itself as a ghost, the run shows the ghost's difference line.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc make_song

make_stage 3

start_x
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window "-record=$work/run.vrp"
wait_window
wait_screen title 15 "${title_screen[@]}"
take_keyboard
press_until start Return 10 "!$title_label" "$first_counter_label"
# Steer about, so hits, grazes and their effects differ from a still ship.
key_down Left
sleep 0.7
key_down Up
sleep 0.4
key_up Left
sleep 0.3
key_up Up
key_down d
sleep 0.5
key_tap space
key_up d
wait_screen recorded_result 90 "$gameover_image" "$first_counter_label"
sleep 1
press_until title_again space 10 "${title_screen[@]}"
key_tap Escape
wait_exit 10 0
cp "$game_out" "$work/record.out"
[ -s "$work/run.vrp" ] || fail "the recording wrote no replay file"
recorded=$(grep -E '^velmora: run 1 ended: ' "$work/record.out") || fail "the recording printed no run summary: $(cat "$work/record.out")"
note "recorded: $recorded; $(grep -E '^velmora: wrote replay' "$work/record.out")"
[ "$recorded" != "velmora: run 1 ended: 0 hits, score 0" ] || fail "the recorded run has nothing to compare"

# The replay ignores the keyboard but for Escape and P, and quits after its
# last update; a pause and a resume change none of its updates.
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window "-replay=$work/run.vrp" "-record=$work/again.vrp"
wait_window
take_keyboard
wait_screen replay_play 15 "!$title_label" "$first_counter_label"
press_until replay_paused p 5 "$pause_label"
press_until replay_resumed p 5 "!$pause_label"
# Keys held during a replay change nothing.
key_down Right
wait_screen replayed_result 60 "$gameover_image" "$first_counter_label"
key_up Right
wait_exit 30 0
replayed=$(grep -E '^velmora: run 1 ended: ' "$game_out") || fail "the replay printed no run summary: $(cat "$game_out")"
note "replayed: $replayed"
[ "$replayed" = "$recorded" ] || fail "the replay ended its run otherwise: \"$replayed\", recorded \"$recorded\""
cmp -s "$work/run.vrp" "$work/again.vrp" || fail "recording the replay gave another file than the recording"

# The difference line is drawn top right in the game's pixel letters (read
# enlarged without smoothing); the counters' own "HITS" are top left.
ghost_line() {
  shot && convert "$work/shot.png" -gravity northeast -crop 50%x25%+0+0 +repage -filter point -resize 500% \
    -colorspace gray -threshold 30% -negate "$work/all.png" && tesseract "$work/all.png" - --psm 11 2>/dev/null | tr '\n' ' '
}
start_game "$source_dir" "$work/song.wav" "$work/song.pat" -window "-replay=$work/run.vrp" -watch "-ghost=$work/run.vrp" -ghost-name=TOP
wait_window
wait_text "the ghost's difference line" 30 'HITS.*[VW]S' ghost_line
note "ghost line read: $(cat "$work/text.txt")"
key_tap Escape
wait_exit 10 0
