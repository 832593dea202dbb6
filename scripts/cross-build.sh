#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds hexpoke for Windows and for Linux on other processors, with
# Debian's cross-compilers, and runs the tests of each build: under Wine
# for Windows, under qemu-user for Linux (scripts/release.sh makes the
# release archives):
#   scripts/cross-build.sh                  every target
#   scripts/cross-build.sh windows          win64 and win32
#   scripts/cross-build.sh linux            aarch64, armhf and s390x
#   scripts/cross-build.sh win32 armhf      some of them
#
#   win64     64-bit Windows (x86_64-w64-mingw32)
#   win32     32-bit Windows (i686-w64-mingw32)
#   aarch64   64-bit ARM Linux (arm64)
#   armhf     32-bit ARM Linux, hard float (arm-linux-gnueabihf): unsigned
#             char, 32-bit size_t
#   s390x     IBM Z Linux, big-endian: built and tested, not released
#
# Each build is CMake's Release, static, with warnings as errors, made with
# the target's toolchain file in cmake/. It leaves:
#   build-windows/win64/, win32/   the Windows build trees (hexpoke.exe,
#                                  hexpoke_tests.exe)
#   build-windows/wine/            the Wine prefix the tests run in
#   build-windows/wine32/          the 32-bit prefix, where the i386 chroot
#                                  runs the 32-bit tests
#   build-windows/cache/           the Windows targets' libraries, and the
#                                  i386 chroot (HEXPOKE_WINDOWS_CACHE moves it)
#   build-cross/TARGET/            the Linux build trees, with the binary at
#                                  build-cross/TARGET/hexpoke
#   build-cross/cache/             the Linux targets' libraries
#                                  (HEXPOKE_CROSS_CACHE moves it)
#
# Boost.Program_options comes from Debian's source package boost1.74, and
# GoogleTest from /usr/src/googletest, each built per target and cached
# (scripts/cross-libs.sh). Neither the build's nor the cache's directory
# ends up in the binaries, so two clones anywhere build the same bytes.
#
# Windows: the 64-bit build's tests run under Wine (wine64). The 32-bit
# build's run under wine32: the host's own if it has one, or else Debian's
# wine32 in an i386 chroot that scripts/setup.sh windows makes, through
# scripts/wine32.sh (which needs root). Where neither can be had, the
# 32-bit tests are built, not registered with CTest, and skipped with the
# reason: wine64 alone "runs" a 32-bit program by printing nothing and
# exiting with 0, which would pass any test.
#
# Linux: each build's CTest suite (unit, end-to-end, interop and
# static-binary tests) runs its programs under qemu-TARGET-static, named
# as their emulator: no binfmt handler is registered, and the host is left
# as it was. Tests that need what qemu-user cannot emulate say so and skip.
#
# It ends with a summary of the tests each build ran and skipped
# (scripts/summary.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/i386-chroot.sh
. scripts/cross-libs.sh
. scripts/summary.sh

windows_targets=(win64 win32)
linux_targets=(aarch64 armhf s390x)
targets=()
for argument in "$@"; do
  case "$argument" in
    windows) targets+=("${windows_targets[@]}") ;;
    linux) targets+=("${linux_targets[@]}") ;;
    win64|win32|aarch64|armhf|s390x) targets+=("$argument") ;;
    *) echo "usage: $0 [windows] [linux] [win64] [win32] [aarch64] [armhf] [s390x]" >&2
       exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${windows_targets[@]}" "${linux_targets[@]}")

# Sets, for `target`: system (windows or linux), triplet, cxx (its
# compiler), toolchain (its CMake toolchain file), out (the folder of its
# build tree) and cache (where its libraries are kept).
target_settings() {
  case "$1" in
    win64) system=windows triplet=x86_64-w64-mingw32 toolchain=mingw-w64-x86_64 ;;
    win32) system=windows triplet=i686-w64-mingw32 toolchain=mingw-w64-i686 ;;
    aarch64) system=linux triplet=aarch64-linux-gnu toolchain=linux-aarch64 ;;
    armhf) system=linux triplet=arm-linux-gnueabihf toolchain=linux-armhf ;;
    s390x) system=linux triplet=s390x-linux-gnu toolchain=linux-s390x ;;
  esac
  toolchain=$root/cmake/$toolchain.cmake
  case "$system" in
    windows) cxx=$triplet-g++-posix out=$root/build-windows
             cache=${HEXPOKE_WINDOWS_CACHE:-$out/cache} ;;
    linux) cxx=$triplet-g++ out=$root/build-cross
           cache=${HEXPOKE_CROSS_CACHE:-$out/cache} ;;
  esac
}

