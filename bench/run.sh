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
#    same, objcopy copying the file and the C program rewriting it; and the
#    same file with its records in descending order;
#  - 100,000 one-byte records at random 32-bit addresses in random order,
#    and 2,097,152 one-byte records at every other address over 4 MiB
#    (29 MB of text), each patched, against srec_cat's same patch; and the
#    latter in descending order;
#  - a 16 MiB image at 0x10000000 (46 MB of text) patched near its end.
# It also gives each input's peak memory against the input's size, for
# files replaced and rewritten in place, with larger files of one-byte
# records in the orders that merge the most (descending at 14, 33 and
# 51 MB of text, in random order within each 64 KiB window at 35 MB), and
# counts instructions (callgrind) for the 64 KiB and 1 MiB runs.
#
#   bench/run.sh                             both places, 200 runs each
#                                            (20 for the large files, 10
#                                            for the interleaved one)
#   BENCH_DIRS="/dev/shm /var/tmp" bench/run.sh   other places
#   RUNS=50 SLOW_RUNS=10 HUGE_RUNS=5 bench/run.sh   fewer runs
#   BASELINE=old/hexpoke bench/run.sh        also times another build on the
#                                            same inputs, for before and
#                                            after from one run, and the
#                                            two in turn (PAIRS pairs, 15)
#
# It checks that hexpoke's output holds what srec_cat's does before it
# reports any figure. Ratios come from one hyperfine run of the commands
# compared, so machine noise affects them alike.
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

# Compares two Intel HEX files as srec_cat reads them: the same bytes at the
# same addresses, whatever records carry them.
same_meaning() {
  local file
  for file in "$1" "$2"; do
    srec_cat -disable-sequence-warnings "$file" -Intel -o "$file.seen" -Intel \
      -address-length=4 -Output_Block_Size=16 2>/dev/null
  done
  cmp "$1.seen" "$2.seen"
}

# Peak memory (maximum resident set, in KB) of a command, or "failed".
peak_kb() {
  local out
  out=$(mktemp)
  if /usr/bin/time -f %M -o "$out" "$@" >/dev/null 2>&1; then cat "$out"; else echo failed; fi
  rm -f "$out"
}

# A file rewritten in place: one in a directory that the user running
# hexpoke may not write to. Root may write anywhere, so there the run is
# made as nobody.
as_writer=()
[ "$(id -u)" -eq 0 ] && as_writer=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

