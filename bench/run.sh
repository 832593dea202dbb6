#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whole-process benchmark, once with the files in memory (tmpfs, /dev/shm)
# and once on disk (a directory in the build tree). hexpoke replaces its
# output file the same way on both, but what the file system does for the
# fsyncs and the rename differs. It times:
#  - hexpoke patching a 64 KiB image, against srec_cat doing the same job,
#    against hexpoke's own start-up (-h), against the least a process can
#    cost here (an empty statically linked C program), and, patching the
#    file in place, against a static C program that only reads the file and
#    rewrites it safely (bench/safe_rewrite.c);
#  - a 1 MiB image at 0x08000000 (2.9 MB of text, an extended address
#    record every 64 KiB) patched near its end, against srec_cat doing the
#    same and objcopy copying the file;
#  - 100,000 one-byte records at random 32-bit addresses in random order.
#
#   bench/run.sh                             both places, 200 runs each
#                                            (20 for the large files)
#   BENCH_DIRS="/dev/shm /var/tmp" bench/run.sh   other places
#   RUNS=50 SLOW_RUNS=10 bench/run.sh        fewer runs
#   BASELINE=old/hexpoke bench/run.sh        also times another build's
#                                            messages, for before and after
#
# It checks that hexpoke's output equals srec_cat's before it reports any
# figure. Ratios come from one hyperfine run of all commands in one place,
# so machine noise affects them alike.
set -euo pipefail
baseline=${BASELINE:+$(realpath "$BASELINE")}
cd "$(dirname "$0")/.."

scripts/setup.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DHEXPOKE_TESTS=OFF -DHEXPOKE_BENCHMARKS=ON >/dev/null
cmake --build build-bench >/dev/null
hexpoke=$PWD/build-bench/hexpoke
mkdir -p build-bench/files
# The floor: a process that starts and exits, with no loader work at all.
printf 'int main(void) { return 0; }\n' > build-bench/empty.c
gcc -static -O2 -o build-bench/empty build-bench/empty.c
empty=$PWD/build-bench/empty
# The floor of a run that rewrites its file safely.
gcc -static -O2 -o build-bench/safe_rewrite bench/safe_rewrite.c
safe_rewrite=$PWD/build-bench/safe_rewrite

