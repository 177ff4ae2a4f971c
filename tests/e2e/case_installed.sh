# shellcheck shell=bash disable=SC2154  # variables and helpers come from lib.sh
# `cmake --install` into a fresh prefix gives the GNU layout, and the installed
# game, started from /, finds its installed sprite sheet and runs the demo.
# shellcheck source=sprites.sh
source "$here/sprites.sh"
require velmora velmora_bc velmora_bc_zetaflux make_song

prefix=$work/prefix
"${CMAKE_COMMAND:-cmake}" --install "$build" --prefix "$prefix" >"$work/install.out" 2>&1 \
  || fail "cmake --install failed: $(tail -n 5 "$work/install.out")"
for f in bin/velmora bin/velmora_bc bin/velmora_bc_zetaflux; do
  [ -x "$prefix/$f" ] || fail "the install has no $f"
done
cmp -s "$prefix/share/velmora/data/p.bmp" "$sheet" || fail "the install has no share/velmora/data/p.bmp equal to data/p.bmp"
note "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

"$build/make_song" --seconds 2 "$work/song.wav" >/dev/null 2>&1 || fail "make_song failed"
for bc in velmora_bc velmora_bc_zetaflux; do
  (cd / && "$prefix/bin/$bc" "$work/song.wav" "$work/$bc.pat") >"$work/bc.out" 2>&1 \
    || fail "installed $bc failed: $(tail -n 3 "$work/bc.out")"
  [ -s "$work/$bc.pat" ] || fail "installed $bc wrote no pattern file"
done

start_x
# shellcheck disable=SC2034  # read by start_game
game_program=$prefix/bin/velmora
start_game /
wait_window
take_keyboard
wait_screen installed_demo 20 "$title_image_at_centre" "${empty_gauge[@]}" "$tracers_on_screen"
key_tap Escape
wait_exit 5 0
