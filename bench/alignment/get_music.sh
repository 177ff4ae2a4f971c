#!/usr/bin/env bash
# Gets the music the alignment measure runs on: six pieces from Debian's
# packaged free game music (no one here wrote them), each as FLAC, MP3 at
# 128 and 320 kbit/s, Ogg Vorbis and Opus, and each of those again with
# 0.5 s of silence put before the music, and as FLAC and MP3 at 128 kbit/s
# with 502.5 ms (to the nearest sample; the exact time in nudge.ms), a
# shift that falls between the envelope's 5 ms hops; and a click (one full-scale sample
# at 1 s into 3 s of silence) in every format, to find each decoder's own
# delay. In mixes/, mixes of one piece and copies of each: see below.
#   bench/alignment/get_music.sh OUT_DIR
# Installs the packages when they are missing (needs root).
set -euo pipefail
out=${1:?usage: get_music.sh OUT_DIR}
packages=(asc-music hyperrogue-music fb-music-high flac lame vorbis-tools opus-tools python3 sox xmp)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

sources=(
  /usr/share/games/asc/music/frontiers.mp3
  /usr/share/games/asc/music/machine_wars.mp3
  /usr/share/games/asc/music/time_to_strike.mp3
  /usr/share/hyperrogue/music/hr3-caves.ogg
  /usr/share/hyperrogue/music/hr3-desert.ogg
  /usr/share/hyperrogue/music/hr3-jungle.ogg
)
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 16-bit WAV with `ms` of silence put before it (to the nearest sample);
# prints the time put in, in ms.
pad() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys, wave
src, dst, ms = sys.argv[1], sys.argv[2], float(sys.argv[3])
with wave.open(src, "rb") as r:
    p = r.getparams(); frames = r.readframes(p.nframes)
n = round(p.framerate * ms / 1000)
with wave.open(dst, "wb") as w:
    w.setparams(p)
    w.writeframes(b"\0" * (p.sampwidth * p.nchannels * n) + frames)
print(f"{n * 1000 / p.framerate:.6f}")
PY
}

# Every format of one 16-bit WAV, named by `stem` in folder `dir`.
encode_all() {
  local wav=$1 dir=$2 stem=$3
  flac -s -f -o "$dir/$stem-flac.flac" "$wav"
  lame --quiet -b 128 "$wav" "$dir/$stem-mp3_128.mp3"
  lame --quiet -b 320 "$wav" "$dir/$stem-mp3_320.mp3"
  oggenc -Q -q 5 -o "$dir/$stem-ogg.ogg" "$wav"
  opusenc --quiet --bitrate 128 "$wav" "$dir/$stem-opus.opus"
}

for src in "${sources[@]}"; do
  name=$(basename "${src%.*}")
  mkdir -p "$out/$name"
  case "$src" in
    *.mp3) lame --quiet --decode "$src" "$work/$name.wav" ;;
    *.ogg) oggdec -Q -o "$work/$name.wav" "$src" ;;
  esac
  encode_all "$work/$name.wav" "$out/$name" plain
  pad "$work/$name.wav" "$work/$name-pad.wav" 500 >/dev/null
  encode_all "$work/$name-pad.wav" "$out/$name" pad
  pad "$work/$name.wav" "$work/$name-nudge.wav" 502.5 >"$out/$name/nudge.ms"
  flac -s -f -o "$out/$name/nudge-flac.flac" "$work/$name-nudge.wav"
  lame --quiet -b 128 "$work/$name-nudge.wav" "$out/$name/nudge-mp3_128.mp3"
done

python3 - "$work/click.wav" <<'PY'
import sys, wave, struct
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
    v = [0] * (3 * 44100); v[44100] = 32767
    w.writeframes(b"".join(struct.pack("<hh", s, s) for s in v))
PY
mkdir -p "$out/click"
encode_all "$work/click.wav" "$out/click" plain
# Mixes of one piece: a tracker module of 22 channels (fb-music-high's)
# rendered whole is the board's file (board.flac); its copies (copy-*) are
# lossy, led by 0.5 s of silence, resampled to 48 kHz 6 dB quieter, or
# rendered again with another interpolation (another rip); its other mixes
# (mix-*) are the same channels at other levels: channels 0-3 (the drums)
# muted, channels 8-21 or 0-7 at half level (each half rendered alone, then
# mixed). offsets.ms holds each copy's time put in, in ms.
module=/usr/share/games/frozen-bubble/snd/frozen-mainzik-2p.xm
mix=$out/mixes/mainzik
mkdir -p "$mix"
xmp -q -o "$work/whole.wav" "$module"
xmp -q -i linear -o "$work/linear.wav" "$module"
xmp -q -M 0-3 -o "$work/nodrums.wav" "$module"
xmp -q -S 0-7 -o "$work/first.wav" "$module"
xmp -q -S 8-21 -o "$work/rest.wav" "$module"
flac -s -f -o "$mix/board.flac" "$work/whole.wav"
lame --quiet -b 128 "$work/whole.wav" "$mix/copy-mp3_128.mp3"
oggenc -Q -q 5 -o "$mix/copy-ogg.ogg" "$work/whole.wav"
opusenc --quiet --bitrate 128 "$work/whole.wav" "$mix/copy-opus.opus"
pad_ms=$(pad "$work/whole.wav" "$work/whole-pad.wav" 500)
lame --quiet -b 128 "$work/whole-pad.wav" "$mix/copy-pad-mp3_128.mp3"
sox "$work/whole.wav" -b 16 "$mix/copy-48k_quiet.flac" vol 0.5 rate -v 48000
flac -s -f -o "$mix/copy-linear.flac" "$work/linear.wav"
printf 'copy-pad-mp3_128.mp3 %s\n' "$pad_ms" >"$mix/offsets.ms"
flac -s -f -o "$mix/mix-nodrums.flac" "$work/nodrums.wav"
sox -m -v 1 "$work/first.wav" -v 0.5 "$work/rest.wav" -b 16 "$mix/mix-rest_half.flac"
sox -m -v 0.5 "$work/first.wav" -v 1 "$work/rest.wav" -b 16 "$mix/mix-first_half.flac"
sox -m -v 1 "$work/first.wav" -v 0.5 "$work/rest.wav" -b 16 "$work/rest_half.wav"
lame --quiet -b 128 "$work/rest_half.wav" "$mix/mix-rest_half-mp3_128.mp3"

echo "get_music: $(ls "$out" | wc -l) folders in $out"
