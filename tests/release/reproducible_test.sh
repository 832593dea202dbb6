#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release of the commit checked out twice, from two fresh clones
# in different directories, the second started a minute or more after the
# first, and checks that both give the same bytes (the same SHA256SUMS);
# then checks what the first one made (release_test.py).
#   reproducible_test.sh [SCRATCH_DIRECTORY]    default: build-reproducible
# Only the commit is built: changes that are not committed are not in it.
# Exits with status 75 if a release could not get what it needs from the
# Debian archive (see scripts/summary.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
scratch=${1:-$root/build-reproducible}
commit=$(git rev-parse HEAD)
rm -rf "$scratch"
mkdir -p "$scratch"
first=$scratch/one/hexpoke
second=$scratch/and/another/place/hexpoke-$commit

release() {  # CLONE LOG
  git clone -q --no-hardlinks "$root" "$1"
  git -C "$1" checkout -q --detach "$commit"
  local status=0
  "$1/scripts/release.sh" > "$2" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$2"
    if [ "$status" -eq 75 ]; then
      # What it needs could not be had from the Debian archive; the reason
      # is in the log, and left for scripts/test.sh (scripts/summary.sh).
      echo "SKIP: scripts/release.sh could not set up in $1 (log: $2)"
      exit 75
    fi
    echo "FAIL: scripts/release.sh failed in $1 (log: $2)"
    exit 1
  fi
}

echo "== release of $commit in $first"
started=$(date +%s)
release "$first" "$scratch/first.log"
pause=$((started + 60 - $(date +%s)))
[ "$pause" -le 0 ] || sleep "$pause"
echo "== release of $commit in $second"
release "$second" "$scratch/second.log"

cat "$first/dist/SHA256SUMS"
if ! cmp -s "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"; then
  diff "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS" || true
  echo "FAIL: two builds of $commit differ"
  exit 1
fi
echo "the two builds are byte for byte the same"
python3 "$root/tests/release/release_test.py" "$first"
