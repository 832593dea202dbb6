#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds every release artifact of the commit checked out into dist/:
#   hexpoke-VERSION-linux-x86_64.tar.gz   static Linux binaries; each archive
#   hexpoke-VERSION-linux-aarch64.tar.gz  holds one folder with hexpoke,
#   hexpoke-VERSION-linux-armhf.tar.gz    hexpoke.1, README.md, LICENSE and
#                                         NOTICES.md
#   hexpoke-VERSION-win32.zip             the same, with hexpoke.exe and the
#   hexpoke-VERSION-win64.zip             manual page as hexpoke.html
#   hexpoke_VERSION_amd64.deb             the Debian 12 package
#   SHA256SUMS                            over all of them
#
# What is released is a commit, so the tree must have no changes that are
# not committed. Every date in an artifact is the commit's
# (SOURCE_DATE_EPOCH), and no build path is in any binary, so the same
# commit gives the same bytes wherever and whenever it is built
# (tests/release/reproducible_test.sh checks that).
#
# The build trees stay in build-release/, each with the linker's map of the
# binary, which tests/release/release_test.py checks NOTICES.md against.
# Nothing is tested here: scripts/test.sh tests the same configurations.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -n "$(git status --porcelain)" ]; then
  echo "$0: the tree has changes that are not committed; a release is made" \
       "from a commit:" >&2
  git status --short >&2
  exit 1
fi

scripts/setup.sh release
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
# Dates written as local time (a zip's) are the same everywhere; modes do
# not depend on the caller's umask; sorting does not depend on the locale.
export TZ=UTC LC_ALL=C
umask 022
version=$(sed -n 's/^project(hexpoke VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
out=$root/build-release
dist=$root/dist
cache=${HEXPOKE_CROSS_CACHE:-$out/cache}
mkdir -p "$cache"
. scripts/cross-libs.sh
hexpoke_cross_libs
fetch_boost

# configure NAME CMAKE_ARGUMENTS...: a release build tree, built.
build() {
  local name=$1; shift
  echo "== $name"
  cmake -S . -B "$out/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DHEXPOKE_TESTS=OFF -DHEXPOKE_WERROR=ON "$@" >/dev/null
  cmake --build "$out/$name" -j "$jobs"
}

# cross NAME TRIPLET TOOLCHAIN_FILE COMPILER: a static build for another
# system, with Boost.Program_options compiled for it.
cross() {
  local name=$1 triplet=$2 toolchain=$3 cxx=$4
  build_boost "$triplet" "$cxx" "$triplet-ar"
  set_boost_cmake_args "$triplet"
  build "$name" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DHEXPOKE_STATIC=ON "${boost_cmake_args[@]}"
}

# pack NAME FORMAT BINARY MANUAL_PAGE: dist/hexpoke-VERSION-NAME.FORMAT,
# one folder holding the binary (stripped), its manual page, README.md,
# LICENSE and NOTICES.md, every member dated at the commit.
pack() {
  local name=$1 format=$2 binary=$3 manual=$4
  local folder=hexpoke-$version-$name
  local stage=$out/stage/$folder
  hexpoke_remove_tree "$stage"
  mkdir -p "$stage"
  cp "$binary" "$manual" README.md LICENSE NOTICES.md "$stage/"
  local strip
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$(dirname "$binary")/CMakeCache.txt")
  "$strip" "$stage/$(basename "$binary")"
  chmod 644 "$stage"/*
  chmod 755 "$stage" "$stage/$(basename "$binary")"
  touch -d "@$SOURCE_DATE_EPOCH" "$stage" "$stage"/*
  rm -f "$dist/$folder.$format"
  case "$format" in
    tar.gz)
      (cd "$out/stage" &&
       tar --create --format=gnu --sort=name --owner=0 --group=0 \
           --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" "$folder") |
        gzip -9n > "$dist/$folder.$format" ;;
    zip)
      # -X: no owners or extra time stamps; names in sorted order.
      (cd "$out/stage" && find "$folder" | sort |
       zip -q -X -9 -@ "$dist/$folder.$format") ;;
  esac
}

hexpoke_remove_tree "$dist"
mkdir -p "$dist"

build linux-x86_64 -DHEXPOKE_STATIC=ON
pack linux-x86_64 tar.gz "$out/linux-x86_64/hexpoke" "$out/linux-x86_64/hexpoke.1"

cross linux-aarch64 aarch64-linux-gnu linux-aarch64.cmake aarch64-linux-gnu-g++
pack linux-aarch64 tar.gz "$out/linux-aarch64/hexpoke" "$out/linux-aarch64/hexpoke.1"
cross linux-armhf arm-linux-gnueabihf linux-armhf.cmake arm-linux-gnueabihf-g++
pack linux-armhf tar.gz "$out/linux-armhf/hexpoke" "$out/linux-armhf/hexpoke.1"

cross win64 x86_64-w64-mingw32 mingw-w64-x86_64.cmake x86_64-w64-mingw32-g++-posix
pack win64 zip "$out/win64/hexpoke.exe" "$out/win64/hexpoke.html"
cross win32 i686-w64-mingw32 mingw-w64-i686.cmake i686-w64-mingw32-g++-posix
pack win32 zip "$out/win32/hexpoke.exe" "$out/win32/hexpoke.html"

# The Debian package: a dynamic build, stripped and dated by cpack.
build deb -DHEXPOKE_STATIC=OFF
(cd "$out/deb" && cpack -G DEB -B "$out/deb/package" >/dev/null)
cp "$out/deb/package/hexpoke_${version}_amd64.deb" "$dist/"

(cd "$dist" && sha256sum -- * > SHA256SUMS)
echo "== dist/"
cat "$dist/SHA256SUMS"
