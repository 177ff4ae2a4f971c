# shellcheck shell=bash disable=SC2154,SC2034  # usage and programs come from the sourcing script, which uses root
# The start the play scripts share. They source it with their own arguments
# after setting `usage` (what follows <builddir> in the usage line) and
# `programs` (what they run from the build folder); it takes <builddir> off
# the arguments and sets build and root.
if [ $# -lt 1 ]; then
  echo "usage: $0 <builddir> $usage" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

for program in "${programs[@]}"; do
  if [ ! -x "$build/$program" ]; then
    echo "play: $build/$program is missing; build the project first" >&2
    exit 1
  fi
done

# make_bundled_song: writes the bundled song to <builddir>/stage/, or to
# $VELMORA_STAGE_DIR when that is set, and sets stage and song.
make_bundled_song() {
  stage=${VELMORA_STAGE_DIR:-$build/stage}
  mkdir -p "$stage"
  stage=$(cd "$stage" && pwd)
  song=$stage/song.wav
  "$build/make_song" "$song"
}
