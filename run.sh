#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./run.sh play   set up, build, make the bundled stage and play it in a window
#   ./run.sh test   set up, build and run every test
#   ./run.sh bench  set up, build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
build=${BUILD_DIR:-build}

scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

case "${1:-}" in
  play) exec scripts/play.sh "$build" ;;
  test) cd "$build" && exec ctest --output-on-failure -j2 --timeout 300 ;;
  bench) exec scripts/bench.sh "$build" ;;
  *) echo "usage: $0 play|test|bench" >&2; exit 2 ;;
esac
