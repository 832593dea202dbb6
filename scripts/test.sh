#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs the test suite:
#   scripts/test.sh          everything below: the README's test command,
#                            and what CI runs (some 40 minutes of CPU)
#   scripts/test.sh quick    steps 1 and 3 only, for the host: the loop to
#                            run while changing code (1 to 2 minutes on a
#                            built tree); no cross-compiler needed
#
#  1. a release build with warnings as errors: unit, end-to-end and interop
#     tests (the micro-benchmarks are built, never timed);
#  2. clang-tidy and cppcheck on src/ (clang-tidy on the Windows-only
#     source after step 7);
#  3. a build with AddressSanitizer and UndefinedBehaviorSanitizer running
#     the same tests;
#  4. the statically linked release build (the single-file Linux binary)
#     and the same tests against it;
#  5. the portable POSIX build (HEXPOKE_PORTABLE_POSIX: the POSIX layer with
#     the calls that POSIX, macOS and FreeBSD all offer only) and its tests;
#  6. build-test/hexpoke on eleven file systems mounted for the test
#     (tests/filesystems/filesystems_test.py, as root): FAT, exFAT and NTFS
#     through FUSE, sshfs, bindfs, xfs, btrfs, an overlay, ext4 and tmpfs;
#  7. the Windows builds, cross-compiled (scripts/cross-build.sh windows):
#     the unit and end-to-end tests of both under Wine (the 32-bit ones in an
#     i386 chroot where the host has no wine32);
#  8. the static Linux builds for aarch64, armhf and s390x, cross-compiled
#     (scripts/cross-build.sh linux): their unit, end-to-end and interop
#     tests under qemu-user;
#  9. the libFuzzer targets, FUZZ_SECONDS (default 30) each;
# 10. the release (scripts/release.sh) built twice, from two clones of the
#     commit in different directories, which must give the same bytes,
#     and a check of what its archives and package hold.
#
# It stops at the first failure. What cannot be set up for a reason outside
# the project (a kernel that runs no i386 programs for the 32-bit Windows
# tests, a Debian archive out of reach or inconsistent on a second try, no
# mount namespace, a file system that cannot be mounted, not root) is
# skipped instead, with its reason (scripts/summary.sh).
# Its last lines sum up every part that ran, with its count of tests and
# of tests that skipped themselves, and every part skipped, and why.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-full}
case "$mode" in
  full|quick) ;;
  *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac
. scripts/summary.sh
hexpoke_summary_begin
# The part under way, named in the summary if it fails.
part="scripts/setup.sh test"
trap 'status=$?; [ "$status" -eq 0 ] || hexpoke_summary_end "$status" "$part"' EXIT

scripts/setup.sh test
jobs=$(nproc 2>/dev/null || echo 2)

echo "== release build: unit, end-to-end, interop, manual and package tests"
part="release build (build-test)"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHEXPOKE_WERROR=ON -DHEXPOKE_BENCHMARKS=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build-test
hexpoke_ctest "$part" build-test -j "$jobs"

