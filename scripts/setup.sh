#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that hexpoke needs, if any are missing.
#   scripts/setup.sh build    what building the tool needs
#   scripts/setup.sh test     that, and everything the test suite uses
#   scripts/setup.sh bench    that, and what bench/run.sh uses
#   scripts/setup.sh windows  the mingw-w64 cross-compilers, Wine and what
#                             else scripts/cross-build.sh needs for win64
#                             and win32; also enables Debian's source
#                             packages (deb-src) for
#                             `apt-get source boost1.74`, and, where the
#                             host has no wine32, makes the i386 chroot
#                             that runs the 32-bit tests (see below)
#   scripts/setup.sh cross    Debian's cross-compilers for aarch64, armhf and
#                             s390x, qemu-user and what else
#                             scripts/cross-build.sh needs for them; also
#                             enables Debian's source packages
#   scripts/setup.sh release  what scripts/release.sh needs: the compilers
#                             for every released system, and what packs
#                             the archives; also enables Debian's source
#                             packages
#   scripts/setup.sh filesystems  what tests/filesystems/filesystems_test.py
#                             mounts and runs: FUSE file systems, sshfs and
#                             an sshd (never left running), bindfs, the
#                             tools that make xfs, btrfs and ext4
# Safe to run again: it installs nothing that is already there.
#
# Where the Debian archive cannot be used on a second try, it exits with
# status 75 (see scripts/summary.sh): scripts/test.sh then skips what
# needed the packages.
set -euo pipefail
. "$(dirname "$0")/i386-chroot.sh"
. "$(dirname "$0")/summary.sh"

build_packages=(g++ cmake ninja-build libboost-program-options-dev)
test_packages=(libgtest-dev libbenchmark-dev python3 python3-intelhex srecord binutils
               clang libclang-rt-14-dev clang-tidy cppcheck
               mandoc man-db groff-base dpkg-dev lintian acl)
bench_packages=(libbenchmark-dev hyperfine srecord valgrind python3 time)
# The posix thread model's compilers: their libstdc++ has std::thread and
# friends, and links statically with no DLL left over. wine64 runs the 64-bit
# build's tests. Running 32-bit programs needs wine32 from the i386
# architecture, which this profile does not add to the host: installing it
# would upgrade dozens of the host's system packages where they lag behind
# the archive, since multiarch keeps both architectures' versions equal.
# Instead, wine32 runs in a chroot of its own (make_i386_chroot).
windows_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
                  wine wine64 googletest dpkg-dev xz-utils mandoc zip unzip)

# The cross builds' tests run under qemu-user, named as the emulator of each
# test program, so no binfmt handler is needed: the package registers its
# handlers only through binfmt-support, which is not installed with it.
# The interop and static-binary tests of those builds use the host's
# readers and readelf.
cross_packages=(cmake ninja-build g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
                g++-s390x-linux-gnu qemu-user-static googletest dpkg-dev xz-utils
                python3 python3-intelhex srecord binutils file)

release_packages=(g++ cmake ninja-build libboost-program-options-dev git
                  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
                  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
                  dpkg-dev xz-utils mandoc zip)

# The FUSE ones (FAT, exFAT, NTFS through ntfs-3g and lowntfs-3g, sshfs,
# bindfs) and the tools that make the images of the others. The test starts
# an sshd of its own on a free port; openssh-server's own is never started
# (see without_service_starts).
filesystems_packages=(fusefat dosfstools exfat-fuse exfatprogs ntfs-3g sshfs
                      openssh-server openssh-client bindfs xfsprogs btrfs-progs
                      e2fsprogs fuse3 python3 python3-intelhex)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
update_needed=false
# Two set-ups at once (two build trees, a build and a test run) take turns
# at apt's locks instead of failing.
apt_get=(apt-get -o DPkg::Lock::Timeout=900)

