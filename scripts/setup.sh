#!/usr/bin/env bash
# Installs the Debian packages that hexpoke needs, if any are missing.
#   scripts/setup.sh build   what building the tool needs
#   scripts/setup.sh test    that, and everything the test suite uses
#   scripts/setup.sh bench   that, and what bench/run.sh uses
# Safe to run again: it installs nothing that is already there.
set -euo pipefail

build_packages=(g++ cmake ninja-build libboost-program-options-dev)
test_packages=(libgtest-dev libbenchmark-dev python3 python3-intelhex srecord binutils
               clang libclang-rt-14-dev clang-tidy cppcheck
               mandoc man-db groff-base dpkg-dev acl)
bench_packages=(libbenchmark-dev hyperfine srecord valgrind python3 time)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
  *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
