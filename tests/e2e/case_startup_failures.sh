# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# Every start-up failure: one line on standard error naming the file, status 1.
require velmora make_song
start_x

"$build/make_song" --seconds 2 "$work/good.wav" >/dev/null 2>&1 || fail "make_song failed"
printf '\001\377\377\377\377' >"$work/good.pat"                 # one empty group
: >"$work/empty.pat"
printf '\000' >"$work/count0.pat"
printf '\003\377\377\377\377\377\377\377\377\377\377\377\377' >"$work/count3.pat"
printf '\002\377\377\377\377' >"$work/no_second_terminator.pat"
printf '\001\000\000\000\000\000\000' >"$work/cut_record.pat"    # time, then half an angle
echo "not a sound" >"$work/not_audio.wav"

# expect_failure DIR WORD ARGS...: velmora run in DIR ends with status 1 and
# exactly one line on standard error, which contains WORD.
expect_failure() {
  local dir=$1 word=$2
  shift 2
  local status=0
  (cd "$dir" && exec timeout 20 "$velmora" "$@") >"$work/fail.out" 2>"$work/fail.err" || status=$?
  local lines
  lines=$(wc -l <"$work/fail.err")
  if [ "$status" -ne 1 ] || [ "$lines" -ne 1 ] || ! grep -qF -- "$word" "$work/fail.err"; then
    echo "   standard error:" >&2
    sed 's/^/   | /' "$work/fail.err" >&2
    fail "velmora $* (in $dir): status $status, $lines line(s) on standard error; expected status 1 and one line naming $word"
  fi
  note "velmora $*: $(cat "$work/fail.err")"
}

velmora=$build/velmora
expect_failure "$source_dir" missing.wav "$work/missing.wav" "$work/good.pat" -window
# The music is opened before the pattern file is looked at.
expect_failure "$source_dir" missing.wav "$work/missing.wav" "$work/missing.pat" -window
expect_failure "$source_dir" not_audio.wav "$work/not_audio.wav" "$work/good.pat" -window
expect_failure "$source_dir" missing.pat "$work/good.wav" "$work/missing.pat" -window
expect_failure "$source_dir" empty.pat "$work/good.wav" "$work/empty.pat" -window
expect_failure "$source_dir" count0.pat "$work/good.wav" "$work/count0.pat" -window
expect_failure "$source_dir" count3.pat "$work/good.wav" "$work/count3.pat" -window
expect_failure "$source_dir" no_second_terminator.pat "$work/good.wav" "$work/no_second_terminator.pat" -window
expect_failure "$source_dir" cut_record.pat "$work/good.wav" "$work/cut_record.pat" -window

# An unreadable sheet in the working directory is reported, not passed over.
mkdir -p "$work/bad_sheet/data"
echo "not an image" >"$work/bad_sheet/data/p.bmp"
expect_failure "$work/bad_sheet" p.bmp "$work/good.wav" "$work/good.pat" -window

# No sheet anywhere: run a copy of the program from a folder with no data/
# near it, so neither the working directory nor the program's folder has one.
# The game's last resort is the installed sheet; with one installed there is
# no way to make it miss.
installed_sheet=${E2E_INSTALLED_SHEET:-}
if [ -n "$installed_sheet" ] && [ -f "$installed_sheet" ]; then
  note "skipping the missing-sheet cases: a sheet is installed at $installed_sheet"
else
  mkdir -p "$work/elsewhere/bin" "$work/elsewhere/run"
  cp "$build/velmora" "$work/elsewhere/bin/velmora"
  velmora=$work/elsewhere/bin/velmora
  expect_failure "$work/elsewhere/run" p.bmp "$work/good.wav" "$work/good.pat" -window
  expect_failure "$work/elsewhere/run" p.bmp
fi
