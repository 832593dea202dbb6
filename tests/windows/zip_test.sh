#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Windows zip from a build tree and checks its name and contents:
# the program, the manual page as HTML and the README, in one folder.
#   zip_test.sh BUILD_DIRECTORY EXPECTED_FILE_NAME
set -euo pipefail
build=$1
expected=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G ZIP -B "$scratch/out" >/dev/null)
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

zip=$scratch/out/$expected
if [ ! -f "$zip" ]; then
  fail "no $expected; cpack made: $(cd "$scratch/out" && echo *.zip)"
  echo "0 passed, $failed failed"
  exit 1
fi
listing=$(unzip -l "$zip")
echo "$listing"
folder=${expected%.zip}
for file in hexpoke.exe hexpoke.html README.md; do
  grep -q " $folder/$file\$" <<<"$listing" || fail "no $folder/$file in $expected"
done
unzip -q "$zip" -d "$scratch/unpacked"
grep -qi '<html' "$scratch/unpacked/$folder/hexpoke.html" ||
  fail "hexpoke.html is no HTML page"
[ "$(head -c 2 "$scratch/unpacked/$folder/hexpoke.exe")" = MZ ] ||
  fail "hexpoke.exe is no Windows program"

echo "$((5 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
