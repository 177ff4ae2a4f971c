#!/usr/bin/env bash
# Checks every row of the table in tests/badinput/README.md (under "## The
# table"; BADINPUT_README names another file) against the built programs:
# each row names a case set up below; the case is run with every program the
# row names, and what it printed, on which stream, and how it
# ended are compared with the row. A row naming no case here, a case with no
# row, a malformed row or a case that cannot be set up fails the check.
#
# Needs VELMORA_BUILD_DIR, VELMORA_SOURCE_DIR, BADINPUT_SOUND (the tone
# writer), BADINPUT_REPLAY (the replay writer) and the two libraries preloaded into the game,
# BADINPUT_RECORD_VIDEO_MODE and BADINPUT_FAIL_VIDEO_MODE; CTest sets them.
# BADINPUT_INSTALLED_SHEET names the sheet an install would put in place.
set -uo pipefail
shopt -u patsub_replacement 2>/dev/null

build=${VELMORA_BUILD_DIR:?VELMORA_BUILD_DIR must name the build folder}
source_dir=${VELMORA_SOURCE_DIR:?VELMORA_SOURCE_DIR must name the source folder}
readme=${BADINPUT_README:-$source_dir/tests/badinput/README.md}
make_sound=${BADINPUT_SOUND:?BADINPUT_SOUND must name the badinput_sound program}
make_replay=${BADINPUT_REPLAY:?BADINPUT_REPLAY must name the badinput_replay program}
record_video_mode=${BADINPUT_RECORD_VIDEO_MODE:?BADINPUT_RECORD_VIDEO_MODE must name the recording library}
fail_video_mode=${BADINPUT_FAIL_VIDEO_MODE:?BADINPUT_FAIL_VIDEO_MODE must name the refusing library}
installed_sheet=${BADINPUT_INSTALLED_SHEET:-}

# The table's texts are those of this locale: UTF-8 messages, untranslated
# system texts.
export LC_ALL=C.UTF-8 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
unset LANGUAGE LD_PRELOAD

end_limit=20  # seconds a failing run may take before it counts as hanging
quit_after=1  # seconds a running game is left alone with its window before it is asked to quit

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-badinput.XXXXXX")
admin_cluster=  # a PostgreSQL cluster's folder, once a case has made one
trap '[ -z "$admin_cluster" ] || "$source_dir/scripts/pg_cluster.sh" stop "$admin_cluster" >/dev/null 2>&1; rm -rf "$work"' EXIT
src=$work/src      # converter sources
stage=$work/stage  # the game's working folder: music, pattern file, data/p.bmp

# --- running the programs ---------------------------------------------------

# Set by the checker before each case, read by the run helpers.
prog=          # the program under test
expect_runs=0  # 1 when the row says the game keeps running until it is asked to quit
# Set by a case.
file=          # the path the messages name (FILE in the table)
setup_error=   # why the case could not be set up
game_dir=      # the game's working folder, $stage when empty
game_program=  # another copy of the game to run instead of $prog
game_preload=  # the library preloaded into the game, the mode recorder when empty
game_env=()    # env(1) arguments for the game: -u NAME, then NAME=value pairs
bc_file_limit= # KiB the converter's files may hold (ulimit -f), unlimited when empty
# Set by the run helpers.
ran=0
status=
elapsed_ms=
alive_at_quit=0
bc_dir=
bc_before=

# launch DIR COMMAND...: runs COMMAND in DIR. A run expected to end is given
# end_limit seconds; one expected to keep running is asked to quit (SIGTERM,
# as a window manager would) once it has opened its window and run for
# quit_after more seconds. SIGKILL follows 5 s after any SIGTERM.
launch() {
  local dir=$1 t0 now seen_mode=
  shift
  t0=$(date +%s%N)
  (
    cd "$dir" || exit 126
    if [ -n "$bc_file_limit" ]; then
      ulimit -f "$bc_file_limit"
      trap '' XFSZ # a full file must fail the write, not end the process
    fi
    exec timeout -k 5 -s TERM --preserve-status "$end_limit" "$@"
  ) >"$work/out" 2>"$work/err" </dev/null &
  local pid=$!
  alive_at_quit=0
  if [ "$expect_runs" = 1 ]; then
    while kill -0 "$pid" 2>/dev/null; do
      now=$(date +%s%N)
      [ -z "$seen_mode" ] && [ -s "$work/video_mode" ] && seen_mode=$now
      if [ -n "$seen_mode" ] && [ $(((now - seen_mode) / 1000000)) -ge $((quit_after * 1000)) ]; then
        alive_at_quit=1
        kill -TERM "$pid" # timeout passes it on to the program
        break
      fi
      sleep 0.1
    done
  fi
  wait "$pid"
  status=$?
  elapsed_ms=$((($(date +%s%N) - t0) / 1000000))
  ran=1
}

