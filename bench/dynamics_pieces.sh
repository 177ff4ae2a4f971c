#!/bin/sh
# The dynamics edition on real music: for each piece, whether it has a clear
# beat (at least 0.6 of the beats Debian's aubiotrack finds lie within 25 ms
# of an onset its aubioonset finds, both with their default settings), the
# share of arrivals within 25 ms of an onset (and chance), the share of
# those onsets carrying a threat on hard and normal, and the share of the
# threats in repeated bars that fly as they did the first time.
#   bench/dynamics_pieces.sh BUILD [FOLDER] [NAME...]
# BUILD holds velmora_bc, measure_stage and make_song; the pieces are
# fetched with apt-get download and unpacked into FOLDER (/tmp/velmora_pieces
# by default) once; the commands that make them are printed after the
# table. Needs sox and aubio-tools. NAMEs choose pieces.
set -eu
build=$(cd "${1:?usage: dynamics_pieces.sh BUILD [FOLDER] [NAME...]}" && pwd)
folder=${2:-/tmp/velmora_pieces}
if [ $# -ge 2 ]; then shift 2; else shift $#; fi
mkdir -p "$folder/debs" "$folder/root" "$folder/work"
commands="$folder/work/commands.txt"
: > "$commands"

# name package path-in-package
pieces='hr3-motion hyperrogue-music usr/share/hyperrogue/music/hr3-motion.ogg
hr-savino-palace hyperrogue-music usr/share/hyperrogue/music/hr-savino-palace.ogg
hr3-caves hyperrogue-music usr/share/hyperrogue/music/hr3-caves.ogg
hr3-hell hyperrogue-music usr/share/hyperrogue/music/hr3-hell.ogg
machine_wars asc-music usr/share/games/asc/music/machine_wars.mp3
time_to_strike asc-music usr/share/games/asc/music/time_to_strike.mp3
frozen-mainzik-2p frozen-bubble-data usr/share/games/frozen-bubble/snd/frozen-mainzik-2p.ogg
frantic wesnoth-1.16-music usr/share/games/wesnoth/1.16/data/core/music/frantic.ogg
awakening singularity-music usr/share/games/singularity/music/Awakening.ogg
drascula-track7 drascula-music usr/share/scummvm/drascula/audio/track7.ogg
battle wesnoth-1.16-music usr/share/games/wesnoth/1.16/data/core/music/battle.ogg
knolls wesnoth-1.16-music usr/share/games/wesnoth/1.16/data/core/music/knolls.ogg
nunc_dimittis wesnoth-1.16-music usr/share/games/wesnoth/1.16/data/core/music/nunc_dimittis.ogg
drascula-track25 drascula-music usr/share/scummvm/drascula/audio/track25.ogg
bundled-song - -
alternating-song - --alternating
dynamics-song - --dynamics'

wanted() {
    [ $# -eq 0 ] && return 0
    for w; do [ "$w" = "$name" ] && return 0; done
    return 1
}

# The first number after a label in measure_stage's output.
after() { sed -n "s/.*$1 \([-0-9.]*\).*/\1/p" "$2" | head -n 1; }

printf '| piece (package, length) | clear beat (beats on an onset) | arrivals near an onset (chance, ratio), hard | onsets carrying: hard, normal | Spearman hard, normal (loudness range) | repeated bars (share of the music): threats flying as the first time, hard, normal |\n'
printf '|---|---|---|---|---|---|\n'
echo "$pieces" | while read -r name package path; do
    wanted "$@" || continue
    wav="$folder/work/$name.wav"
    # Each command that makes the piece is listed after the table, run only
    # when its result is missing.
    if [ "$package" = - ]; then
        option=$path
        [ "$option" = - ] && option=
        echo "$build/make_song $option $wav" >> "$commands"
        # Made anew each time, with their onsets: a song kept from an older
        # make_song would be measured in place of today's.
        rm -f "$folder/work/$name.onsets" "$folder/work/$name.beats"
        # shellcheck disable=SC2086
        "$build/make_song" $option "$wav" >/dev/null
    else
        {
            echo "(cd $folder/debs && apt-get download $package)"
            echo "dpkg -x $folder/debs/${package}_*.deb $folder/root"
            echo "sox $folder/root/$path -b 16 -c 2 $wav rate -v 44100"
        } >> "$commands"
        if [ ! -s "$wav" ]; then
            if ! ls "$folder/debs/${package}"_*.deb >/dev/null 2>&1; then
                (cd "$folder/debs" && apt-get download "$package" >/dev/null 2>&1)
            fi
            [ -f "$folder/root/$path" ] || dpkg -x "$folder/debs/${package}"_*.deb "$folder/root"
            sox "$folder/root/$path" -b 16 -c 2 "$wav" rate -v 44100
        fi
    fi
    echo "aubioonset -i $wav > $folder/work/$name.onsets" >> "$commands"
    [ -s "$folder/work/$name.onsets" ] || aubioonset -i "$wav" > "$folder/work/$name.onsets"
    echo "aubiotrack -i $wav > $folder/work/$name.beats" >> "$commands"
    [ -s "$folder/work/$name.beats" ] || aubiotrack -i "$wav" > "$folder/work/$name.beats"
    for d in hard normal; do
        nice -n 10 "$build/velmora_bc" "$wav" "$folder/work/$name.$d.pat" --edition dynamics --difficulty "$d" >/dev/null
        nice -n 10 "$build/measure_stage" "$wav" "$folder/work/$name.$d.pat" --onsets "$folder/work/$name.onsets" \
            --beats "$folder/work/$name.beats" --repeats > "$folder/work/$name.$d.txt"
    done
    h="$folder/work/$name.hard.txt" n="$folder/work/$name.normal.txt"
    length=$(sed -n 's/.* of \([0-9.]*\) s$/\1/p' "$h" | head -n 1)
    printf '| %s (%s, %.0f s) | %s (%s) | %s (%s, %sx) | %s, %s | %s, %s (%s LU) | %s (%s%%): %s, %s |\n' "$name" "$package" "$length" \
        "$(sed -n 's/.*clear beat \([a-z]*\)$/\1/p' "$h")" "$(after 'of an onset' "$h")" \
        "$(after 'of one' "$h")" "$(after 'chance' "$h")" "$(sed -n 's/.*, \([0-9.]*\)x).*/\1/p' "$h")" \
        "$(after 'carrying a threat' "$h")" "$(after 'carrying a threat' "$n")" \
        "$(after 'short-term loudness)' "$h")" "$(after 'short-term loudness)' "$n")" "$(after 'loudness range' "$h")" \
        "$(after 'repeated bars' "$h")" "$(sed -n 's/.*(\([0-9]*\)% of the music).*/\1/p' "$h")" \
        "$(after 'as the first time' "$h")" "$(after 'as the first time' "$n")"
done
printf '\nThe pieces, and their onsets, from:\n\n'
sed 's/^/    /' "$commands"