works=()
trap 'rm -rf "${works[@]}"' EXIT
first=1
for base in ${BENCH_DIRS:-/dev/shm $PWD/build-bench/files}; do
  if ! [ -d "$base" ] || ! [ -w "$base" ]; then
    echo "== skipping $base: not a writable directory"
    continue
  fi
  work=$(mktemp -d "$base/hexpoke-bench.XXXXXX")
  works+=("$work")
  python3 bench/make_inputs.py "$work"
  cd "$work"
  fstype=$(findmnt -n -o FSTYPE -T "$work" 2>/dev/null | head -n 1)
  [ -n "$fstype" ] || fstype=$(stat -f -c %T "$work")
  echo "== in $base ($fstype)"

  patch=(-i image16.hex -o hexpoke.hex -a 16 -v A55A)
  srec=(srec_cat image16.hex -Intel -exclude 16 18 -generate 16 18
        -repeat-data 0xA5 0x5A -o srec.hex -Intel -Output_Block_Size=16
        -address-length=2)

  "$hexpoke" "${patch[@]}"
  "${srec[@]}"
  cmp hexpoke.hex srec.hex
  "$hexpoke" -i image255.hex -o hexpoke255.hex -a 16 -v A55A
  srec_cat image255.hex -Intel -exclude 16 18 -generate 16 18 -repeat-data 0xA5 0x5A \
    -o srec255.hex -Intel -Output_Block_Size=16 -address-length=2
  cmp hexpoke255.hex srec255.hex
  big_patch=(-i firmware_1mib.hex -o hexpoke_1mib.hex -a 135266288 -v 0102)
  srec_big=(srec_cat firmware_1mib.hex -Intel -exclude 0x080FFFF0 0x080FFFF2
            -generate 0x080FFFF0 0x080FFFF2 -repeat-data 0x01 0x02
            -o srec_1mib.hex -Intel -Output_Block_Size=16)
  "$hexpoke" "${big_patch[@]}"
  "${srec_big[@]}"
  cmp hexpoke_1mib.hex srec_1mib.hex
  echo "hexpoke's output equals srec_cat's, byte for byte"
  # Scattered bytes: srec_cat puts fewer extended address records, so both
  # files are compared as srec_cat reads them.
  "$hexpoke" -i scattered.hex -o hexpoke_scattered.hex -a 0 -v 01
  srec_cat -disable-sequence-warnings scattered.hex -Intel -exclude 0 1 \
    -generate 0 1 -repeat-data 0x01 \
    -o srec_scattered.hex -Intel -Output_Block_Size=16
  for file in hexpoke_scattered.hex srec_scattered.hex; do
    srec_cat "$file" -Intel -o "$file.seen" -Intel -address-length=4 \
      -Output_Block_Size=16 2>/dev/null
  done
  cmp hexpoke_scattered.hex.seen srec_scattered.hex.seen
  echo "hexpoke's scattered output holds what srec_cat's does"
  cp image16.hex inplace.hex
  cp image16.hex inplace_c.hex
  cp firmware_1mib.hex firmware_1mib_c.hex

  echo "timing (hyperfine, ${RUNS:-200} runs each)"
  hyperfine -N --warmup 20 --runs "${RUNS:-200}" --export-json times.json \
    -n "hexpoke patch 64 KiB" "$hexpoke ${patch[*]}" \
    -n "srec_cat patch 64 KiB" "${srec[*]}" \
    -n "hexpoke -h" "$hexpoke -h" \
    -n "empty static program" "$empty" \
    -n "hexpoke patch, empty input" "$hexpoke -i empty.hex -o empty.out -a 0 -v 01" \
    -n "hexpoke patch 255-byte records" "$hexpoke -i image255.hex -o out255.hex -a 16 -v A55A" \
    -n "hexpoke parser, 1,000,000 lines" "$hexpoke -i parser.hex -o parser.out -a 0 -v 01" \
    -n "hexpoke patch 64 KiB in place" "$hexpoke -i inplace.hex -o inplace.hex -a 16 -v A55A" \
    -n "safe rewrite in C, 64 KiB" "$safe_rewrite inplace_c.hex" \
    >/dev/null 2>&1
  echo "timing the large files (hyperfine, ${SLOW_RUNS:-20} runs each)"
  hyperfine -N --warmup 3 --runs "${SLOW_RUNS:-20}" --export-json large.json \
    -n "hexpoke patch 1 MiB at 0x08000000" "$hexpoke ${big_patch[*]}" \
    -n "srec_cat patch 1 MiB at 0x08000000" "${srec_big[*]}" \
    -n "objcopy copy 1 MiB at 0x08000000" "objcopy -I ihex -O ihex firmware_1mib.hex objcopy_1mib.hex" \
    -n "safe rewrite in C, 1 MiB at 0x08000000" "$safe_rewrite firmware_1mib_c.hex" \
    -n "hexpoke 100,000 scattered records" "$hexpoke -i scattered.hex -o hexpoke_scattered.hex -a 0 -v 01" \
    >/dev/null 2>&1

  instructions=- peak_kb=- instructions_1mib=- peak_kb_1mib=- peak_kb_scattered=-
  if [ "$first" = 1 ]; then
    # Neither depends on the file system: counted once.
    valgrind --tool=callgrind --callgrind-out-file=callgrind.out "$hexpoke" "${patch[@]}" \
      2>callgrind.log
    instructions=$(sed -n 's/.*Collected : //p' callgrind.log)
    valgrind --tool=callgrind --callgrind-out-file=callgrind_1mib.out "$hexpoke" \
      "${big_patch[@]}" 2>callgrind_1mib.log
    instructions_1mib=$(sed -n 's/.*Collected : //p' callgrind_1mib.log)
    peak_kb=$(/usr/bin/time -f %M "$hexpoke" "${patch[@]}" 2>&1 >/dev/null)
    peak_kb_1mib=$(/usr/bin/time -f %M "$hexpoke" "${big_patch[@]}" 2>&1 >/dev/null)
    peak_kb_scattered=$(/usr/bin/time -f %M "$hexpoke" -i scattered.hex \
      -o hexpoke_scattered.hex -a 0 -v 01 2>&1 >/dev/null)

    echo "2,000,000 bad lines, messages through a pipe"
    bad=(-n "hexpoke" "$hexpoke -i bad.hex -o bad.out -a 0 -v 01")
    [ -n "$baseline" ] && bad+=(-n "baseline" "$baseline -i bad.hex -o bad.out -a 0 -v 01")
    hyperfine -N --output=pipe --warmup 1 --runs 5 --export-json bad.json "${bad[@]}" \
      >/dev/null 2>&1
    python3 - <<'PY'
import json
results = {r["command"]: r["median"] for r in json.load(open("bad.json"))["results"]}
for name, median in results.items():
    print("%-34s median %7.1f ms" % (name + ", bad lines", median * 1e3))
if "baseline" in results:
    print("baseline / hexpoke, bad lines  %.1f   target >= 10"
          % (results["baseline"] / results["hexpoke"]))