# Adds a deb-src twin of every Debian archive entry that has none, so that
# `apt-get source` finds boost1.74. Leaves the existing source lists alone.
enable_deb_src() {
  local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list
               /etc/apt/sources.list.d/*.sources)
  local file
  for file in "${lists[@]}"; do
    [ -f "$file" ] || continue
    if grep -Eq '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' "$file"; then
      return 0
    fi
  done
  local target=/etc/apt/sources.list.d/hexpoke-deb-src.sources
  local stanzas=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # deb822: each stanza of binary packages, again for source packages.
    stanzas=$(awk 'BEGIN { RS = ""; ORS = "\n\n" }
                   /(^|\n)Types:[^\n]*deb([ \n]|$)/ {
                     sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, "");
                     print }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$stanzas" ] && [ -f /etc/apt/sources.list ]; then
    target=/etc/apt/sources.list.d/hexpoke-deb-src.list
    stanzas=$(sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list)
  fi
  if [ -z "$stanzas" ]; then
    echo "no Debian archive entry found to enable source packages from" >&2
    exit 1
  fi
  echo "Enabling Debian source packages in $target"
  printf '%s\n' "$stanzas" | "${sudo[@]}" tee "$target" >/dev/null
  update_needed=true
}

profile=${1:-build}
case "$profile" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
  windows) wanted=("${windows_packages[@]}"); enable_deb_src ;;
  cross) wanted=("${cross_packages[@]}"); enable_deb_src ;;
  release) wanted=("${release_packages[@]}"); enable_deb_src ;;
  filesystems) wanted=("${filesystems_packages[@]}") ;;
  *) echo "usage: $0 [build|test|bench|windows|cross|release|filesystems]" >&2; exit 2 ;;
esac

install_missing() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    if [ "$update_needed" = true ]; then apt_update_and; fi
    update_needed=false
    return 0
  fi
  echo "Installing: ${missing[*]}"
  without_service_starts apt_update_and install -y -qq --no-install-recommends "${missing[@]}"
  update_needed=false
}

# Runs COMMAND, an apt-get that installs packages, so that none of them
# starts a service: openssh-server would start an sshd on port 22 that
# nothing stops. A postinst starts its service through invoke-rc.d or
# deb-systemd-invoke, which both ask /usr/sbin/policy-rc.d first. Where the
# machine has no such policy (container images have one that says no), one
# that says no is put in place for the command alone, and removed however
# it ends; an apt-get run by someone else meanwhile starts nothing either.
without_service_starts() {
  local policy=/usr/sbin/policy-rc.d
  if [ -e "$policy" ]; then
    "$@"
    return
  fi
  trap '"${sudo[@]}" rm -f '"$policy" EXIT
  printf '#!/bin/sh\n# Put here by hexpoke'\''s scripts/setup.sh while it installs packages.\nexit 101\n' |
    "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
  "$@"
  "${sudo[@]}" rm -f "$policy"
  trap - EXIT
}

# apt-get update, then apt-get with `arguments` (if any), tried once more
# half a minute later if either fails: a mirror being synced gives index
# files that do not match their release file for a while. If they fail
# again, the archive is out of reach or inconsistent, and the script gives
# up (status 75); but packages that apt cannot resolve at all are this
# script's fault, and fail it.
apt_update_and() {
  local attempt failed
  for attempt in 1 2; do
    if ! "${sudo[@]}" "${apt_get[@]}" update -qq; then
      failed="apt-get update"
    elif [ $# -eq 0 ] ||
         DEBIAN_FRONTEND=noninteractive "${sudo[@]}" "${apt_get[@]}" "$@"; then
      return 0
    elif ! "${apt_get[@]}" --simulate "$@" >/dev/null; then
      echo "apt-get cannot install what scripts/setup.sh $profile asks for" >&2
      exit 1
    else
      failed="apt-get $1"
    fi
    [ "$attempt" -eq 2 ] || { echo "$failed failed; trying once more in 30 s" >&2; sleep 30; }
  done
  hexpoke_give_up "$failed failed twice: the Debian archive cannot be reached or is inconsistent"
}

# An i386 Debian chroot with Debian's wine32, for hosts that have no wine32
# of their own: scripts/wine32.sh runs the 32-bit tests in it. The host
# gains only mmdebstrap and arch-test. Made once; a chroot that exists is
# kept. mmdebstrap's unshare mode keeps the mounts it makes while it works
# in a mount namespace of its own, so that none outlives it.
#
# Where it cannot be made for a reason outside the project (no root, no
# mount namespace, a kernel that runs no i386 programs, an archive that
# fails twice), it is not made, and the reason is written to
# CHROOT.unavailable for scripts/cross-build.sh to give: the 32-bit tests
# are then skipped, and the rest goes on.
make_i386_chroot() {
  hexpoke_host_has_wine32 && return 0
  local target=$hexpoke_i386_root reason
  reason=$(hexpoke_i386_unavailable)
  if [ -n "$reason" ]; then
    echo "No i386 chroot, so the 32-bit Windows tests will not run: $reason" >&2
    return 0
  fi
  [ -x "$target/usr/lib/wine/wine" ] && return 0
  install_missing mmdebstrap arch-test
  # Two builds sharing a cache must not both make it.
  mkdir -p "$(dirname "$target")"
  exec 8>"$target.lock"
  flock 8
  rm -f "$target.unavailable"
  if [ -x "$target/usr/lib/wine/wine" ]; then exec 8>&-; return 0; fi
  chroot_unavailable=
  make_i386_chroot_locked "$target"
  if [ -n "$chroot_unavailable" ]; then
    printf '%s\n' "$chroot_unavailable" > "$target.unavailable"
    echo "No i386 chroot, so the 32-bit Windows tests will not run:" \
         "$chroot_unavailable" >&2
  fi
  exec 8>&-
}

# Makes the chroot at `target`, or sets chroot_unavailable to why it could
# not.
make_i386_chroot_locked() {
  local target=$1
  if ! arch-test -n i386 >/dev/null 2>&1; then
    chroot_unavailable="this kernel does not run i386 programs"
    return 0
  fi
  if [ -e "$target" ]; then
    # Not one of ours, or broken: left for its owner to look at.
    chroot_unavailable="$target exists but has no wine32 (delete it to have it made)"
    return 0
  fi
  echo "== i386 $hexpoke_codename chroot with wine32 in $target (made once)"
  local partial=$target.partial log=$target.log sources attempt
  sources=$(hexpoke_i386_sources "$(dirname "$target")/i386-sources")
  if [ -z "$sources" ] || ! grep -q '^Suites: \|^deb ' "$sources"; then
    rm -f "$sources"
    chroot_unavailable="the host's apt sources have no entry for $hexpoke_codename"
    return 0
  fi
  for attempt in 1 2; do
    hexpoke_remove_tree "$partial"
    if mmdebstrap --mode=unshare --arch=i386 --variant=essential \
        --include=wine,wine32 "$hexpoke_codename" "$partial" "$sources" \
        >"$log" 2>&1; then
      rm -f "$sources" "$log"
      mv "$partial" "$target"
      return 0
    fi
    tail -n 20 "$log" >&2
    if [ "$attempt" -eq 1 ]; then
      echo "mmdebstrap failed; trying once more in 30 s" >&2
      sleep 30
    fi
  done
  rm -f "$sources"
  hexpoke_remove_tree "$partial"
  # The first error that apt or mmdebstrap gave, as the reason.
  local first_error
  first_error=$(grep -m 1 '^E: ' "$log" | cut -c 4-200 || true)
  chroot_unavailable="mmdebstrap failed twice, the Debian archive out of reach or inconsistent: ${first_error:-see $log}"
}

install_missing "${wanted[@]}"
if [ "$profile" = windows ]; then make_i386_chroot; fi
