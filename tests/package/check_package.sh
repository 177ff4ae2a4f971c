#!/usr/bin/env bash
# The Debian package, in three steps (tests/package/CMakeLists.txt):
#   check_package.sh build      make BUILD/package/velmora_*.deb with CPack
#   check_package.sh validate   desktop entry, AppStream metadata, manual pages, lintian
#   check_package.sh installed  unpack it into a scratch root; the installed
#                               programs start there and find their data
#   check_package.sh server     the velmora-server package: its files, its
#                               conffile, its unit (systemd-analyze) and its
#                               nginx site (nginx -t)
set -uo pipefail

build=${VELMORA_BUILD_DIR:?}
source_dir=${VELMORA_SOURCE_DIR:?}
app_id=${VELMORA_APP_ID:?}
step=${1:?}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
note() { echo "  $*"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora_package.XXXXXX")
trap 'rm -rf "$work"' EXIT

the_package() {
  local debs=("$build"/package/velmora_*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package in $build/package, found: ${debs[*]}"
  echo "${debs[0]}"
}

unpack() {
  root=$work/root
  mkdir -p "$root"
  dpkg-deb -x "$(the_package)" "$root" || fail "dpkg-deb -x failed"
}

case "$step" in
build)
  rm -f "$build"/package/velmora_*.deb "$build"/package/velmora-server_*.deb
  (cd "$build" && "${CPACK_COMMAND:-cpack}" -G DEB) >"$work/cpack.out" 2>&1 \
    || fail "cpack failed: $(tail -n 20 "$work/cpack.out")"
  deb=$(the_package)
  note "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"
  dpkg-deb -f "$deb" Package Version Section Depends
  ;;

validate)
  deb=$(the_package)
  unpack
  status=0

  desktop=$root/usr/share/applications/$app_id.desktop
  [ -f "$desktop" ] || fail "no desktop entry $app_id.desktop"
  desktop-file-validate "$desktop" || { echo "desktop-file-validate: $desktop" >&2; status=1; }
  # The entry starts velmora_play on the files or run links it is given
  # (none: the library screen), for the audio types and the velmora:// scheme.
  exec_line=$(sed -n 's/^Exec=//p' "$desktop")
  read -r exec_program exec_files <<<"$exec_line"
  [ "$exec_files" = "%U" ] || { echo "the desktop entry passes \"$exec_files\", not %U" >&2; status=1; }
  for type in x-scheme-handler/velmora audio/x-wav audio/flac audio/ogg audio/mpeg; do
    grep -q "^MimeType=.*$type;" "$desktop" || { echo "the desktop entry's MimeType lacks $type" >&2; status=1; }
  done
  if [ "${VELMORA_HAS_PLAY:-0}" = 1 ] && [ ! -x "$root/usr/games/$exec_program" ]; then
    echo "the desktop entry's program $exec_program is not in /usr/games" >&2
    status=1
  fi
  # Opening a velmora:// link calls the entry's program with the link: the
  # entry registered in a desktop database of its own, its program swapped
  # for one that writes down what it was given.
  mkdir -p "$work/handler/applications"
  printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"%s"\n' "$work/handler/called" >"$work/handler/program"
  chmod +x "$work/handler/program"
  sed -e "s|^Exec=[^ ]*|Exec=$work/handler/program|" -e "s|^TryExec=.*|TryExec=$work/handler/program|" "$desktop" >"$work/handler/applications/$app_id.desktop"
  update-desktop-database "$work/handler/applications"
  link='velmora://127.0.0.1:8029/sessions/5?t=3'
  HOME=$work/handler XDG_CONFIG_HOME=$work/handler/config XDG_DATA_HOME=$work/handler XDG_DATA_DIRS=$work/handler \
    timeout 20 gio open "$link" 2>"$work/handler/gio.err" || { echo "gio open $link failed: $(cat "$work/handler/gio.err")" >&2; status=1; }
  for _ in $(seq 50); do [ -s "$work/handler/called" ] && break; sleep 0.1; done
  [ "$(cat "$work/handler/called" 2>/dev/null)" = "$link" ] ||
    { echo "opening $link called the entry's program with \"$(cat "$work/handler/called" 2>/dev/null)\"" >&2; status=1; }
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -f "$root/usr/share/icons/hicolor/128x128/apps/$icon.png" ] || { echo "no icon $icon.png" >&2; status=1; }

  appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml" >"$work/appstream.out" 2>&1 \
    || { cat "$work/appstream.out" >&2; status=1; }

  pages=0
  for page in "$root"/usr/share/man/man*/*.gz; do
    [ -L "$page" ] && continue
    pages=$((pages + 1))
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null 2>"$work/man.err"
    if [ -s "$work/man.err" ]; then
      echo "man --warnings on ${page#"$root"}:" >&2
      cat "$work/man.err" >&2
      status=1
    fi
  done
  [ "$pages" -ge 3 ] || { echo "expected manual pages velmora(6), velmora_play(6), velmora_bc(1); found $pages" >&2; status=1; }

  lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1
  grep -v 'running with root privileges' "$work/lintian.out" | sed 's/^/  lintian: /'
  if grep -q '^E: ' "$work/lintian.out"; then
    echo "lintian reports errors" >&2
    status=1
  fi
  [ "$status" -eq 0 ] || exit 1
  note "desktop entry, AppStream metadata, $pages manual pages and lintian: no errors"
  ;;

installed)
  unpack
  games=$root/usr/games
  data=$root/usr/share/games/velmora
  for program in velmora velmora_bc velmora_bc_zetaflux; do
    [ -x "$games/$program" ] || fail "the package has no /usr/games/$program"
  done
  # velmora_play --calibrate starts it from there.
  if [ "${VELMORA_HAS_PLAY:-0}" = 1 ]; then
    [ -x "$root/usr/lib/games/velmora/velmora_calibrate" ] || fail "the package has no /usr/lib/games/velmora/velmora_calibrate"
    # and velmora_play without a song the library screen.
    [ -x "$root/usr/lib/games/velmora/velmora_library" ] || fail "the package has no /usr/lib/games/velmora/velmora_library"
  fi
  cmp -s "$data/data/p.bmp" "$source_dir/data/p.bmp" || fail "the package has no /usr/share/games/velmora/data/p.bmp equal to data/p.bmp"
  [ -f "$root/usr/share/locale/en/LC_MESSAGES/velmora.mo" ] || fail "the package has no English catalogue"

  # The installed converter, on the bundled song, speaks English under an
  # English locale (generated here or not) and Japanese under C.UTF-8.
  (cd / && LC_ALL= LANGUAGE= LANG=en_US.UTF-8 "$games/velmora_bc" "$data/song.ogg" "$work/song.pat") >"$work/bc.out" 2>&1 \
    || fail "the installed velmora_bc could not convert the bundled song: $(tail -n 3 "$work/bc.out")"
  [ "$(tail -n 1 "$work/bc.out")" = "The conversion finished successfully." ] \
    || fail "the installed velmora_bc did not end in English: $(tail -n 1 "$work/bc.out")"
  (cd / && LC_ALL=C.UTF-8 "$games/velmora_bc") >"$work/usage.out" 2>&1
  [ "$(sed -n 2p "$work/usage.out")" = "第1引数に変換元のファイル名を指定してください." ] \
    || fail "the installed velmora_bc under C.UTF-8 printed: $(cat "$work/usage.out")"

  # The scoreboard's verifier, a helper beside the others, needs no data and
  # no display: given a stage for a replay it says so in JSON, status 1.
  verify=$root/usr/lib/games/velmora/velmora_verify
  [ -x "$verify" ] || fail "the package has no /usr/lib/games/velmora/velmora_verify"
  verify_status=0
  (cd / && env -u DISPLAY "$verify" "$work/song.pat" "$work/song.pat") >"$work/verify.out" 2>&1 || verify_status=$?
  [ "$verify_status" -eq 1 ] && grep -q '"reason":"the replay is not a velmora replay file"' "$work/verify.out" \
    || fail "the installed velmora_verify answered $verify_status: $(cat "$work/verify.out")"

  # Started from / (no data/p.bmp there), the installed game finds its data
  # in the scratch root and keeps running frames until stopped.
  [ -e /data/p.bmp ] && fail "/data/p.bmp exists; the installed game would not need its own data"
  run_game() {
    (cd / && SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 4 "$games/velmora" "$@") >"$work/game.out" 2>&1
  }
  run_game
  game_status=$?
  [ "$game_status" -eq 124 ] || fail "the installed demo ended with status $game_status: $(cat "$work/game.out")"
  grep -q '^velmora:' "$work/game.out" && fail "the installed demo complained: $(cat "$work/game.out")"
  run_game "$data/song.ogg" "$work/song.pat" -window
  game_status=$?
  [ "$game_status" -eq 124 ] || fail "the installed game on the bundled song ended with status $game_status: $(cat "$work/game.out")"
  note "the installed demo and the bundled song ran until stopped"

  # Without its data the same program says so: the run above did find it.
  if [ -e "${VELMORA_INSTALLED_SHEET:-/nonexistent}" ]; then
    note "skipped the check without data: $VELMORA_INSTALLED_SHEET is installed on this machine"
  else
    mv "$data" "$work/moved"
    run_game
    game_status=$?
    [ "$game_status" -eq 1 ] && grep -q 'cannot find the sprite sheet' "$work/game.out" \
      || fail "without its data the installed game ended with status $game_status: $(cat "$work/game.out")"
    note "without its data folder the installed game refuses to start, as it should"
  fi
  ;;

server)
  debs=("$build"/package/velmora-server_*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one velmora-server package, found: ${debs[*]}"
  deb=${debs[0]}
  listing=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c failed"
  for path in ./usr/sbin/velmora_server ./usr/lib/velmora-server/velmora_verify \
      ./lib/systemd/system/velmora-server.service ./etc/velmora/server.conf \
      ./usr/share/man/man8/velmora_server.8.gz ./usr/share/doc/velmora-server/examples/nginx-site.conf; do
    grep -q " $path\$" <<<"$listing" || fail "the server package lacks $path"
  done
  dpkg-deb -e "$deb" "$work/control"
  grep -qx /etc/velmora/server.conf "$work/control/conffiles" || fail "server.conf is not a conffile"
  root=$work/root
  mkdir -p "$root"
  dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
  # The unit as systemd reads it, its programs looked for inside the package.
  systemd-analyze verify --man=no --recursive-errors=no --root="$root" /lib/systemd/system/velmora-server.service \
    >"$work/verify.out" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.out")"
  grep -q "^verifier = /usr/lib/velmora-server/velmora_verify$" "$root/etc/velmora/server.conf" \
    || fail "server.conf does not name the packaged verifier"
  # The nginx site, with a throwaway certificate in place of the real one.
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=boards.example.org \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || fail "openssl could not make a certificate"
  sed -e "s|/etc/ssl/certs/velmora-boards.pem|$work/cert.pem|" -e "s|/etc/ssl/private/velmora-boards.key|$work/key.pem|" \
    "$root/usr/share/doc/velmora-server/examples/nginx-site.conf" >"$work/site.conf"
  printf '%s\n' "pid $work/nginx.pid;" "error_log $work/error.log;" "events {}" \
    "http { access_log off; client_body_temp_path $work/body; proxy_temp_path $work/proxy; include $work/site.conf; }" \
    >"$work/nginx.conf"
  nginx -t -p "$work" -c "$work/nginx.conf" >"$work/nginx.out" 2>&1 || fail "nginx -t: $(cat "$work/nginx.out")"
  note "velmora-server: $(grep -c . <<<"$listing") entries; unit and nginx site accepted"
  ;;

*)
  fail "unknown step $step"
  ;;
esac
