#!/usr/bin/env bash
# Installs the Debian packages the build, the game and the tests need, when
# any is missing. Safe to run again: it does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libsdl1.2-compat-dev libsdl-image1.2-dev libsdl-mixer1.2-dev libsdl-ttf2.0-dev
  fonts-dejavu-core fonts-droid-fallback fonts-nanum
  libsndfile1-dev libsoxr-dev libebur128-dev libboost-dev libfftw3-dev libxxhash-dev libsqlite3-dev libtag1-dev
  libaubio-dev aubio-tools sox libsox-fmt-mp3
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev libpqxx-dev libpq-dev nlohmann-json3-dev libssl-dev libicu-dev postgresql wrk libchromaprint-dev
  xvfb xauth xdotool imagemagick x11-utils libx11-dev sqlite3 tesseract-ocr tesseract-ocr-eng chromium
  clang libclang-rt-14-dev valgrind
  gettext dpkg-dev fakeroot lintian desktop-file-utils libglib2.0-bin appstream man-db
  nginx-light openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get update -q || ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  echo "setup: apt-get could not install: ${missing[*]}" >&2
  exit 1
fi
