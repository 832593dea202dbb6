#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that a statically linked hexpoke is the single file it should be:
# no program interpreter, no shared library, and it runs with an empty
# environment from a folder of its own (under EMULATOR, if one is named,
# for a cross-built binary).
#   static_test.sh HEXPOKE [EMULATOR...]
set -euo pipefail
binary=$1
shift
emulator=("$@")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

headers=$(readelf -l "$binary")
dynamic=$(readelf -d "$binary")
echo "$(basename "$binary"): $(grep -c NEEDED <<<"$dynamic" || true) shared libraries needed"
grep -q 'INTERP' <<<"$headers" && fail "it names a program interpreter (ld.so)"
grep -q 'NEEDED' <<<"$dynamic" && fail "it needs shared libraries: $(grep NEEDED <<<"$dynamic")"
cp "$binary" "$scratch/hexpoke"
usage=$(cd "$scratch" && env -i "${emulator[@]}" ./hexpoke -h)
grep -q '^Allowed options:' <<<"$usage" || fail "it does not run with an empty environment"

echo "$((3 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
