#!/usr/bin/env bash
# Fails when a file of a lower layer includes a header of a higher one, so
# dependencies keep pointing one way, from the programs down to vaz/.
#   scripts/check_layers.sh [SOURCE_ROOT]
# Layers from the bottom up; folders on one line are one layer and may not
# include each other either: velmora_play's command line (playcommand/) and
# the library screen are peers over the same layers. audiolayer/ stands in for an outside audio
# library, which vaz's audio object wraps, so it sits below vaz/. Folders not
# listed (tools/, tests/, bench/, fuzz/) sit on top and may include anything.
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"

layers=(
  "audiolayer"
  "vaz"
  "pattern sqlite userfiles"
  "stagecache results"
  "musicfiles"
  "musicindex"
  "converter"
  "alignment"
  "library"
  "launching online"
  "shell"
  "text preview"
  "songlist"
  "gametask"
  "replaycheck"
  "game calibrate"
  "playcommand libraryscreen server"
)

declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

folders=()
for folder in "${!rank[@]}"; do [ -d "$folder" ] && folders+=("$folder"); done

# One pass over every include of every layer folder: file, line, included folder.
bad=0
while IFS=: read -r file line included; do
  folder=${file%%/*}
  [ -n "${rank[$included]+x}" ] || continue
  [ "$included" = "$folder" ] && continue
  if [ "${rank[$included]}" -ge "${rank[$folder]}" ]; then
    echo "$file:$line: $folder/ (layer ${rank[$folder]}) includes $included/ (layer ${rank[$included]})" >&2
    bad=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "${folders[@]}" \
           --include='*.hpp' --include='*.cpp' --include='*.inc' --include='*.h' |
         sed -E 's/^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1:\2:\3/')

if [ "$bad" -ne 0 ]; then
  echo "check_layers: a lower layer includes a higher one (order, bottom up: ${layers[*]})" >&2
  exit 1
fi
echo "check_layers: every include points down"
