# SPDX-License-Identifier: MIT
# Sourced by scripts/test.sh, scripts/setup.sh, scripts/cross-build.sh and
# scripts/cross-libs.sh (so scripts/release.sh too): what a run ran and
# what it skipped, and why, for the summary that scripts/test.sh (or
# scripts/cross-build.sh run by hand) prints at its end.
#
# A part that cannot be set up for a reason outside the project (a kernel
# that runs no i386 programs, a Debian archive that cannot be reached or is
# inconsistent on a second try, no mount namespace) is skipped, with its
# reason. A failure of hexpoke's build or tests is never skipped: every
# other failure stops the run, as `set -e` has it.
#
# Two ways to skip:
#   hexpoke_skipped PART REASON  one part is left out, and the run goes on;
#   hexpoke_give_up REASON       the whole script cannot go on: it exits
#                                with status 75 (EX_TEMPFAIL), and
#                                scripts/test.sh records the part that
#                                called it as skipped for REASON.
#
# The record is the file that HEXPOKE_SUMMARY names, one line a part:
# "ran<TAB>PART<TAB>DETAIL", "skipped<TAB>PART<TAB>REASON" or
# "left out<TAB>PART<TAB>WHY". The first
# script to call hexpoke_summary_begin makes it, and prints it at its end
# (hexpoke_summary_end); the scripts it runs add to the same file.

hexpoke_skip_status=75
hexpoke_summary_owner=false
hexpoke_summary_skips=0

hexpoke_summary_begin() {
  [ -z "${HEXPOKE_SUMMARY:-}" ] || return 0
  HEXPOKE_SUMMARY=$(mktemp "${TMPDIR:-/tmp}/hexpoke-summary.XXXXXX")
  export HEXPOKE_SUMMARY
  hexpoke_summary_owner=true
}

# hexpoke_ran PART [DETAIL]
hexpoke_ran() {
  [ -z "${HEXPOKE_SUMMARY:-}" ] ||
    printf 'ran\t%s\t%s\n' "$1" "${2:-}" >> "$HEXPOKE_SUMMARY"
}

# hexpoke_left_out WHAT WHY: not run in this kind of run, by design.
hexpoke_left_out() {
  [ -z "${HEXPOKE_SUMMARY:-}" ] ||
    printf 'left out\t%s\t%s\n' "$1" "$2" >> "$HEXPOKE_SUMMARY"
}

# hexpoke_skipped PART REASON
hexpoke_skipped() {
  echo "== skipped: $1: $2" >&2
  [ -z "${HEXPOKE_SUMMARY:-}" ] ||
    printf 'skipped\t%s\t%s\n' "$1" "$2" >> "$HEXPOKE_SUMMARY"
}

# hexpoke_give_up REASON: exits with status 75, leaving REASON for the
# caller to record.
hexpoke_give_up() {
  echo "$0: $1" >&2
  [ -z "${HEXPOKE_SUMMARY:-}" ] || printf '%s\n' "$1" > "$HEXPOKE_SUMMARY.reason"
  exit "$hexpoke_skip_status"
}

# hexpoke_optional PART COMMAND...: runs COMMAND. Returns 0 if it succeeded;
# records PART as skipped and returns 1 if it gave up (status 75 with a
# reason left); exits with its status if it failed otherwise.
hexpoke_optional() {
  local part=$1 status=0
  shift
  rm -f "$HEXPOKE_SUMMARY.reason"
  "$@" || status=$?
  [ "$status" -ne 0 ] || return 0
  if [ "$status" -eq "$hexpoke_skip_status" ] && [ -s "$HEXPOKE_SUMMARY.reason" ]; then
    hexpoke_skipped "$part" "$(head -n 1 "$HEXPOKE_SUMMARY.reason")"
    rm -f "$HEXPOKE_SUMMARY.reason"
    return 1
  fi
  exit "$status"
}

# hexpoke_ctest PART BUILD [CTEST_ARGUMENTS...]: runs the CTest suite of
# BUILD, and records how many tests it has and how many skipped themselves.
# Returns CTest's status.
hexpoke_ctest() {
  local part=$1 build=$2 status=0
  shift 2
  ctest --test-dir "$build" --output-on-failure "$@" | tee "$build/ctest.log" ||
    status=$?
  [ "$status" -eq 0 ] || return "$status"
  hexpoke_ran "$part" "$(hexpoke_ctest_counts "$build/ctest.log")"
}

# "N tests, S skipped", from what CTest printed.
hexpoke_ctest_counts() {
  local total skipped
  total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$1" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$1" || true)
  [ "${total:-0}" = 1 ] && echo "1 test, $skipped skipped" ||
    echo "${total:-no} tests, $skipped skipped"
}

# hexpoke_summary_end STATUS [FAILED_PART]: for the script that began the
# record, prints it, and then what failed if STATUS is not 0.
hexpoke_summary_end() {
  local status=$1 failed=${2:-}
  [ "$hexpoke_summary_owner" = true ] || return 0
  echo "== summary"
  awk -F'\t' '{ printf "%-8s %s%s\n", $1, $2, ($3 == "" ? "" : ": " $3) }' \
    "$HEXPOKE_SUMMARY"
  if [ "$status" -ne 0 ]; then
    local reason=""
    [ ! -s "$HEXPOKE_SUMMARY.reason" ] || reason=": $(head -n 1 "$HEXPOKE_SUMMARY.reason")"
    printf '%-8s %s (exit status %s)%s\n' failed "${failed:-$0}" "$status" "$reason"
  fi
  hexpoke_summary_skips=$(grep -c '^skipped' "$HEXPOKE_SUMMARY" || true)
  rm -f "$HEXPOKE_SUMMARY" "$HEXPOKE_SUMMARY.reason"
}
