#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a 32-bit Windows console program under Debian's wine32 in the i386
# chroot that scripts/setup.sh windows makes on hosts without wine32 of
# their own (see scripts/i386-chroot.sh): the CTest emulator of the 32-bit
# build there, and handy by hand, as root, from inside the repository:
#   scripts/wine32.sh build-windows/win32/hexpoke.exe -h
#   scripts/wine32.sh wineserver -k     wineserver or wineboot, in the chroot
#
# The program sees the repository at its own path and nothing else of the
# host: each run gets a mount namespace of its own, in which the repository
# (and HEXPOKE_WINE32_PREFIX, if it lies elsewhere) is bind-mounted into the
# chroot and /proc and /dev are mounted. Those mounts exist in that
# namespace only, never in the host's, and go when its last process exits,
# however that ends. (A wineserver that a run starts keeps its run's
# namespace until it exits.)
#
# The 32-bit Wine prefix is HEXPOKE_WINE32_PREFIX, by default
# build-windows/wine32, made on first use; WINEPREFIX, which names the
# 64-bit prefix, is not used. WINEDEBUG and WINEDLLOVERRIDES may be
# overridden, and GTEST_* variables reach the program.
set -euo pipefail
. "$(dirname "$0")/i386-chroot.sh"

prefix=${HEXPOKE_WINE32_PREFIX:-$hexpoke_repo/build-windows/wine32}
prefix=$(realpath -m "$prefix")
chroot_dir=$(realpath -m "$hexpoke_i386_root")

# Inside the new mount namespace: mount, enter the chroot, run.
if [ "${HEXPOKE_WINE32_INSIDE:-}" = 1 ]; then
  cwd=$1 command=$2
  shift 2
  shared=("$hexpoke_repo")
  case "$prefix/" in
    "$hexpoke_repo"/*) ;;
    *) shared+=("$(dirname "$prefix")") ;;
  esac
  for dir in "${shared[@]}"; do
    mkdir -p "$chroot_dir$dir"
    mount --bind "$dir" "$chroot_dir$dir"
  done
  mount -t proc proc "$chroot_dir/proc"
  mount --rbind /dev "$chroot_dir/dev"
  environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
               HOME=/root USER=root LOGNAME=root LC_ALL=C.UTF-8
               WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}"
               WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}")
  while IFS= read -r variable; do
    environment+=("$variable=${!variable}")
  done < <(compgen -e | grep '^GTEST_' || true)
  exec chroot "$chroot_dir" /usr/bin/env -i "${environment[@]}" \
    /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$command" "$@"
fi

reason=$(hexpoke_i386_unavailable use)
if [ -n "$reason" ]; then
  echo "$0: $reason" >&2
  exit 125
fi
cwd=$(pwd -P)
case "$cwd/" in
  "$hexpoke_repo"/*|"$prefix"/*) ;;
  *) echo "$0: run it from inside $hexpoke_repo, the only host directory" \
          "the chroot sees" >&2
     exit 125 ;;
esac

# Runs `command` with `args` in the chroot, from the current directory.
in_chroot() {
  HEXPOKE_WINE32_INSIDE=1 unshare --mount --propagation private -- \
    "$BASH" "$0" "$cwd" "$@"
}

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  # Two tests starting at once must not both build the prefix.
  exec 9>"$prefix.lock"
  flock 9
  # Whoever waited for the lock finds the prefix made.
  if [ ! -f "$prefix/system.reg" ]; then
    in_chroot wineboot --init >/dev/null 2>&1
    in_chroot wineserver --wait
  fi
  exec 9>&-
fi

case "${1:-}" in
  wineserver|wineboot) command=$1; shift ;;
  *) command=wine ;;
esac
HEXPOKE_WINE32_INSIDE=1 exec unshare --mount --propagation private -- \
  "$BASH" "$0" "$cwd" "$command" "$@"
