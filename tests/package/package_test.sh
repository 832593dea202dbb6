#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package from a build tree and checks it: lintian has no
# error or warning for it, its contents, its dependencies, and that the
# binary it carries runs once unpacked into a scratch root.
#   package_test.sh BUILD_DIRECTORY
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/hexpoke_*.deb)
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# Informational tags (I:, P:) are advice; errors and warnings fail.
lintian_report=$(lintian --pedantic "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -z "$lintian_report" ] || echo "$lintian_report"
grep -Eq '^[EW]: ' <<<"$lintian_report" && fail "lintian reports errors or warnings"
version=$(dpkg-deb -f "$deb" Version)
changelog_version=$(dpkg-parsechangelog -l "$(dirname "$0")/../../packaging/debian/changelog" -S Version)
[ "$version" = "$changelog_version" ] ||
  fail "the changelog's latest entry is $changelog_version, the package $version"

contents=$(dpkg-deb -c "$deb")
grep -q ' ./usr/bin/hexpoke$' <<<"$contents" || fail "no /usr/bin/hexpoke in the package"
grep -q ' ./usr/share/man/man1/hexpoke.1.gz$' <<<"$contents" || fail "no compressed manual page in the package"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libboost-program-options1.74.0' <<<"$depends" ||
  fail "Depends lacks the Boost.Program_options library: $depends"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"

dpkg-deb -x "$deb" "$scratch/root"
usage=$("$scratch/root/usr/bin/hexpoke" -h)
grep -q '^Allowed options:' <<<"$usage" || fail "the packaged binary does not run"
man -l "$scratch"/root/usr/share/man/man1/hexpoke.1* 2>/dev/null | grep -q 'hexpoke' ||
  fail "the packaged manual page does not render"

echo "$((7 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
