#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds build/hexpoke (release) and stamps a serial number into a copy of the
# bundled example firmware, showing the file before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DHEXPOKE_TESTS=OFF >/dev/null
cmake --build build

mkdir -p build/demo
cp examples/firmware.hex build/demo/firmware.hex
echo
echo "Before:"
cat build/demo/firmware.hex
echo
echo "\$ build/hexpoke -i build/demo/firmware.hex -o build/demo/firmware.hex -a 48 -v 20261208"
status=0
build/hexpoke -i build/demo/firmware.hex -o build/demo/firmware.hex -a 48 -v 20261208 || status=$?
echo "exit code: $status"
echo
echo "After:"
cat build/demo/firmware.hex
exit "$status"