works=()
trap 'for w in "${works[@]}"; do chmod -R u+w "$w" 2>/dev/null; rm -rf "$w"; done' EXIT
first=1
for base in ${BENCH_DIRS:-/dev/shm $PWD/build-bench/files}; do
  if ! [ -d "$base" ] || ! [ -w "$base" ]; then
    echo "== skipping $base: not a writable directory"
    continue
  fi
  work=$(mktemp -d "$base/hexpoke-bench.XXXXXX")
  works+=("$work")
  chmod 0755 "$work"  # for the runs as nobody
  python3 bench/make_inputs.py "$work"
  if [ "$first" = 1 ]; then
    python3 bench/make_inputs.py --memory "$work"
  fi
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
  descending=(-i descending_1mib.hex -o hexpoke_descending.hex -a 135266288 -v 0102)
  "$hexpoke" "${descending[@]}"
  cmp hexpoke_descending.hex srec_1mib.hex
  echo "hexpoke's output equals srec_cat's, byte for byte, for both orders"
  # Scattered and interleaved bytes: srec_cat puts fewer extended address
  # records, so both files are compared as srec_cat reads them.
  scattered=(-i scattered.hex -o hexpoke_scattered.hex -a 0 -v 01)
  srec_scattered=(srec_cat -disable-sequence-warnings scattered.hex -Intel -exclude 0 1
                  -generate 0 1 -repeat-data 0x01
                  -o srec_scattered.hex -Intel -Output_Block_Size=16)
  "$hexpoke" "${scattered[@]}"
  "${srec_scattered[@]}"
  same_meaning hexpoke_scattered.hex srec_scattered.hex
  interleaved=(-i interleaved.hex -o hexpoke_interleaved.hex -a 2097152 -v 5A)
  srec_interleaved=(srec_cat interleaved.hex -Intel -exclude 2097152 2097153
                    -generate 2097152 2097153 -repeat-data 0x5A
                    -o srec_interleaved.hex -Intel -Output_Block_Size=16)
  "$hexpoke" "${interleaved[@]}"
  "${srec_interleaved[@]}"
  same_meaning hexpoke_interleaved.hex srec_interleaved.hex
  interleaved_descending=(-i interleaved_descending.hex -o hexpoke_interleaved_descending.hex
                          -a 2097152 -v 5A)
  "$hexpoke" "${interleaved_descending[@]}"
  cmp hexpoke_interleaved_descending.hex hexpoke_interleaved.hex
  echo "hexpoke's scattered and interleaved outputs hold what srec_cat's do"
  huge_patch=(-i firmware_16mib.hex -o hexpoke_16mib.hex -a 285212656 -v 0102)
  "$hexpoke" "${huge_patch[@]}"
  srec_cat firmware_16mib.hex -Intel -exclude 0x10FFFFF0 0x10FFFFF2 \
    -generate 0x10FFFFF0 0x10FFFFF2 -repeat-data 0x01 0x02 \
    -o srec_16mib.hex -Intel -Output_Block_Size=16
  cmp hexpoke_16mib.hex srec_16mib.hex
  rm srec_16mib.hex
  echo "hexpoke's output equals srec_cat's, byte for byte, for the 16 MiB image"
  cp image16.hex inplace.hex
  cp image16.hex inplace_c.hex
  cp firmware_1mib.hex firmware_1mib_c.hex

  before=()
  before_large=()
  before_huge=()
  if [ -n "$baseline" ]; then
    before=(-n "baseline patch 64 KiB in place" "$baseline -i inplace.hex -o inplace.hex -a 16 -v A55A")
    before_large=(
      -n "baseline patch 1 MiB at 0x08000000" "$baseline ${big_patch[*]}"
      -n "baseline patch 1 MiB, descending" "$baseline ${descending[*]}"
      -n "baseline 100,000 scattered records" "$baseline ${scattered[*]}")
    before_huge=(-n "baseline patch interleaved" "$baseline ${interleaved[*]}"
                 -n "baseline patch 16 MiB at 0x10000000" "$baseline ${huge_patch[*]}"
                 -n "baseline patch interleaved, descending" "$baseline ${interleaved_descending[*]}")
  fi

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
    "${before[@]}" \
    >/dev/null 2>&1
  echo "timing the large files (hyperfine, ${SLOW_RUNS:-20} runs each)"
  hyperfine -N --warmup 3 --runs "${SLOW_RUNS:-20}" --export-json large.json \
    -n "hexpoke patch 1 MiB at 0x08000000" "$hexpoke ${big_patch[*]}" \
    -n "srec_cat patch 1 MiB at 0x08000000" "${srec_big[*]}" \
    -n "objcopy copy 1 MiB at 0x08000000" "objcopy -I ihex -O ihex firmware_1mib.hex objcopy_1mib.hex" \
    -n "safe rewrite in C, 1 MiB at 0x08000000" "$safe_rewrite firmware_1mib_c.hex" \
    -n "hexpoke patch 1 MiB, descending" "$hexpoke ${descending[*]}" \
    -n "hexpoke 100,000 scattered records" "$hexpoke ${scattered[*]}" \
    -n "srec_cat 100,000 scattered records" "${srec_scattered[*]}" \
    "${before_large[@]}" \
    >/dev/null 2>&1
  echo "timing the interleaved and 16 MiB files (hyperfine, ${HUGE_RUNS:-10} runs each)"
  hyperfine -N --warmup 1 --runs "${HUGE_RUNS:-10}" --export-json huge.json \
    -n "hexpoke patch interleaved" "$hexpoke ${interleaved[*]}" \
    -n "hexpoke patch 16 MiB at 0x10000000" "$hexpoke ${huge_patch[*]}" \
    -n "srec_cat patch interleaved" "${srec_interleaved[*]}" \
    -n "hexpoke patch interleaved, descending" "$hexpoke ${interleaved_descending[*]}" \
    "${before_huge[@]}" \
    >/dev/null 2>&1
  if [ -n "$baseline" ]; then
    # hyperfine times one command's runs together, so a machine whose load
    # changes meanwhile shifts the ratios; runs of both builds in turn
    # share whatever it does.
    echo "before and after in turn (${PAIRS:-15} pairs each)"
    python3 - "$hexpoke" "$baseline" "${PAIRS:-15}" \
        "patch 64 KiB in place" "-i inplace.hex -o inplace.hex -a 16 -v A55A" \
        "patch 1 MiB at 0x08000000" "${big_patch[*]}" \
        "patch 16 MiB at 0x10000000" "${huge_patch[*]}" \
        "patch interleaved" "${interleaved[*]}" <<'PY'
