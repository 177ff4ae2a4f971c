#!/usr/bin/env bash
# velmora_bc beside decoding alone, on 10-minute songs (make_song's busiest
# part) as 16-bit WAV, FLAC and MP3, in paired runs:
#   scripts/converter_vs_decoding.sh BUILD [RUNS, default 7] [SECONDS, default 600]
# Per format and program, the medians of RUNS runs taken in turns: wall time,
# CPU time (user + system), peak resident memory and minor page faults, as
# GNU time reports them. The programs: `sox FILE -t raw /dev/null` (when sox
# is installed), BUILD/bench/decode_only FILE (the same decoding velmora_bc
# does, and nothing else), `aubioonset -i FILE` (when installed) and
# `velmora_bc FILE OUT.pat`. Then velmora_bc's ratios to them. The load
# average is printed before and after: other work on the machine lengthens
# wall times far more than CPU times. Each run runs its program REPEAT times
# (default 5) in a row and reports the mean of one: GNU time counts in
# hundredths of a second, too coarse for sox's 0.15 s on a WAV alone.
set -euo pipefail
build=$(cd "${1:?usage: converter_vs_decoding.sh BUILD [RUNS] [SECONDS]}" && pwd)
runs=${2:-7}
seconds=${3:-600}
[ -x /usr/bin/time ] || { echo "converter_vs_decoding: needs GNU time (/usr/bin/time)" >&2; exit 1; }
for p in velmora_bc make_song bench/decode_only; do
  [ -x "$build/$p" ] || { echo "converter_vs_decoding: $build/$p has not been built (-DVELMORA_BENCH=ON)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for ext in wav flac mp3; do "$build/make_song" --seconds "$seconds" "$work/song.$ext" >/dev/null; done
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

repeat=${REPEAT:-5}

# measure NAME CMD...: one run (REPEAT runs of CMD, their mean), appended to
# $work/NAME as "wall cpu KiB faults"; the peak is the largest one's.
measure() {
  local name=$1
  shift
  /usr/bin/time -o "$work/t" -f '%e %U %S %M %R' sh -c 'n=$1; shift; while [ "$n" -gt 0 ]; do "$@" || exit 1; n=$((n - 1)); done' \
    sh "$repeat" "$@" >/dev/null 2>&1 || { echo "converter_vs_decoding: $* failed" >&2; exit 1; }
  awk -v r="$repeat" '{ printf "%.3f %.4f %s %d\n", $1 / r, ($2 + $3) / r, $4, $5 / r }' "$work/t" >>"$work/$name"
}

median() {  # FILE COLUMN
  sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

programs=()
command -v sox >/dev/null && programs+=(sox)
programs+=(decode_only)
command -v aubioonset >/dev/null && programs+=(aubioonset)
programs+=(velmora_bc)

for ext in wav flac mp3; do
  in=$work/song.$ext
  for ((r = 0; r < runs; r++)); do
    for p in "${programs[@]}"; do
      case $p in
        sox) measure "sox.$ext" sox "$in" -t raw /dev/null ;;
        decode_only) measure "decode_only.$ext" "$build/bench/decode_only" "$in" ;;
        aubioonset) measure "aubioonset.$ext" aubioonset -i "$in" ;;
        velmora_bc) measure "velmora_bc.$ext" "$build/velmora_bc" "$in" "$work/out.pat" ;;
      esac
    done
  done
  echo
  echo "== $seconds s, $ext, medians of $runs runs"
  printf '%-12s %8s %8s %9s %8s\n' program wall_s cpu_s peak_KiB faults
  for p in "${programs[@]}"; do
    printf '%-12s %8s %8s %9s %8s\n' "$p" "$(median "$work/$p.$ext" 1)" "$(median "$work/$p.$ext" 2)" \
      "$(median "$work/$p.$ext" 3)" "$(median "$work/$p.$ext" 4)"
  done
  bc_wall=$(median "$work/velmora_bc.$ext" 1)
  bc_cpu=$(median "$work/velmora_bc.$ext" 2)
  for p in "${programs[@]}"; do
    [ "$p" = velmora_bc ] && continue
    awk -v n="$p" -v bw="$bc_wall" -v bc="$bc_cpu" -v w="$(median "$work/$p.$ext" 1)" -v c="$(median "$work/$p.$ext" 2)" \
      'BEGIN { printf "velmora_bc / %-12s wall %.2fx  cpu %.2fx\n", n, (w > 0 ? bw / w : 0), (c > 0 ? bc / c : 0) }'
  done
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
