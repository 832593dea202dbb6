#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds static Linux binaries of hexpoke with Debian's cross-compilers
# and runs their tests under qemu-user:
#   scripts/build-linux-cross.sh                  all three
#   scripts/build-linux-cross.sh aarch64 armhf    some of them
#
#   aarch64   64-bit ARM (arm64)
#   armhf     32-bit ARM, hard float (arm-linux-gnueabihf): unsigned char,
#             32-bit size_t
#   s390x     IBM Z, big-endian: built and tested, not released
#
# Leaves, under build-cross/:
#   TARGET/         the build tree (CMake's Release, static, warnings as
#                   errors), with the binary at build-cross/TARGET/hexpoke
#   cache/          Boost.Program_options and GoogleTest for each target
#                   (HEXPOKE_CROSS_CACHE moves it; see scripts/cross-libs.sh)
#
# Each build's CTest suite (unit, end-to-end, interop and static-binary
# tests) runs its programs under qemu-TARGET-static, named as their
# emulator: no binfmt handler is registered, and the host is left as it
# was. Tests that need what qemu-user cannot emulate say so and skip.
#
# Neither the build's nor the cache's directory ends up in the binaries, so
# two clones anywhere build the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64 armhf s390x)
for target in "${targets[@]}"; do
  case "$target" in
    aarch64|armhf|s390x) ;;
    *) echo "usage: $0 [aarch64] [armhf] [s390x]" >&2; exit 2 ;;
  esac
done

. scripts/summary.sh
hexpoke_summary_begin
trap 'hexpoke_summary_end $?' EXIT
scripts/setup.sh cross
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
out=$root/build-cross
cache=${HEXPOKE_CROSS_CACHE:-$out/cache}
mkdir -p "$cache"
. scripts/cross-libs.sh
hexpoke_cross_libs

fetch_boost
for target in "${targets[@]}"; do
  case "$target" in
    aarch64) triplet=aarch64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    s390x) triplet=s390x-linux-gnu ;;
  esac
  toolchain=$root/cmake/linux-$target.cmake
  build_boost "$triplet" "$triplet-g++" "$triplet-ar"
  build_gtest "$triplet" "$toolchain"

  echo "== $target: hexpoke and its tests"
  build=$out/$target
  set_boost_cmake_args "$triplet"
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DHEXPOKE_WERROR=ON -DHEXPOKE_STATIC=ON \
    "${boost_cmake_args[@]}" -DGTest_DIR="$gtest/$triplet/lib/cmake/GTest" >/dev/null
  cmake --build "$build" -j "$jobs"

  qemu=$(sed -n 's/^HEXPOKE_QEMU:FILEPATH=//p' "$build/CMakeCache.txt")
  echo "== $target: tests, under $qemu"
  hexpoke_ctest "$target, under $(basename "$qemu")" "$build" -j "$jobs"
  file "$build/hexpoke" | sed "s|^$root/||"
done
