#!/usr/bin/env bash
# Leak check under valgrind, with full stacks: the converter on a 180-second
# song, then a whole game session in a real window under Xvfb (title, a run of
# a short stage played to its end, the result screen, the title again,
# Escape). Leaks wholly inside system libraries are listed, with reasons, in
# tests/valgrind/system_libraries.supp; any other definite or indirect leak
# fails the check.
#   scripts/leak_check.sh [BUILD]    (default build; built first when needed)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}

scripts/setup.sh
if [ ! -x "$build/velmora" ] || [ ! -x "$build/velmora_bc" ] || [ ! -x "$build/tests/e2e_probe" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)"
fi
build=$(cd "$build" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-leaks.XXXXXX")
valgrind=(valgrind --leak-check=full --show-leak-kinds=definite,indirect
          --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --num-callers=40
          --suppressions="$root/tests/valgrind/system_libraries.supp")
summary() { grep -hE 'definitely lost:|indirectly lost:|ERROR SUMMARY:' "$@" | sed -E 's/^==[0-9]+== +/   /'; }
status=0

echo "== velmora_bc on a 180-second song"
"$build/make_song" --seconds 180 "$work/song.wav" >/dev/null
if "${valgrind[@]}" --log-file="$work/bc.log" "$build/velmora_bc" "$work/song.wav" "$work/song.pat" >"$work/bc.out"; then
  echo "   converted: $(tail -n 1 "$work/bc.out")"
else
  echo "   FAILED (status $?), see $work/bc.log" >&2
  status=1
fi
summary "$work/bc.log"

echo "== a game session under valgrind"
if E2E_GAME_WRAPPER="${valgrind[*]} --log-file=$work/game.%p.log" E2E_TIME_SCALE=8 \
   VELMORA_BUILD_DIR="$build" VELMORA_SOURCE_DIR="$root" bash tests/e2e/run_case.sh session; then
  :
else
  echo "   FAILED, see $work/game.*.log" >&2
  status=1
fi
summary "$work"/game.*.log

if [ $status -eq 0 ]; then
  echo "leak check passed: no leak outside the system libraries"
  rm -rf "$work"
else
  echo "leak check FAILED; logs kept in $work" >&2
fi
exit $status