PY
    first=0
  fi

  python3 - "$instructions" "$peak_kb" "$(stat -c %s parser.hex)" \
      "$instructions_1mib" "$peak_kb_1mib" "$peak_kb_scattered" \
      "$(stat -c %s firmware_1mib.hex)" "$(stat -c %s hexpoke_1mib.hex)" <<'PY'
import json, sys
(instructions, peak_kb, parser_bytes, instructions_1mib, peak_kb_1mib,
 peak_kb_scattered, big_in, big_out) = sys.argv[1:]
results = {r["command"]: r for r in json.load(open("times.json"))["results"]}
results.update({r["command"]: r for r in json.load(open("large.json"))["results"]})
def ms(name, key="median"):
    return results[name][key] * 1e3
hex_, srec, help_ = "hexpoke patch 64 KiB", "srec_cat patch 64 KiB", "hexpoke -h"
empty = "empty static program"
for name, r in results.items():
    print("%-34s median %7.2f ms  mean %7.2f ms  min %7.2f ms"
          % (name, r["median"] * 1e3, r["mean"] * 1e3, r["min"] * 1e3))
print("hexpoke / srec_cat       %.2f (median)  %.2f (mean)   target <= 0.25"
      % (ms(hex_) / ms(srec), ms(hex_, "mean") / ms(srec, "mean")))
print("hexpoke / empty program  %.2f (median)  %.2f (mean)   target <= 1.60"
      % (ms(hex_) / ms(empty), ms(hex_, "mean") / ms(empty, "mean")))
# What start-up alone costs, and what the run adds to it.
print("hexpoke -h / empty       %.2f (median)  %.2f (mean)"
      % (ms(help_) / ms(empty), ms(help_, "mean") / ms(empty, "mean")))
print("hexpoke / hexpoke -h     %.2f (median)  %.2f (mean)   target <= 1.30"
      % (ms(hex_) / ms(help_), ms(hex_, "mean") / ms(help_, "mean")))
# The floor of any run that writes a file: start, read nothing, replace a
# file of two lines.
floor = "hexpoke patch, empty input"
print("empty input / empty      %.2f (median)  %.2f (mean)"
      % (ms(floor) / ms(empty), ms(floor, "mean") / ms(empty, "mean")))
parser = "hexpoke parser, 1,000,000 lines"
print("parser throughput        %.0f MB/s (median)            target >= 300"
      % (int(parser_bytes) / 1e6 / (ms(parser) / 1e3)))
inplace, safe = "hexpoke patch 64 KiB in place", "safe rewrite in C, 64 KiB"
print("in place / safe rewrite  %.2f (median)  %.2f (mean)   target <= 1.30"
      % (ms(inplace) / ms(safe), ms(inplace, "mean") / ms(safe, "mean")))
big, srec_big = "hexpoke patch 1 MiB at 0x08000000", "srec_cat patch 1 MiB at 0x08000000"
objcopy_big = "objcopy copy 1 MiB at 0x08000000"
print("1 MiB: text in and out   %.2f GB/s (median)            target >= 1"
      % ((int(big_in) + int(big_out)) / 1e9 / (ms(big) / 1e3)))
print("1 MiB: hexpoke / srec_cat %.3f (median)                 target <= 0.05"
      % (ms(big) / ms(srec_big)))
print("1 MiB: hexpoke / objcopy %.2f (median)                  target <= 0.30"
      % (ms(big) / ms(objcopy_big)))
# What reading and safely rewriting 2.9 MB costs here with no work at all.
floor_big = "safe rewrite in C, 1 MiB at 0x08000000"
print("1 MiB: C rewrite alone   %.2f GB/s, %.3f srec_cat, %.2f objcopy"
      % ((int(big_in) + int(big_in)) / 1e9 / (ms(floor_big) / 1e3),
         ms(floor_big) / ms(srec_big), ms(floor_big) / ms(objcopy_big)))
print("1 MiB: hexpoke / C rewrite %.2f (median)"
      % (ms(big) / ms(floor_big)))
print("100,000 scattered bytes  %.0f ms (median)                target < 300"
      % ms("hexpoke 100,000 scattered records"))
if instructions != "-":
    print("instructions, 64 KiB run %s (callgrind)" % instructions)
    print("instructions, 1 MiB run  %s (callgrind)" % instructions_1mib)
    print("peak memory, 64 KiB run  %.1f MB                        target <= 1.6"
          % (int(peak_kb) / 1024))
    print("peak memory, 1 MiB run   %.1f MB                        target < 8"
          % (int(peak_kb_1mib) / 1024))
    print("peak memory, scattered   %.1f MB                        target < 40"
          % (int(peak_kb_scattered) / 1024))
PY
  cd - >/dev/null
done