hexpoke_summary_begin
wine_started=false
wine32_started=false
stop_wine() {
  if [ "$wine_started" = true ]; then wineserver -k 2>/dev/null || true; fi
  # The 32-bit wineserver holds the mount namespace that its run of
  # scripts/wine32.sh made; with it, the namespace and its mounts go.
  if [ "$wine32_started" = true ]; then
    scripts/wine32.sh wineserver -k 2>/dev/null || true
  fi
}
trap 'status=$?; stop_wine; hexpoke_summary_end "$status"' EXIT
# An interrupted build stops its wineservers too.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# What each system needs installed, once.
for target in "${targets[@]}"; do
  target_settings "$target"
  case "$system" in
    windows) [ "${windows_ready:-}" = true ] || scripts/setup.sh windows
             windows_ready=true ;;
    linux) [ "${linux_ready:-}" = true ] || scripts/setup.sh cross
           linux_ready=true ;;
  esac
done
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2

if [ "${windows_ready:-}" = true ]; then
  export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wine}
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
fi

# Makes the Wine prefix once and keeps one wineserver running while the
# tests run, instead of one started and stopped for each test. It stays
# for a minute after its last program exits, or until stop_wine.
start_wine() {
  [ "$wine_started" = true ] && return
  [ -f "$WINEPREFIX/system.reg" ] || echo "== Wine prefix $WINEPREFIX (made once)"
  scripts/wine.sh cmd /c exit </dev/null >/dev/null 2>&1
  wineserver --wait
  # Fails if another wineserver serves the prefix; the tests then use that.
  wineserver --persistent=60 || true
  wine_started=true
  # The first program in a Wine session starts its services, which last as
  # long as the wineserver. Started inside a test they would hold on to the
  # test's output, and CTest would wait for them.
  scripts/wine.sh cmd /c exit </dev/null >/dev/null 2>&1
}

# The same for the 32-bit prefix in the i386 chroot.
start_wine32() {
  [ "$wine32_started" = true ] && return
  local prefix=${HEXPOKE_WINE32_PREFIX:-$root/build-windows/wine32}
  [ -f "$prefix/system.reg" ] || echo "== 32-bit Wine prefix $prefix, in the i386 chroot (made once)"
  scripts/wine32.sh cmd /c exit </dev/null >/dev/null 2>&1
  scripts/wine32.sh wineserver --wait
  scripts/wine32.sh wineserver --persistent=60 || true
  wine32_started=true
  scripts/wine32.sh cmd /c exit </dev/null >/dev/null 2>&1
}

# What runs the 32-bit Windows tests: the host's wine32, wine32 in the
# i386 chroot, or nothing, for the reason given.
win32_wine='' win32_reason=''
if hexpoke_host_has_wine32; then
  win32_wine=wine
else
  win32_reason=$(hexpoke_i386_unavailable use)
  [ -n "$win32_reason" ] || win32_wine=wine32
fi

# Runs the Windows build's tests in `build` under its Wine, or, for a
# 32-bit build with no wine32 to run it, only those that need no Wine.
test_windows() {
  local target=$1 build=$2 wine=wine runner=Wine
  [ "$target" = win64 ] || wine=$win32_wine
  if [ -z "$wine" ]; then
    echo "== $target: tests (the unit and end-to-end tests are built, not run: $win32_reason)"
    hexpoke_ctest "$target, without wine32" "$build" -j "$jobs"
    hexpoke_skipped "$target unit and end-to-end tests" "$win32_reason"
    return
  fi
  if [ "$wine" = wine32 ]; then
    start_wine32
    runner="wine32 in the i386 chroot"
  else
    start_wine
  fi
  echo "== $target: tests, under $runner"
  # Run once: a test that fails fails the run, however it passes again.
  hexpoke_ctest "$target, under $runner" "$build" -j "$jobs"
}

# Runs the Linux build's tests in `build` under qemu-user.
test_linux() {
  local target=$1 build=$2 qemu
  qemu=$(sed -n 's/^HEXPOKE_QEMU:FILEPATH=//p' "$build/CMakeCache.txt")
  echo "== $target: tests, under $qemu"
  hexpoke_ctest "$target, under $(basename "$qemu")" "$build" -j "$jobs"
  file "$build/hexpoke" | sed "s|^$root/||"
}

libraries_of=
for target in "${targets[@]}"; do
  target_settings "$target"
  if [ "$libraries_of" != "$cache" ]; then
    hexpoke_cross_libs
    fetch_boost
    libraries_of=$cache
  fi
  build_boost "$triplet" "$cxx" "$triplet-ar"
  build_gtest "$triplet" "$toolchain"

  build=$out/$target
  emulator=()
  if [ "$target" = win32 ]; then
    emulator=("-DCMAKE_CROSSCOMPILING_EMULATOR:FILEPATH=${win32_wine:+$root/scripts/$win32_wine.sh}")
  fi
  if [ "$system" = windows ]; then
    echo "== $target: hexpoke.exe and its unit tests"
  else
    echo "== $target: hexpoke and its tests"
  fi
  set_boost_cmake_args "$triplet"
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DHEXPOKE_WERROR=ON -DHEXPOKE_STATIC=ON \
    "${boost_cmake_args[@]}" -DGTest_DIR="$gtest/$triplet/lib/cmake/GTest" \
    "${emulator[@]}" >/dev/null
  cmake --build "$build" -j "$jobs"

  "test_$system" "$target" "$build"
done
