#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./run.sh play [SONG]  set up, build only what playing needs (in build-play)
#                   and open velmora_play's library screen on the bundled song,
#                   or play SONG there
#   ./run.sh test   set up, build and run every test: the plain build, the same
#                   tests built with address and undefined-behaviour sanitizers,
#                   and a short run of each fuzz target
#   ./run.sh bench  set up, build and run the benchmarks
set -euo pipefail
# A song named relative to where the command was given, before moving away.
play_args=()
if [ "${1:-}" = play ] && [ $# -ge 2 ]; then
  play_args=("${@:2}")
  case "${play_args[0]}" in
    /*|-*) ;;
    *) play_args[0]=$PWD/${play_args[0]} ;;
  esac
fi
cd "$(dirname "$0")"
build=${BUILD_DIR:-build}
mode=${1:-}

case "$mode" in
  play|test|bench) ;;
  *) echo "usage: $0 play [SONG]|test|bench" >&2; exit 2 ;;
esac

scripts/setup.sh
if [ "$mode" = play ]; then
  # A folder of its own: the tests' build keeps its tests.
  play_build=${PLAY_BUILD_DIR:-build-play}
  scripts/play_build.sh "$play_build"
  exec scripts/play_song.sh "$play_build" "${play_args[@]}"
fi
bench=OFF
[ "$mode" = bench ] && bench=ON
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON -DVELMORA_BENCH=$bench >/dev/null
cmake --build "$build" -j"$(nproc)"

[ "$mode" = bench ] && exec scripts/bench.sh "$build"

# Every stage runs even when an earlier one failed, so one run shows all.
failed=()
phase() { echo; echo "== $1"; }

phase "tests ($build)"
(cd "$build" && ctest --output-on-failure -j2 --timeout 300) || failed+=(tests)

# -O1 keeps the sanitized build and its tests quick; the checks are the same.
sanitized=${SANITIZE_BUILD_DIR:-build-sanitize}
phase "tests with address and undefined-behaviour sanitizers ($sanitized)"
if cmake -S . -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
     -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF >/dev/null &&
   cmake --build "$sanitized" -j"$(nproc)"; then
  (cd "$sanitized" && ctest --output-on-failure -j2 --timeout 300) || failed+=(sanitized-tests)
else
  failed+=(sanitized-build)
fi

phase "fuzz targets, ${FUZZ_SECONDS:-30} s each"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}" "${FUZZ_BUILD_DIR:-build-fuzz}" || failed+=(fuzz)

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all tests, sanitized tests and fuzz runs passed"