import statistics, subprocess, sys, time
hexpoke, baseline, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])
for name, args in zip(sys.argv[4::2], sys.argv[5::2]):
    times = {hexpoke: [], baseline: []}
    for i in range(pairs + 1):  # the first pair warms up
        for program in (hexpoke, baseline) if i % 2 else (baseline, hexpoke):
            start = time.perf_counter()
            subprocess.run([program] + args.split(), stdout=subprocess.DEVNULL, check=True)
            if i:
                times[program].append(time.perf_counter() - start)
    print("in turn: baseline / hexpoke, %-26s %.2f (median of the pairs' ratios), "
          "%.1f ms against %.1f ms" % (
              name, statistics.median(b / h for b, h in zip(times[baseline], times[hexpoke])),
              statistics.median(times[baseline]) * 1e3, statistics.median(times[hexpoke]) * 1e3))
PY
  fi

  instructions=- instructions_1mib=- memory=-
  if [ "$first" = 1 ]; then
    # Neither depends on the file system: counted once.
    valgrind --tool=callgrind --callgrind-out-file=callgrind.out \
      "$hexpoke" -i inplace.hex -o inplace.hex -a 16 -v A55A 2>callgrind.log
    instructions=$(sed -n 's/.*Collected : //p' callgrind.log)
    valgrind --tool=callgrind --callgrind-out-file=callgrind_1mib.out "$hexpoke" \
      "${big_patch[@]}" 2>callgrind_1mib.log
    instructions_1mib=$(sed -n 's/.*Collected : //p' callgrind_1mib.log)

    # Peak memory of each input, replaced and, for the largest shapes,
    # rewritten in place.
    mkdir closed
    cp image16.hex firmware_1mib.hex descending_1mib.hex interleaved.hex scattered.hex closed/
    chmod 0666 closed/*
    chmod 0555 closed
    memory=memory.txt
    : > "$memory"
    measure() {  # name, input file, then the command
      local name=$1 input=$2
      shift 2
      echo "$name $(stat -c %s "$input") $(peak_kb "$@")" >> "$memory"
    }
    measure "64 KiB" image16.hex "$hexpoke" "${patch[@]}"
    measure "255-byte records" image255.hex "$hexpoke" -i image255.hex -o out255.hex -a 16 -v A55A
    measure "parser lines" parser.hex "$hexpoke" -i parser.hex -o parser.out -a 0 -v 01
    measure "empty" empty.hex "$hexpoke" -i empty.hex -o empty.out -a 0 -v 01
    measure "bad lines" bad.hex "$hexpoke" -i bad.hex -o bad.out -a 0 -v 01
    measure "1 MiB" firmware_1mib.hex "$hexpoke" "${big_patch[@]}"
    measure "1 MiB descending" descending_1mib.hex "$hexpoke" "${descending[@]}"
    measure "scattered" scattered.hex "$hexpoke" "${scattered[@]}"
    measure "interleaved" interleaved.hex "$hexpoke" "${interleaved[@]}"
    measure "interleaved descending" interleaved_descending.hex \
      "$hexpoke" "${interleaved_descending[@]}"
    for file in image16 firmware_1mib descending_1mib scattered interleaved; do
      measure "$file in place" "closed/$file.hex" \
        "${as_writer[@]}" "$hexpoke" -i "closed/$file.hex" -o "closed/$file.hex" -a 16 -v 5A
    done
    chmod 0755 closed
    cmp closed/interleaved.hex <("$hexpoke" -i interleaved.hex -o /dev/stdout -a 16 -v 5A)
    # The orders that make the image merge the most: one-byte records at
    # every other address, descending, and in random order within each
    # 64 KiB window.
    merged() {  # name, input file
      measure "$1" "$2" "$hexpoke" -i "$2" -o merged.out -a 16 -v 5A
    }
    merged "descending 14 MB" descending_14mb.hex
    merged "descending 33 MB" descending_33mb.hex
    merged "descending 51 MB" descending_51mb.hex
    merged "shuffled 35 MB" shuffled_35mb.hex
    merged "shuffled desc. 35 MB" shuffled_descending_35mb.hex
    cp descending_33mb.hex shuffled_descending_35mb.hex closed/
    chmod 0666 closed/*
    chmod 0555 closed
    measure "descending 33 MB in place" closed/descending_33mb.hex "${as_writer[@]}" \
      "$hexpoke" -i closed/descending_33mb.hex -o closed/descending_33mb.hex -a 16 -v 5A
    measure "shuffled desc. in place" closed/shuffled_descending_35mb.hex "${as_writer[@]}" \
      "$hexpoke" -i closed/shuffled_descending_35mb.hex -o closed/shuffled_descending_35mb.hex \
      -a 16 -v 5A
    chmod 0755 closed

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

  python3 - "$instructions" "$(stat -c %s parser.hex)" "$instructions_1mib" "$memory" \
      "$(stat -c %s firmware_1mib.hex)" "$(stat -c %s hexpoke_1mib.hex)" <<'PY'
import json, sys
(instructions, parser_bytes, instructions_1mib, memory, big_in, big_out) = sys.argv[1:]
results = {}
for name in ("times.json", "large.json", "huge.json"):
    results.update({r["command"]: r for r in json.load(open(name))["results"]})
def ms(name, key="median"):
    return results[name][key] * 1e3
hex_, srec, help_ = "hexpoke patch 64 KiB", "srec_cat patch 64 KiB", "hexpoke -h"
empty = "empty static program"
for name, r in results.items():
    print("%-38s median %8.2f ms  mean %8.2f ms  min %8.2f ms"
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
print("1 MiB: hexpoke / C rewrite %.2f (median)               target <= 1.20"
      % (ms(big) / ms(floor_big)))
descending = "hexpoke patch 1 MiB, descending"
print("1 MiB descending         %.1f ms (median)"
      % ms(descending))
scattered, srec_scattered = "hexpoke 100,000 scattered records", "srec_cat 100,000 scattered records"
print("scattered / srec_cat     %.3f (median), %.0f ms          target <= 0.10"
      % (ms(scattered) / ms(srec_scattered), ms(scattered)))
interleaved, srec_interleaved = "hexpoke patch interleaved", "srec_cat patch interleaved"
print("interleaved / srec_cat   %.3f (median), %.0f ms         target <= 0.15"
      % (ms(interleaved) / ms(srec_interleaved), ms(interleaved)))
print("interleaved, descending  %.0f ms (median)"
      % ms("hexpoke patch interleaved, descending"))
# Before and after, from this run.
for name in ("patch 64 KiB in place", "patch 1 MiB at 0x08000000", "patch 1 MiB, descending",
             "100,000 scattered records", "patch interleaved",
             "patch interleaved, descending", "patch 16 MiB at 0x10000000"):
    if "baseline " + name in results:
        print("baseline / hexpoke, %-26s %.2f (median)"
              % (name, ms("baseline " + name) / ms("hexpoke " + name)))
# Guards against a change that adds work, set a little above what the one
# portable codec takes; the wider codecs that took some 30 % fewer never
# showed in whole-process time.
if instructions != "-":
    print("instructions, 64 KiB in place %s (callgrind)    target <= 2,100,000"
          % instructions)
    print("instructions, 1 MiB run  %s (callgrind)         target <= 30,000,000"
          % instructions_1mib)
if memory != "-":
    print("peak memory against input   input MB   peak MB   2 x input + 2 MB")
    for line in open(memory):
        *name, size, peak_kb = line.split()
        if peak_kb == "failed":
            print("  %-25s failed" % " ".join(name))
            continue
        size_mb, peak_mb = int(size) / 2**20, int(peak_kb) / 1024
        bound = 2 * size_mb + 2
        print("  %-25s %8.1f %9.1f %9.1f %s" % (" ".join(name), size_mb, peak_mb, bound,
                                              "" if peak_mb <= bound else "  over"))
PY
  cd - >/dev/null
done
