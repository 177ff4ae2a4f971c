#!/usr/bin/env bash
# Every manual page in packaging/ formats without a warning, and names every
# option its program's --help names: an option added to a program but not to
# its page, or a page an edit broke, fails here. The server's page is checked
# too, although it is not installed.
#
# Needs VELMORA_BUILD_DIR and VELMORA_SOURCE_DIR; CTest sets them.
set -uo pipefail

build=${VELMORA_BUILD_DIR:?VELMORA_BUILD_DIR must name the build folder}
source_dir=${VELMORA_SOURCE_DIR:?VELMORA_SOURCE_DIR must name the source folder}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# page, then its program.
rows=(
  "velmora.6 velmora"
  "velmora_play.6 velmora_play"
  "velmora_bc.1 velmora_bc"
  "velmora_verify.1 velmora_verify"
  "velmora_server.8 velmora_server"
)

checked=0
for row in "${rows[@]}"; do
  read -r page program <<<"$row"
  source=$source_dir/packaging/$page
  [ -f "$source" ] || { fail "packaging/$page is missing"; continue; }
  warnings=$(groff -man -Tutf8 -ww -z "$source" 2>&1)
  [ -z "$warnings" ] || fail "$page: groff warns: $warnings"

  [ -x "$build/$program" ] || { fail "$build/$program has not been built"; continue; }
  # The converter's help is Japanese unless the locale is English; its
  # options read the same either way.
  if ! help=$(env -u LC_ALL -u LANGUAGE LANG=en_US.UTF-8 "$build/$program" --help 2>&1); then
    fail "$program --help failed: $help"
    continue
  fi
  # Options as the help writes them: -word, -word= or --word, after a space,
  # a bracket, a bar or a parenthesis.
  options=$(grep -oE '(^|[][[:space:]|(])--?[a-z][a-z-]*=?' <<<"$help" | sed -E 's/^[][[:space:]|(]//' | sort -u)
  [ -n "$options" ] || { fail "$program --help names no option"; continue; }
  # The page as it reads: escaped hyphens plain, font changes gone.
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\c$//' "$source")
  while read -r option; do
    checked=$((checked + 1))
    # Whole: --max-connections is not named by --max-connections-per-address;
    # an option ending in = is followed by its value.
    end='([^a-z-]|$)'
    [[ $option == *= ]] && end=
    grep -qE -- "(^|[^a-z-])$option$end" <<<"$text" || fail "$page does not name $option, which $program --help names"
  done <<<"$options"
done

echo "${#rows[@]} pages, $checked options looked for, $failures failures"
[ "$failures" -eq 0 ]
