#!/usr/bin/env bash
# Configures and builds only what playing needs, in a build folder of its own
# (no tests, benchmarks or fuzz targets, so a fresh machine plays in minutes):
#   scripts/play_build.sh <builddir>              configure and build
#   scripts/play_build.sh --configure <builddir>  configure only
# ccache is used when it is installed.
set -euo pipefail
configure_only=0
if [ "${1:-}" = --configure ]; then
  configure_only=1
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: $0 [--configure] <builddir>" >&2
  exit 2
fi
build=$1
root=$(cd "$(dirname "$0")/.." && pwd)

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF -DVELMORA_SANITIZE=OFF "${launcher[@]}" >/dev/null
[ "$configure_only" = 1 ] && exit 0
cmake --build "$build" --target play_programs -j"$(nproc)"
