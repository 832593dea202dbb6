#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows console program under Wine, quietly and without prompts, in
# the project's own Wine prefix: the CTest emulator of the Windows builds,
# and handy by hand:
#   scripts/wine.sh build-windows/win64/hexpoke.exe -h
# WINEPREFIX defaults to build-windows/wine (made on first use, which takes
# half a minute or so); WINEDEBUG and WINEDLLOVERRIDES may be overridden.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wine}
# No debug chatter, and no offer to install Mono or Gecko: a console program
# needs neither.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine turns Windows file names into Unix ones in the locale's character
# set; in the C locale a name such as fw€.hex would not survive.
export LC_ALL=C.UTF-8

# Debian's wine64 alone "runs" a 32-bit program by printing nothing and
# exiting with 0, which would pass any test. Refuse instead.
if [ -f "${1:-}" ] && [ ! -x /usr/lib/wine/wine ]; then
  pe_offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  machine=$(od -An -tx2 -j$((${pe_offset:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  if [ "$machine" = 014c ]; then
    echo "$0: $1 is a 32-bit program, and wine32 (i386) is not installed;" \
         "scripts/wine32.sh runs it in an i386 chroot" >&2
    exit 125
  fi
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Two tests starting at once must not both build the prefix.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  # Whoever waited for the lock finds the prefix made.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    wineserver --wait
  fi
  exec 9>&-
fi
exec wine "$@"
