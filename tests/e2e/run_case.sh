#!/usr/bin/env bash
# Runs one end-to-end case in a private X server:
#   run_case.sh demo|play|startup_failures|play_script|installed|replay|sync|pause|sync_measure|velmora_play|velmora_play_formats|calibrate|stages|library|library_panels|server|online|play_first
# Needs VELMORA_BUILD_DIR and VELMORA_SOURCE_DIR (CTest sets them).
set -uo pipefail
case_name=${1:?usage: run_case.sh demo|play|startup_failures|play_script|installed|replay|sync|pause|sync_measure|velmora_play|velmora_play_formats|calibrate|stages|library|library_panels|server|online|play_first}
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$here/case_$case_name.sh" ] || { echo "no such case: $case_name" >&2; exit 2; }
# shellcheck source=lib.sh
source "$here/lib.sh"
# A case that does not parse would stop part way through its sourcing and
# still reach the PASS line below.
bash -n "$here/case_$case_name.sh" || { echo "FAIL: $case_name: the case does not parse" >&2; exit 1; }
# shellcheck disable=SC1090
source "$here/case_$case_name.sh"
echo "PASS: $case_name"
