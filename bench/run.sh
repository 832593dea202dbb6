#!/usr/bin/env bash
# Whole-process benchmark: hexpoke patching a 64 KiB image, against srec_cat
# doing the same job, against hexpoke's own start-up (-h) and against the
# least a process can cost here (an empty statically linked C program),
# once with the files in memory (tmpfs, /dev/shm) and once on disk (a
# directory in the build tree). hexpoke replaces its output file the same way on both, but
# what the file system does for the fsyncs and the rename differs.
#
#   bench/run.sh                             both places, 200 runs each
#   BENCH_DIRS="/dev/shm /var/tmp" bench/run.sh   other places
#   RUNS=50 bench/run.sh                     fewer runs
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
  echo "hexpoke's output equals srec_cat's, byte for byte"

  echo "timing (hyperfine, ${RUNS:-200} runs each)"
  hyperfine -N --warmup 20 --runs "${RUNS:-200}" --export-json times.json \
    -n "hexpoke patch 64 KiB" "$hexpoke ${patch[*]}" \
    -n "srec_cat patch 64 KiB" "${srec[*]}" \
    -n "hexpoke -h" "$hexpoke -h" \
    -n "empty static program" "$empty" \
    -n "hexpoke patch, empty input" "$hexpoke -i empty.hex -o empty.out -a 0 -v 01" \
    -n "hexpoke patch 255-byte records" "$hexpoke -i image255.hex -o out255.hex -a 16 -v A55A" \
    -n "hexpoke parser, 1,000,000 lines" "$hexpoke -i parser.hex -o parser.out -a 0 -v 01" \
    >/dev/null 2>&1

  instructions=- peak_kb=-
  if [ "$first" = 1 ]; then
    # Neither depends on the file system: counted once.
    valgrind --tool=callgrind --callgrind-out-file=callgrind.out "$hexpoke" "${patch[@]}" \
      2>callgrind.log
    instructions=$(sed -n 's/.*Collected : //p' callgrind.log)
    peak_kb=$(/usr/bin/time -f %M "$hexpoke" "${patch[@]}" 2>&1 >/dev/null)

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

  python3 - "$instructions" "$peak_kb" "$(stat -c %s parser.hex)" <<'PY'
import json, sys
instructions, peak_kb, parser_bytes = sys.argv[1:]
results = {r["command"]: r for r in json.load(open("times.json"))["results"]}
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
if instructions != "-":
    print("instructions, 64 KiB run %s (callgrind)" % instructions)
    print("peak memory, 64 KiB run  %.1f MB                        target < 5"
          % (int(peak_kb) / 1024))
PY
  cd - >/dev/null
done