snapshot() { (cd "$1" && { find . -type d; find . ! -type d ! -type f; find . -type f -exec md5sum {} +; } | sort); }

# run_bc ARGS...: the converter in a fresh folder holding an old pattern file
# old.pat and an empty folder, folder/. Relative output paths land there.
run_bc() {
  bc_dir=$work/bc.$RANDOM$RANDOM
  mkdir -p "$bc_dir/folder"
  printf '\001\377\377\377\377' >"$bc_dir/old.pat"
  bc_before=$(snapshot "$bc_dir")
  launch "$bc_dir" "$prog" "$@"
}

# run_game ARGS...: the game in $stage (or $game_dir), with the mode recorder
# (or $game_preload) preloaded.
run_game() {
  rm -f "$work/video_mode"
  launch "${game_dir:-$stage}" env "${game_env[@]}" \
    ASAN_OPTIONS=verify_asan_link_order=0 \
    LD_PRELOAD="${game_preload:-$record_video_mode}" \
    BADINPUT_VIDEO_MODE_LOG="$work/video_mode" \
    "${game_program:-$prog}" "$@"
}

cannot_set_up() {
  setup_error=$1
  return 1
}

# --- the cases, one per table row --------------------------------------------

case_bc.args.none() { run_bc; }
case_bc.args.one() { run_bc "$src/short.wav"; }
case_bc.args.three() { run_bc "$src/short.wav" out.pat extra; }
case_bc.args.threads() { run_bc "$src/short.wav" out.pat --threads 0; }
case_bc.args.edition() { run_bc "$src/short.wav" out.pat --edition dynamic; }
# The same text for every wrong count; each run is compared with the row.
case_bc.args.zetaflux() {
  run_bc && check_run &&
    run_bc "$src/short.wav" && check_run &&
    run_bc "$src/short.wav" out.pat extra
}
case_bc.source.missing() { run_bc "$src/missing.wav" old.pat; }
case_bc.source.folder() { run_bc "$src" old.pat; }
case_bc.source.empty() {
  : >"$src/empty.wav"
  run_bc "$src/empty.wav" old.pat
}
case_bc.source.fifo() {
  [ -p "$src/pipe.wav" ] || mkfifo "$src/pipe.wav" || return
  run_bc "$src/pipe.wav" old.pat
}
case_bc.source.device() {
  ln -sf /dev/zero "$src/zero.wav" || return
  run_bc "$src/zero.wav" old.pat
}
case_bc.source.not_sound() {
  echo "not a sound" >"$src/text.wav"
  run_bc "$src/text.wav" old.pat
}
case_bc.source.no_samples() {
  "$make_sound" "$src/nothing.wav" 44100 2 0 || return
  run_bc "$src/nothing.wav" old.pat
}
case_bc.source.cut_wav() {
  head -c "$(($(stat -c %s "$src/two_seconds.wav") / 3))" "$src/two_seconds.wav" >"$src/cut.wav"
  run_bc "$src/cut.wav" old.pat
}
case_bc.source.cut_flac() {
  head -c "$(($(stat -c %s "$src/two_seconds.flac") / 3))" "$src/two_seconds.flac" >"$src/cut.flac"
  run_bc "$src/cut.flac" old.pat
}
case_bc.rate.48000() {
  "$make_sound" "$src/48k.wav" 48000 2 48000 || return
  run_bc "$src/48k.wav" old.pat
}
case_bc.output.no_folder() { run_bc "$src/short.wav" missing/out.pat; }
case_bc.output.folder() { run_bc "$src/short.wav" folder; }
case_bc.output.empty_name() { run_bc "$src/short.wav" ""; }
case_bc.output.is_source() {
  cp "$src/short.wav" "$src/same.wav" && ln -sf same.wav "$src/same_link.wav" || return
  local before out
  before=$(md5sum <"$src/same.wav")
  for out in "$src/same.wav" "$src/./same.wav" "$src/same_link.wav"; do
    run_bc "$src/same.wav" "$out" || return
    [ "$(md5sum <"$src/same.wav")" = "$before" ] || cannot_set_up "writing to $out changed the source" || return
    [ "$out" = "$src/same_link.wav" ] || check_run || return
  done
}
# The arguments guessed: the output is the user's other music.
case_bc.output.not_pattern() {
  cp "$src/short.wav" "$src/other.wav" || return
  local before
  before=$(md5sum <"$src/other.wav")
  run_bc "$src/short.wav" "$src/other.wav" || return
  if [ "$(md5sum <"$src/other.wav")" != "$before" ]; then
    fail "$row_id ($(basename "$prog")): the run replaced the other music"
    return 1
  fi
}
case_bc.output.dev_full() {
  [ -c /dev/full ] || cannot_set_up "there is no /dev/full" || return
  run_bc "$src/short.wav" /dev/full
}
case_bc.output.disk_full() {
  bc_file_limit=1
  run_bc "$src/one_second_mono.wav" old.pat
}

