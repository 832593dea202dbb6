#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds hexpoke.exe for Windows with Debian's mingw-w64 compilers and
# runs what tests it can (scripts/release.sh makes the release zips):
#   scripts/build-windows.sh              both, 64-bit and 32-bit
#   scripts/build-windows.sh win64        one of them (win64 or win32)
#
# Leaves, under build-windows/:
#   win64/, win32/                 the build trees (hexpoke.exe, hexpoke_tests.exe)
#   wine/                          the Wine prefix the tests run in
#   wine32/                        the 32-bit prefix, where the i386 chroot
#                                  runs the 32-bit tests
#   cache/                         Boost.Program_options and GoogleTest for
#                                  each target, and the i386 chroot
#                                  (HEXPOKE_WINDOWS_CACHE moves it)
#
# Boost.Program_options comes from Debian's source package boost1.74, and
# GoogleTest from /usr/src/googletest, each built per target and cached
# (scripts/cross-libs.sh).
#
# The 64-bit build's tests run under Wine (wine64). The 32-bit build's
# run under wine32: the host's own if it has one, or else Debian's wine32
# in an i386 chroot that scripts/setup.sh windows makes, through
# scripts/wine32.sh (which needs root). Where neither can be had, the
# 32-bit tests are built, not registered with CTest, and the reason is
# printed: wine64 alone "runs" a 32-bit program by printing nothing and
# exiting with 0, which would pass any test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/i386-chroot.sh
. scripts/cross-libs.sh
. scripts/summary.sh

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(win64 win32)
for target in "${targets[@]}"; do
  case "$target" in
    win64|win32) ;;
    *) echo "usage: $0 [win64] [win32]" >&2; exit 2 ;;
  esac
done

hexpoke_summary_begin
scripts/setup.sh windows
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
out=$root/build-windows
cache=${HEXPOKE_WINDOWS_CACHE:-$out/cache}
mkdir -p "$cache"
hexpoke_cross_libs

export WINEPREFIX=${WINEPREFIX:-$out/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
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
  local prefix=${HEXPOKE_WINE32_PREFIX:-$out/wine32}
  [ -f "$prefix/system.reg" ] || echo "== 32-bit Wine prefix $prefix, in the i386 chroot (made once)"
  scripts/wine32.sh cmd /c exit </dev/null >/dev/null 2>&1
  scripts/wine32.sh wineserver --wait
  scripts/wine32.sh wineserver --persistent=60 || true
  wine32_started=true
  scripts/wine32.sh cmd /c exit </dev/null >/dev/null 2>&1
}

# What runs the 32-bit tests: the host's wine32, wine32 in the i386 chroot,
# or nothing, for the reason given.
win32_wine= win32_reason=
if hexpoke_host_has_wine32; then
  win32_wine=wine
else
  win32_reason=$(hexpoke_i386_unavailable use)
  [ -n "$win32_reason" ] || win32_wine=wine32
fi

fetch_boost
for target in "${targets[@]}"; do
  case "$target" in
    win64) triplet=x86_64-w64-mingw32; toolchain=$root/cmake/mingw-w64-x86_64.cmake
           wine=wine; emulator=() ;;
    win32) triplet=i686-w64-mingw32; toolchain=$root/cmake/mingw-w64-i686.cmake
           wine=$win32_wine
           emulator=("-DCMAKE_CROSSCOMPILING_EMULATOR:FILEPATH=${wine:+$root/scripts/$wine.sh}") ;;
  esac
  build_boost "$triplet" "$triplet-g++-posix" "$triplet-ar"
  build_gtest "$triplet" "$toolchain"

  echo "== $target: hexpoke.exe and its unit tests"
  build=$out/$target
  set_boost_cmake_args "$triplet"
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DHEXPOKE_WERROR=ON -DHEXPOKE_STATIC=ON \
    "${boost_cmake_args[@]}" -DGTest_DIR="$gtest/$triplet/lib/cmake/GTest" \
    "${emulator[@]}" >/dev/null
  cmake --build "$build" -j "$jobs"

  if [ -n "$wine" ]; then
    if [ "$wine" = wine32 ]; then
      start_wine32
      runner="wine32 in the i386 chroot"
    else
      start_wine
      runner=Wine
    fi
    echo "== $target: tests, under $runner"
    if ! hexpoke_ctest "$target, under $runner" "$build" -j "$jobs"; then
      # A test under Wine has been seen to fail at once with no output at
      # all, right after the prefix was made: the program never started.
      # A real failure fails again.
      echo "== $target: running the failed tests once more"
      ctest --test-dir "$build" --output-on-failure --rerun-failed
      hexpoke_ran "$target, under $runner" \
        "$(hexpoke_ctest_counts "$build/ctest.log"), some passing only when run again"
    fi
  else
    echo "== $target: tests (the unit and end-to-end tests are built, not run: $win32_reason)"
    hexpoke_ctest "$target, built, not run" "$build" -j "$jobs"
    hexpoke_skipped "$target unit and end-to-end tests" "$win32_reason"
  fi
done