if [ "$mode" = full ]; then
  echo "== static analysis: clang-tidy and cppcheck"
  part="clang-tidy and cppcheck on src/"
  # The sources that the Linux build compiles; EnvWindows.cpp is linted with
  # the Windows build below.
  mapfile -t linux_sources < <(python3 -c '
import json, sys
entries = json.load(open("build-test/compile_commands.json"))
print("\n".join(sorted({e["file"] for e in entries if "/src/" in e["file"]})))')
  clang-tidy -p build-test --quiet "${linux_sources[@]}"
  cppcheck --enable=warning,performance,portability,style --std=c++17 \
    --error-exitcode=1 --inline-suppr --quiet -I src src
  hexpoke_ran "$part" "${#linux_sources[@]} files"
fi

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build, same tests"
part="sanitizer build (build-asan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DHEXPOKE_WERROR=ON -DHEXPOKE_SANITIZE=ON >/dev/null
cmake --build build-asan
hexpoke_ctest "$part" build-asan -j "$jobs"

if [ "$mode" = quick ]; then
  hexpoke_left_out "static analysis, static build, portable POSIX build, file systems, cross-builds, fuzzing, release" \
    "the full run only (scripts/test.sh)"
  hexpoke_summary_end 0
  echo "== quick tests passed"
  exit 0
fi

echo "== static release build: the single-file binary, same tests"
part="static build (build-static)"
cmake -S . -B build-static -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DHEXPOKE_WERROR=ON -DHEXPOKE_STATIC=ON >/dev/null
cmake --build build-static
hexpoke_ctest "$part" build-static -j "$jobs"

echo "== portable POSIX build: the POSIX layer with portable calls only, same tests"
part="portable POSIX build (build-portable)"
cmake -S . -B build-portable -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHEXPOKE_WERROR=ON -DHEXPOKE_PORTABLE_POSIX=ON >/dev/null
cmake --build build-portable
hexpoke_ctest "$part" build-portable -j "$jobs"

echo "== file systems: build-test/hexpoke on FAT, exFAT, NTFS, sshfs, bindfs, xfs, btrfs, overlay, ext4, tmpfs"
part="file systems (tests/filesystems)"
# Each file system that ran or was skipped gets its own line in the summary,
# written by the test.
if [ "$(id -u)" -ne 0 ]; then
  hexpoke_skipped "$part" "not root: mounting file systems needs root"
elif hexpoke_optional "$part" scripts/setup.sh filesystems; then
  hexpoke_optional "$part" /usr/bin/python3 tests/filesystems/filesystems_test.py \
    --scratch build-test/filesystems build-test/hexpoke || true
fi

echo "== Windows: 32- and 64-bit cross-builds, tests under Wine"
part="Windows cross-builds"
if hexpoke_optional "$part" scripts/cross-build.sh windows; then
  echo "== static analysis of the Windows-only source: clang-tidy"
  part="clang-tidy on src/env/EnvWindows.cpp"
  mingw_gcc=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
  clang-tidy --quiet src/env/EnvWindows.cpp -- --target=x86_64-w64-mingw32 \
    -std=c++17 -nostdinc++ -isystem "$mingw_gcc/include/c++" \
    -isystem "$mingw_gcc/include/c++/x86_64-w64-mingw32" \
    -isystem /usr/x86_64-w64-mingw32/include -I src
  hexpoke_ran "$part"
fi

echo "== Linux on aarch64, armhf and s390x: cross-builds, tests under qemu-user"
part="Linux cross-builds"
hexpoke_optional "$part" scripts/cross-build.sh linux || true

echo "== fuzzing with libFuzzer, ${FUZZ_SECONDS:-30} s a target"
part="fuzzing (build-fuzz)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHEXPOKE_TESTS=OFF -DHEXPOKE_FUZZERS=ON \
  -DHEXPOKE_WERROR=ON >/dev/null
cmake --build build-fuzz
mkdir -p build-fuzz/findings build-fuzz/tmp
for target in parser run; do
  corpus=build-fuzz/corpus/$target
  # Whole files as long as two of the load stage's 16 KiB blocks and more,
  # so that words crossing a block's end are tried.
  max_len=$([ "$target" = run ] && echo 40000 || echo 4096)
  mkdir -p "$corpus"
  # run_fuzzer's scratch files go under build-fuzz, not the system's /tmp.
  if ! TMPDIR=$PWD/build-fuzz/tmp build-fuzz/fuzz/${target}_fuzzer \
      -max_total_time="${FUZZ_SECONDS:-30}" -max_len="$max_len" \
      -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ \
      "$corpus" fuzz/corpus/$target > build-fuzz/$target.log 2>&1; then
    tail -n 40 build-fuzz/$target.log
    echo "${target}_fuzzer found a failing input, saved in build-fuzz/findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' build-fuzz/$target.log)
  echo "${target}_fuzzer stat::number_of_executed_units: $runs"
  hexpoke_ran "${target}_fuzzer" "$runs runs in ${FUZZ_SECONDS:-30} s"
done

echo "== the release, built twice: the same bytes, and what it holds"
part="reproducible release (build-reproducible)"
if hexpoke_optional "$part" tests/release/reproducible_test.sh; then
  hexpoke_ran "$part" "two builds, the same bytes"
fi

hexpoke_summary_end 0
if [ "$hexpoke_summary_skips" -eq 0 ]; then
  echo "== all tests passed"
else
  [ "$hexpoke_summary_skips" -eq 1 ] && skips="1 part" || skips="$hexpoke_summary_skips parts"
  echo "== all tests passed; $skips skipped, listed above"
fi