case_game.music.missing() {
  file=missing.wav
  run_game missing.wav good.pat -window
}
case_game.music.not_audio() {
  echo "not a sound" >"$stage/text.wav"
  file=text.wav
  run_game text.wav good.pat -window
}
case_game.music.empty() {
  : >"$stage/empty.wav" && : >"$stage/empty.mp3" || return
  file=empty.wav
  run_game empty.wav good.pat -window && check_run || return
  file=empty.mp3
  run_game empty.mp3 good.pat -window
}
case_game.music.fifo() {
  [ -p "$stage/pipe.wav" ] || mkfifo "$stage/pipe.wav" || return
  file=pipe.wav
  run_game pipe.wav good.pat -window
}
case_game.music.folder() {
  mkdir -p "$stage/folder"
  file=folder
  run_game folder good.pat -window
}
case_game.music.first() {
  file=missing.wav
  run_game missing.wav missing.pat -window
}
# Formats the game's old mixer refused; they play now, as the converter reads them.
case_game.music.float_wav() {
  "$make_sound" "$stage/song.float.wav" 48000 2 48000 || { cannot_set_up "cannot write a float WAV"; return; }
  run_game song.float.wav good.pat -window
}
case_game.music.opus() {
  "$make_sound" "$stage/song.opus" 48000 2 48000 || { cannot_set_up "cannot write an Opus file"; return; }
  run_game song.opus good.pat -window
}
case_game.pattern.missing() {
  file=missing.pat
  run_game song.wav missing.pat -window
}
case_game.pattern.folder() {
  mkdir -p "$stage/folder"
  file=folder
  run_game song.wav folder -window
}
# pattern_case NAME BYTES: the game with a pattern file of those bytes (printf escapes).
pattern_case() {
  # shellcheck disable=SC2059  # the bytes are the format
  printf "$2" >"$stage/$1"
  file=$1
  run_game song.wav "$1" -window
}
case_game.pattern.empty() { pattern_case empty.pat ''; }
case_game.pattern.count0() { pattern_case count0.pat '\000\377\377\377\377'; }
case_game.pattern.count3() { pattern_case count3.pat '\003\377\377\377\377\377\377\377\377\377\377\377\377'; }
case_game.pattern.count255() { pattern_case count255.pat '\377\377\377\377\377'; }
# One whole record (time 5, angle 0, speed 1), then the end of the file.
case_game.pattern.no_terminator() { pattern_case unterminated.pat '\001\005\000\000\000\000\000\000\000\000\000\200\077'; }
case_game.pattern.no_second_terminator() { pattern_case one_terminator.pat '\002\377\377\377\377'; }
# A time and half an angle.
case_game.pattern.cut_record() { pattern_case cut.pat '\001\005\000\000\000\000\000'; }
# Two groups announced, the file ends inside the first.
case_game.pattern.cut_record_first_of_two() { pattern_case cut1of2.pat '\002\005\000\000\000\000\000'; }
case_game.pattern.cut_record_2() { pattern_case cut2.pat '\002\377\377\377\377\005\000\000\000\000\000\000\000'; }
# A working folder whose data/p.bmp is not a picture.
unreadable_sheet() {
  game_dir=$work/bad_sheet
  mkdir -p "$game_dir/data"
  echo "not a picture" >"$game_dir/data/p.bmp"
}
case_game.sheet.unreadable() {
  unreadable_sheet
  run_game "$stage/song.wav" "$stage/good.pat" -window
}
case_game.sheet.unreadable_demo() {
  unreadable_sheet
  run_game
}
# A copy of the game in a folder with no data/ near it, run from another such
# folder: only an installed sheet could still be found.
sheetless_game() {
  if [ -n "$installed_sheet" ] && [ -e "$installed_sheet" ]; then
    cannot_set_up "a sprite sheet is installed at $installed_sheet, so the game always finds one"
    return
  fi
  mkdir -p "$work/sheetless/bin" "$work/sheetless/run"
  cp "$prog" "$work/sheetless/bin/velmora" || return
  game_program=$work/sheetless/bin/velmora
  game_dir=$work/sheetless/run
}
case_game.sheet.missing() {
  sheetless_game || return
  run_game "$stage/song.wav" "$stage/good.pat" -window
}
case_game.sheet.missing_demo() {
  sheetless_game || return
  run_game
}
case_game.audio.no_device() {
  game_env=(SDL_AUDIODRIVER=no_such_driver)
  run_game song.wav good.pat -window
}
case_game.video.no_driver() {
  game_env=(SDL_VIDEODRIVER=no_such_driver)
  run_game song.wav good.pat -window
}
# With no display SDL falls back to a driver that shows nothing. A private
# runtime folder keeps the Wayland client quiet about a missing one.
case_game.video.no_display() {
  mkdir -p -m 700 "$work/runtime"
  game_env=(-u SDL_VIDEODRIVER -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$work/runtime")
  run_game song.wav good.pat -window
}
case_game.video.silent_display() {
  local n=4711
  [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ] || cannot_set_up "display :$n exists here" || return
  mkdir -p -m 700 "$work/runtime"
  game_env=(-u SDL_VIDEODRIVER -u WAYLAND_DISPLAY DISPLAY=:$n XDG_RUNTIME_DIR="$work/runtime")
  run_game song.wav good.pat -window
}
case_game.video.refused() {
  game_preload=$fail_video_mode
  run_game song.wav good.pat -window
}
# replay_case NAME [ARGS...]: the game replaying $stage/NAME, which must be refused
# before the window opens.
replay_case() {
  file=$1
  run_game song.wav good.pat -window "-replay=$1" "${@:2}" || return
  [ ! -s "$work/video_mode" ] || {
    fail "$row_id: the window opened before the replay was refused"
    return 1
  }
}
# good_replay NAME: a good replay of good.pat in $stage/NAME.
good_replay() { "$make_replay" "$stage/good.pat" "$stage/$1" || cannot_set_up "badinput_replay failed"; }
case_game.replay.missing() { replay_case missing.vrp; }
case_game.replay.empty() {
  : >"$stage/empty.vrp"
  replay_case empty.vrp
}
case_game.replay.fifo() {
  [ -p "$stage/pipe.vrp" ] || mkfifo "$stage/pipe.vrp" || return
  replay_case pipe.vrp
}
case_game.replay.foreign() { replay_case good.pat; }
case_game.replay.truncated() {
  good_replay whole.vrp || return
  head -c 50 "$stage/whole.vrp" >"$stage/cut.vrp"
  replay_case cut.vrp
}
case_game.replay.corrupt() {
  good_replay corrupt.vrp || return
  # The seed's first byte, which the checksum covers.
  printf '\125' | dd of="$stage/corrupt.vrp" bs=1 seek=12 conv=notrunc status=none || return
  replay_case corrupt.vrp
}
case_game.replay.newer() {
  good_replay newer.vrp || return
  printf '\003' | dd of="$stage/newer.vrp" bs=1 seek=8 conv=notrunc status=none || return
  replay_case newer.vrp
}
case_game.replay.other_pattern() {
  printf '\002\377\377\377\377\377\377\377\377' >"$stage/other.pat"
  "$make_replay" "$stage/other.pat" "$stage/other.vrp" || cannot_set_up "badinput_replay failed" || return
  replay_case other.vrp
}
# ghost_case NAME: the game racing $stage/NAME, which must be refused before
# the window opens.
ghost_case() {
  file=$1
  run_game song.wav good.pat -window "-ghost=$1" || return
  [ ! -s "$work/video_mode" ] || {
    fail "$row_id: the window opened before the ghost was refused"
    return 1
  }
}
case_game.ghost.missing() { ghost_case missing.vrp; }
case_game.ghost.foreign() { ghost_case good.pat; }
case_game.ghost.other_pattern() {
  printf '\002\377\377\377\377\377\377\377\377' >"$stage/other.pat"
  "$make_replay" "$stage/other.pat" "$stage/other_ghost.vrp" || cannot_set_up "badinput_replay failed" || return
  ghost_case other_ghost.vrp
}
case_game.ghost.no_run() {
  good_replay runless.vrp || return
  ghost_case runless.vrp
}
case_game.record.over_input() {
  file=good.pat
  run_game song.wav good.pat -window -record=good.pat
}
case_game.record.no_folder() {
  file=missing/run.vrp
  run_game song.wav good.pat -window -record=missing/run.vrp
}
case_game.options.one_file() { run_game missing.wav; }
case_game.options.window_alone() { run_game -window; }
case_game.options.unknown() { run_game song.wav good.pat --window; }
case_game.options.capital() { run_game song.wav good.pat -Window; }
case_game.options.third_file() { run_game song.wav good.pat other.pat; }
case_game.options.offset_range() { run_game song.wav good.pat -window -offset=501; }
case_game.options.offset_malformed() { run_game song.wav good.pat -window -offset=12ms; }
case_game.options.offset_demo() { run_game -offset=12ms; }
case_game.options.align_range() { run_game song.wav good.pat -window -align=-30001; }
case_game.options.align_malformed() { run_game song.wav good.pat -window -align=0.5; }
case_game.options.volume_range() { run_game song.wav good.pat -window -volume=101; }
case_game.options.volume_malformed() { run_game song.wav good.pat -window -volume=50%; }
case_game.options.effects_range() { run_game song.wav good.pat -window -effects=101; }
case_game.options.effects_malformed() { run_game song.wav good.pat -window -effects=loud; }
case_game.options.before_files() {
  file=-window
  run_game -window song.wav good.pat
}

# run_play ARGS...: velmora_play in $stage, its song library and replays in
# $work/play_data, its stages in $work/play_cache, its settings in
# $work/play_config.
run_play() {
  launch "$stage" env XDG_DATA_HOME="$work/play_data" XDG_CACHE_HOME="$work/play_cache" \
    XDG_CONFIG_HOME="$work/play_config" "$prog" "$@"
}
case_play.replay.no_best() {
  file=song.wav
  run_play --replay song.wav
}
# kept_best NAME: song.wav prepared, with a best run whose replay the library
# keeps as NAME in its replays folder, which the case then fills. Both of the
# stage a new player plays, the dynamics edition at normal.
play_data=$work/play_data/velmora
kept_best() {
  XDG_DATA_HOME="$work/play_data" XDG_CACHE_HOME="$work/play_cache" "$prog" --prepare "$stage/song.wav" >/dev/null 2>&1 \
    || cannot_set_up "velmora_play --prepare failed" || return
  mkdir -p "$play_data/replays" && rm -f "$play_data/replays/$1" || return
  # A run names the stage it was played on: here the song's own.
  sqlite3 "$play_data/library.sqlite3" "DELETE FROM results; INSERT INTO results (song_hash, edition, difficulty,
    session, run, played_at, hits, score, ratio, frames, offset_ms, replay, stage_hash)
    SELECT hash, 'dynamics', 'normal', 's', 1, 0, 1, 15, 1.0, 60, 0, '$1', (SELECT stage_hash FROM stages
      WHERE song_hash = songs.hash AND edition = 'dynamics' AND difficulty = 'normal') FROM songs;" \
    || cannot_set_up "sqlite3 failed" || return
  file=$play_data/replays/$1
}
# The song's best run names a kept replay that has been damaged since.
case_play.replay.damaged() {
  kept_best best.vrp || return
  "$make_replay" "$stage/good.pat" "$file" || cannot_set_up "badinput_replay failed" || return
  printf '\125' | dd of="$file" bs=1 seek=12 conv=notrunc status=none || return
  run_play --replay song.wav
}
# The library names its best run's replay outside the replays folder.
case_play.replay.outside() {
  kept_best ../outside.vrp || return
  run_play --replay song.wav
}
case_play.replay.fifo() {
  kept_best pipe.vrp || return
  mkfifo "$file" || return
  run_play --replay song.wav
}
# prepared_song: song.wav prepared in the stage a new player plays, with no
# run kept, for velmora_play to race a ghost on.
prepared_song() {
  XDG_DATA_HOME="$work/play_data" XDG_CACHE_HOME="$work/play_cache" "$prog" --prepare "$stage/song.wav" >/dev/null 2>&1 \
    || cannot_set_up "velmora_play --prepare failed" || return
  sqlite3 "$play_data/library.sqlite3" "DELETE FROM results;" || cannot_set_up "sqlite3 failed"
}
case_play.ghost.no_best() {
  prepared_song || return
  file=song.wav
  run_play --ghost best song.wav
}
case_play.ghost.top_offline() {
  prepared_song || return
  file=song.wav
  run_play --ghost top song.wav
}
case_play.ghost.other_stage() {
  prepared_song || return
  # good.pat (one empty group) is not the song's stage.
  good_replay other_ghost.vrp || return
  file=other_ghost.vrp
  run_play --ghost other_ghost.vrp song.wav
}
case_play.ghost.not_replay() {
  prepared_song || return
  file=good.pat
  run_play song.wav --ghost good.pat
}
# watch_case ARGS...: the game watching a good replay of good.pat with ARGS,
# which must be refused before the window opens.
watch_case() {
  good_replay watch.vrp || return
  replay_case watch.vrp "$@"
}
case_game.watch.speed() { watch_case -speed=9; }
case_game.watch.past_end() { watch_case -at=2; }
# A replay whose stage was never prepared: good.pat is no stage of the cache.
case_play.watch.no_stage() {
  good_replay watch.vrp || return
  file=watch.vrp
  run_play --watch watch.vrp
}
# Links to a run: refused as usage before anything is reached, or the
# server (a port nothing listens on) said not to answer.
case_play.link.scheme() { run_play ftp://h/sessions/1; }
case_play.link.no_host() { run_play velmora:///sessions/1; }
case_play.link.no_session() { run_play --watch velmora://h/sessions/; }
case_play.link.traversal() { run_play velmora://h/sessions/../1; }
case_play.link.moment() { run_play 'velmora://h/sessions/1?t=soon'; }
case_play.link.unreachable() { run_play velmora://127.0.0.1:1/sessions/5; }
# The song library cannot be made (its folder's place is a file): the library
# screen opens all the same, shows why, and ends with status 1 when asked to quit.
case_play.library.unopenable() {
  : >"$work/not_a_folder" || return
  file=$work/not_a_folder/velmora
  game_env=(XDG_DATA_HOME="$work/not_a_folder" XDG_CACHE_HOME="$work/play_cache" XDG_CONFIG_HOME="$work/play_config")
  run_game
}
# Without a song velmora_play opens the library screen, which needs a display.
case_play.library.no_display() {
  launch "$stage" env -u SDL_VIDEODRIVER -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$work/play_data" \
    XDG_CACHE_HOME="$work/play_cache" "$prog"
}
case_play.song.fifo() {
  [ -p "$stage/pipe.wav" ] || mkfifo "$stage/pipe.wav" || return
  file=pipe.wav
  run_play pipe.wav
}
case_play.song.device() {
  ln -sf /dev/zero "$stage/zero.wav" || return
  file=zero.wav
  run_play zero.wav
}
case_play.song.empty() {
  : >"$stage/empty.mp3" || return
  file=empty.mp3
  run_play empty.mp3
}
case_play.song.escape_name() {
  : >"$stage/"$'\e'"[2Jempty.mp3" || return
  run_play $'\e[2Jempty.mp3'
}
# Its own data folder, which is a file: the other cases share theirs.
case_play.list.data_file() {
  mkdir -p "$work/data_file" && : >"$work/data_file/velmora" || return
  file=$work/data_file/velmora
  launch "$stage" env XDG_DATA_HOME="$work/data_file" "$prog" --list
}
case_play.settings.fifo() {
  mkdir -p "$work/play_config/velmora" || return
  file=$work/play_config/velmora/settings.conf
  [ -p "$file" ] || mkfifo "$file" || return
  run_play --volume 50
  rm -f "$file"
}
# A music folder holding nothing but a named pipe named like music.
case_play.add.fifo() {
  mkdir -p "$work/fifo_music" && { [ -p "$work/fifo_music/pipe.mp3" ] || mkfifo "$work/fifo_music/pipe.mp3"; } || return
  file=$work/fifo_music
  run_play --add "$file"
}
# A folder its reader may not open: as root, velmora_play runs as nobody,
# in a folder of its own that nobody may enter.
case_play.add.unreadable() {
  local own as=()
  own=$(mktemp -d "${TMPDIR:-/tmp}/velmora-badinput-locked.XXXXXX") || return
  chmod 755 "$own" && mkdir -m 777 "$own/home" && mkdir -m 000 "$own/locked" || return
  [ "$(id -u)" = 0 ] && as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  file=$own/locked
  launch "$stage" "${as[@]}" env HOME="$own/home" XDG_DATA_HOME="$own/home/data" XDG_CACHE_HOME="$own/home/cache" \
    XDG_CONFIG_HOME="$own/home/config" "$prog" --add "$file"
  rm -rf "$own"
}

# The scoreboard server's admin commands. Refused before any database is
# reached: the command, a missing reason or option, a name no player may have.
run_admin() { launch "$work" "$prog" admin "$@"; }
case_server.admin.unknown_command() { run_admin frob --database postgresql:///none; }
case_server.admin.no_database() { run_admin audit; }
case_server.admin.no_reason() { run_admin hide 12 --database postgresql:///none; }
case_server.admin.bad_name() { run_admin rename mira " mira" --database postgresql:///none; }
case_server.admin.unreachable() { run_admin audit --database "postgresql://velmora@/velmora?host=$work/nowhere"; }
# admin_database: a throwaway cluster, made once, its URL in admin_url. As
# root it runs as postgres, which must be let into the work folder.
admin_url=
admin_database() {
  [ -n "$admin_url" ] && return 0
  chmod 755 "$work" || return
  admin_cluster=$work/pg
  admin_url=$("$source_dir/scripts/pg_cluster.sh" start "$admin_cluster" --fast 2>/dev/null | tail -n 1)
  [ -n "$admin_url" ] || cannot_set_up "cannot start a PostgreSQL cluster"
}
case_server.admin.unknown_player() { admin_database && run_admin restrict nobody --reason "a test" --database "$admin_url"; }
case_server.admin.unknown_session() { admin_database && run_admin restore 4242 --database "$admin_url"; }

# --- inputs shared by the cases ----------------------------------------------

prepare() {
  mkdir -p "$src" "$stage/data"
  "$make_sound" "$src/short.wav" 44100 2 1000 &&
    "$make_sound" "$src/one_second_mono.wav" 44100 1 44100 &&
    "$make_sound" "$src/two_seconds.wav" 44100 2 88200 &&
    "$make_sound" "$src/two_seconds.flac" 44100 2 88200 &&
    "$make_sound" "$stage/song.wav" 44100 2 44100 || return
  cp "$source_dir/data/p.bmp" "$stage/data/p.bmp" || return
  printf '\001\377\377\377\377' >"$stage/good.pat" # one empty group
}

# --- reading the table -------------------------------------------------------

failures=0
checked=0
fail() {
  failures=$((failures + 1))
  echo "FAIL: $*"
}

trim() {
  local s=$1
  s=${s#"${s%%[![:space:]]*}"}
  s=${s%"${s##*[![:space:]]}"}
  printf '%s' "$s"
}

# Glob-escapes text so that [[ x == $pattern ]] takes it literally.
literal() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\*/\\*}
  s=${s//\?/\\?}
  s=${s//\[/\\[}
  printf '%s' "$s"
}

# The table's line as a pattern: FILE is the case's path, … any text.
line_pattern() {
  local p
  p=$(literal "$1")
  p=${p//FILE/$(literal "$file")}
  p=${p//…/*}
  printf '%s' "$p"
}

# Row fields of the row being checked.
row_id=
row_stream=
row_status=
row_quit_status=0  # the status a row that keeps running ends with when asked to quit
row_lines=()

# Compares the last run with the row; says what differs. Returns 1 on a mismatch.
check_run() {
  local what
  what="$row_id ($(basename "$prog"))"
  if [ "$ran" != 1 ]; then
    fail "$what: the case ran nothing"
    return 1
  fi
  local ok=1
  local shown=$work/none
  : >"$shown"
  case $row_stream in
    stdout) shown=$work/out ;;
    stderr) shown=$work/err ;;
  esac
  local other
  for other in out err; do
    if [ "$work/$other" != "$shown" ] && [ -s "$work/$other" ]; then
      ok=0
      echo "   unexpected text on std$other:"
      sed 's/^/   | /' "$work/$other"
    fi
  done
  local actual=()
  mapfile -t actual <"$shown"
  if [ -s "$shown" ] && [ "$(tail -c 1 "$shown" | od -An -c | tr -d ' ')" != '\n' ]; then
    ok=0
    echo "   the last line on $row_stream has no line feed"
  fi
  local i n=${#row_lines[@]}
  [ ${#actual[@]} -gt "$n" ] && n=${#actual[@]}
  for ((i = 0; i < n; i++)); do
    local want=${row_lines[i]-} got=${actual[i]-}
    local pattern
    pattern=$(line_pattern "$want")
    # shellcheck disable=SC2053  # the table's line is a pattern
    if [ $i -ge ${#row_lines[@]} ] || [ $i -ge ${#actual[@]} ] || ! [[ $got == $pattern ]]; then
      ok=0
      echo "   line $((i + 1)) on $row_stream:"
      echo "     table: ${row_lines[i]-(no line)}"
      echo "     got:   ${actual[i]-(no line)}"
    fi
  done

  if [ "$expect_runs" = 1 ]; then
    local want_mode=fullscreen
    [[ $row_status == *"in a window"* ]] && want_mode=window
    if [ "$alive_at_quit" != 1 ]; then
      ok=0
      echo "   ended by itself after $elapsed_ms ms with status $status; the table says it keeps running"
    elif [ "$status" -ne "$row_quit_status" ]; then
      ok=0
      echo "   asked to quit, it ended with status $status, not $row_quit_status"
    fi
    local mode
    mode=$(cat "$work/video_mode" 2>/dev/null)
    if [ "$mode" != "$want_mode" ]; then
      ok=0
      echo "   asked for display mode [${mode//$'\n'/, }], the table says $want_mode"
    fi
  else
    if [ "$elapsed_ms" -ge $((end_limit * 1000)) ]; then
      ok=0
      echo "   still running after $end_limit s"
    elif [ "$status" -ne "$row_status" ]; then
      ok=0
      echo "   exit status $status, the table says $row_status"
    fi
  fi

  # Bad files and a missing display are reported before the screen mode
  # changes; only the sheet's check and the refused mode come after it.
  if [ "$expect_runs" != 1 ] && [ -s "$work/video_mode" ]; then
    case $row_id in
      game.sheet.* | game.video.refused) ;;
      game.*)
        ok=0
        echo "   asked for display mode [$(paste -sd, "$work/video_mode")] before it failed"
        ;;
    esac
  fi

  # A failing converter run leaves its folder, old.pat included, as it was.
  if [ -n "$bc_dir" ] && [ "$status" -ne 0 ] && [ "$(snapshot "$bc_dir")" != "$bc_before" ]; then
    ok=0
    echo "   the run changed its folder:"
    diff <(echo "$bc_before") <(snapshot "$bc_dir") | sed 's/^/   | /'
  fi

  checked=$((checked + 1))
  if [ $ok = 1 ]; then
    echo "ok   $what"
    return 0
  fi
  fail "$what: does not match its row"
  return 1
}

# check_row PROGRAMS: runs the row's case with each program and compares its
# last run (a case may compare earlier runs itself).
check_row() {
  local name before
  for name in "$@"; do
    prog=$build/$name
    if [ ! -x "$prog" ]; then
      fail "$row_id: $prog has not been built"
      continue
    fi
    file='' setup_error='' game_dir='' game_program='' game_preload='' bc_file_limit='' bc_dir=''
    game_env=()
    ran=0
    before=$failures
    if ! "case_$row_id"; then
      [ "$failures" -ne "$before" ] || fail "$row_id ($name): cannot be set up${setup_error:+: $setup_error}"
      continue
    fi
    check_run
  done
}

# Parses one table line into the row fields and checks it.
take_row() {
  local line=$1 cells
  IFS='|' read -r -a cells <<<"$line"
  if [ ${#cells[@]} -ne 7 ] || [ -n "$(trim "${cells[0]}")" ]; then
    fail "malformed row (6 cells expected): $line"
    return
  fi
  local id_cell programs_cell stream_cell prints_cell status_cell
  id_cell=$(trim "${cells[1]}")
  programs_cell=$(trim "${cells[2]}")
  stream_cell=$(trim "${cells[4]}")
  prints_cell=$(trim "${cells[5]}")
  status_cell=$(trim "${cells[6]}")

  if ! [[ $id_cell =~ ^\`([a-z0-9_.]+)\`$ ]]; then
    fail "malformed case name: $id_cell"
    return
  fi
  row_id=${BASH_REMATCH[1]}
  if [ -n "${seen[$row_id]-}" ]; then
    fail "$row_id: listed twice"
    return
  fi
  seen[$row_id]=1
  if ! declare -F "case_$row_id" >/dev/null; then
    fail "$row_id: no such case here; add a function case_$row_id to $(basename "$0")"
    return
  fi

  local programs=() token rest=$programs_cell
  while [[ $rest =~ ^\`([a-z_]+)\`(,[[:space:]]*)?(.*)$ ]]; do
    token=${BASH_REMATCH[1]}
    rest=${BASH_REMATCH[3]}
    case $row_id:$token in
      game.*:velmora | bc.*:velmora_bc | bc.*:velmora_bc_zetaflux | play.*:velmora_play | server.*:velmora_server) programs+=("$token") ;;
      *)
        fail "$row_id: $token is not a program this case can run"
        return
        ;;
    esac
  done
  if [ -n "$rest" ] || [ ${#programs[@]} -eq 0 ]; then
    fail "$row_id: malformed program list: $programs_cell"
    return
  fi

  row_lines=()
  if [ "$prints_cell" = nothing ]; then
    if [ "$stream_cell" != "—" ]; then
      fail "$row_id: a row printing nothing has — as its stream"
      return
    fi
  else
    if [ "$stream_cell" != stdout ] && [ "$stream_cell" != stderr ]; then
      fail "$row_id: stream must be stdout or stderr: $stream_cell"
      return
    fi
    local piece
    while IFS= read -r piece; do
      if ! [[ $piece =~ ^\`([^\`]+)\`$ ]]; then
        fail "$row_id: each printed line goes in backticks, lines joined by <br>: $prints_cell"
        return
      fi
      row_lines+=("${BASH_REMATCH[1]}")
    done <<<"${prints_cell//<br>/$'\n'}"
  fi
  row_stream=$stream_cell

  row_quit_status=0
  if [[ $status_cell =~ ^runs\ (full\ screen|in\ a\ window),\ ([0-9]+)\ on\ quit$ ]]; then
    [ "$row_id" = "${row_id#bc.}" ] || {
      fail "$row_id: only the game keeps running"
      return
    }
    expect_runs=1
    row_quit_status=${BASH_REMATCH[2]}
  elif [[ $status_cell =~ ^[0-9]+$ ]]; then
    expect_runs=0
  else
    fail "$row_id: status must be a number or \"runs full screen|in a window, N on quit\": $status_cell"
    return
  fi
  row_status=$status_cell
  check_row "${programs[@]}"
}

# --- main ---------------------------------------------------------------------

[ -f "$readme" ] || {
  echo "FAIL: no $readme"
  exit 1
}
table=$(awk '/^## The table[[:space:]]*$/ { on = 1; next } on && /^## / { exit } on && /^\|/' "$readme")
[ -n "$table" ] || {
  echo "FAIL: $readme has no table under \"## The table\""
  exit 1
}
prepare || {
  echo "FAIL: cannot make the shared inputs"
  exit 1
}

declare -A seen=()
rows=0
while IFS= read -r line; do
  # The header and the separator line.
  [[ $line =~ ^\|[[:space:]]*Case[[:space:]]*\| ]] && continue
  [[ $line =~ ^\|[-:|[:space:]]+$ ]] && continue
  rows=$((rows + 1))
  take_row "$line"
done <<<"$table"

# Every case this script knows must have its row.
while read -r _ _ fn; do
  id=${fn#case_}
  [ "$id" != "$fn" ] || continue
  [ -n "${seen[$id]-}" ] || fail "$id: a known case with no row in the table"
done < <(declare -F)

echo "$rows rows, $checked runs checked, $failures failures"
[ "$failures" -eq 0 ]
