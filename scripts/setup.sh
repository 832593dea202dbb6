#!/usr/bin/env bash
# Installs the Debian packages that hexpoke needs, if any are missing.
#   scripts/setup.sh build    what building the tool needs
#   scripts/setup.sh test     that, and everything the test suite uses
#   scripts/setup.sh bench    that, and what bench/run.sh uses
#   scripts/setup.sh windows  the mingw-w64 cross-compilers, Wine and what
#                             scripts/build-windows.sh needs; also enables
#                             Debian's source packages (deb-src) for
#                             `apt-get source boost1.74`
# Safe to run again: it installs nothing that is already there.
set -euo pipefail

build_packages=(g++ cmake ninja-build libboost-program-options-dev)
test_packages=(libgtest-dev libbenchmark-dev python3 python3-intelhex srecord binutils
               clang libclang-rt-14-dev clang-tidy cppcheck
               mandoc man-db groff-base dpkg-dev acl)
bench_packages=(libbenchmark-dev hyperfine srecord valgrind python3 time)
# The posix thread model's compilers: their libstdc++ has std::thread and
# friends, and links statically with no DLL left over. wine64 runs the 64-bit
# build's tests; running 32-bit programs needs wine32 from the i386
# architecture, which this profile does not add (see build-windows.sh).
windows_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
                  wine wine64 googletest dpkg-dev xz-utils mandoc zip unzip)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
update_needed=false

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

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
  windows) wanted=("${windows_packages[@]}"); enable_deb_src ;;
  *) echo "usage: $0 [build|test|bench|windows]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  if [ "$update_needed" = true ]; then "${sudo[@]}" apt-get update -qq; fi
  exit 0
fi

echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
