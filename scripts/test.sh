#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite:
#  1. a release build with warnings as errors: unit and end-to-end tests;
#  2. a build with AddressSanitizer and UndefinedBehaviorSanitizer running
#     the same tests.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh test
jobs=$(nproc 2>/dev/null || echo 2)

echo "== release build, unit and end-to-end tests (the benchmarks are built, not run)"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHEXPOKE_WERROR=ON -DHEXPOKE_BENCHMARKS=ON >/dev/null
cmake --build build-test
ctest --test-dir build-test --output-on-failure -j "$jobs"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build, same tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DHEXPOKE_WERROR=ON -DHEXPOKE_SANITIZE=ON >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== all tests passed"
