# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# velmora_play on songs in other formats and rates: 48 kHz Ogg Vorbis, 24-bit
# and floating-point WAV, MP3, Opus and 22050 Hz mono. Each song's first start
# prepares its stage and shows the title, the second takes the stage from the
# cache untouched, and the run it starts really plays the music: SDL's disk
# driver writes what the game sends to the sound device into a file. The
# songs play on the library screen, each run ending on its result panel.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_play velmora_library tests/badinput_sound

command -v tesseract >/dev/null || fail "tesseract is missing (scripts/setup.sh installs it)"

export XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_MUSIC_DIR=$work
stages=$XDG_CACHE_HOME/velmora/stages
# name rate channels frames: two and a half seconds each.
songs=("vorbis48.ogg 48000 2 120000" "pcm24.24.wav 44100 2 110250" "float.float.wav 44100 2 110250"
       "layer3.mp3 44100 2 110250" "opus48.opus 48000 2 120000" "mono22050.wav 22050 1 55125")
for row in "${songs[@]}"; do
  read -r song rate channels frames <<<"$row"
  "$build/tests/badinput_sound" "$work/$song" "$rate" "$channels" "$frames" >"$work/make.out" 2>&1 \
    || fail "badinput_sound $song failed: $(cat "$work/make.out")"
done

start_x
# shellcheck disable=SC2034  # read by start_game
game_program=$build/velmora_play
for row in "${songs[@]}"; do
  read -r song _ <<<"$row"
  known=$(find "$stages" -name '*.pat' 2>/dev/null | sort)

  start_game "$work" "$song"
  wait_window
  wait_screen "title_$song" 15 "${title_screen[@]}"
  take_keyboard
  # The song plays on the library screen: Escape leaves its title for the list.
  key_tap Escape
  quit_from_list
  grep -q "\"$song\": stage prepared" "$game_err" || fail "the first start of $song did not say it prepared the stage"
  stage=$(comm -13 <(echo "$known") <(find "$stages" -name '*.pat' 2>/dev/null | sort))
  [ "$(printf '%s' "$stage" | grep -c .)" -eq 1 ] || fail "$song: not one new stage in the cache: $stage"
  stage_time=$(stat -c %y "$stage")

  rm -f "$work/out.raw"
  export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$work/out.raw
  start_game "$work" "$song"
  export SDL_AUDIODRIVER=dummy
  wait_window
  wait_screen "cached_title_$song" 15 "${title_screen[@]}"
  grep -q "\"$song\": stage found in the cache" "$game_err" || fail "the second start of $song did not take the cached stage"
  grep -q 'stage prepared' "$game_err" && fail "the second start converted $song again"
  [ "$(stat -c %y "$stage")" = "$stage_time" ] || fail "the cached stage of $song was written again"
  # The title is silent, so what the device gets after Return is the run's music.
  [ "$(tr -d '\000' <"$work/out.raw" | head -c 1 | wc -c)" -eq 0 ] || fail "$song: sound on the title screen"
  take_keyboard
  press_until "start_$song" Return 10 "!$title_label" "$first_counter_label"
  # The music starts with the run; the device gets it within a few tenths of a second.
  heard=0
  for _ in $(seq 30); do
    if [ -s "$work/out.raw" ] && [ "$(tr -d '\000' <"$work/out.raw" | head -c 1 | wc -c)" -eq 1 ]; then
      heard=1
      break
    fi
    sleep 0.1
  done
  [ "$heard" -eq 1 ] || fail "$song: the sound device got only silence ($(stat -c %s "$work/out.raw" 2>/dev/null || echo no) bytes)"
  note "$song: music reached the sound device ($(stat -c %s "$work/out.raw") bytes written so far)"
  # The run ends on the screen's result panel; Escape goes to the list.
  wait_text "the result panel of $song" 30 'New best'
  key_tap Escape
  quit_from_list
done
