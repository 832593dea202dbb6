#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test scripts' own rules (scripts/summary.sh, scripts/i386-chroot.sh):
# a part that gives up because something outside the project cannot be set
# up is skipped with its reason, and the run goes on; any other failure
# fails the run; the file-system test gives up when not root, and skips
# each file system it cannot mount, with its reason; and the i386 chroot is
# made from the host's release and updates suites only.
#   skip_test.sh SCRIPTS_DIRECTORY
set -euo pipefail
scripts=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# expect NAME EXPECTED ACTUAL
expect() {
  if [ "$2" != "$3" ]; then
    printf 'FAIL: %s\n--- expected:\n%s\n--- got:\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# A run of one optional part, COMMAND, followed by one more part: its exit
# status and its summary, on one line each.
optional_run() {
  local status=0 output
  output=$(env -u HEXPOKE_SUMMARY SCRIPTS="$scripts" bash -c '
      set -euo pipefail
      . "$SCRIPTS/summary.sh"
      hexpoke_summary_begin
      trap '\''status=$?; [ "$status" -eq 0 ] || hexpoke_summary_end "$status" part'\'' EXIT
      hexpoke_optional part bash -c "$1" || true
      hexpoke_ran next
      hexpoke_summary_end 0' sh "$1" 2>/dev/null) || status=$?
  printf 'status %s\n%s\n' "$status" "$(printf '%s\n' "$output" | grep -v '^== summary' | sed 's/  */ /g')"
}

give_up='. "$SCRIPTS/summary.sh"; hexpoke_give_up "the archive failed twice"'
# COMMAND | what the run ends with and its summary.
rows=(
  "exit 0|status 0
ran next"
  "$give_up|status 0
skipped part: the archive failed twice
ran next"
  # A failure of the project's build or tests is never a skip.
  "exit 1|status 1
failed part (exit status 1)"
  "exit 8|status 8
failed part (exit status 8)"
  # Status 75 with no reason left is no skip either.
  "exit 75|status 75
failed part (exit status 75)"
)
for row in "${rows[@]}"; do
  expect "optional part: ${row%%|*}" "${row#*|}" "$(optional_run "${row%%|*}")"
done

# The file-system test, not root: the whole part is skipped, with its
# reason. Run as nobody where this runs as root; the summary is then made
# where nobody may write the reason beside it.
fs_test=$(cd "$scripts/../tests/filesystems" && pwd)/filesystems_test.py
as_nobody=()
if [ "$(id -u)" -eq 0 ]; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 711 "$scratch"
fi
mkdir -m 1777 "$scratch/shared"
expect "file systems, not root" "status 0
skipped part: not root: mounting file systems needs root
ran next" "$(TMPDIR=$scratch/shared optional_run \
  "$(printf '%q ' "${as_nobody[@]}" /usr/bin/python3 "$fs_test" --scratch "$scratch/shared" /bin/true)")"

# As root, with none of the programs that make or mount a file system to be
# found: each file system is skipped, with its reason, in the summary, and
# the run goes on.
if [ "$(id -u)" -eq 0 ]; then
  file_systems=$(/usr/bin/python3 "$fs_test" --list | wc -l)
  expect "file systems, none can be mounted" "status 0
ran next
$file_systems skipped with a reason" "$(optional_run \
    "PATH=/nonexistent /usr/bin/python3 $(printf '%q' "$fs_test") --scratch $(printf '%q' "$scratch") /bin/true >/dev/null" |
    awk '/^skipped file system [^:]+: no [^ ]/ { n++; next } { print } END { print n + 0 " skipped with a reason" }')"
fi

# The chroot's sources: the host's entries for its release and updates
# suite, binary packages only, and nothing else.
sources_of() {  # APT_DIRECTORY
  # shellcheck disable=SC1091
  (. "$scripts/i386-chroot.sh"; hexpoke_codename=bookworm
   file=$(hexpoke_i386_sources "$scratch/out" "$1"); cat "$file"; rm -f "$file")
}
mkdir -p "$scratch/deb822/sources.list.d" "$scratch/list"
cat > "$scratch/deb822/sources.list.d/debian.sources" <<'EOF'
Types: deb deb-src
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main

Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm
Components: main
EOF
expect "deb822 sources" "Types: deb
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "$(sources_of "$scratch/deb822")"

cat > "$scratch/list/sources.list" <<'EOF'
deb http://mirror.example/debian bookworm main
deb [ signed-by=/usr/share/keyrings/debian-archive-keyring.gpg ] http://mirror.example/debian bookworm-updates main
deb http://mirror.example/debian-security bookworm-security main
deb-src http://mirror.example/debian bookworm main
# deb http://mirror.example/debian bookworm-backports main
EOF
expect "one-line sources" "deb http://mirror.example/debian bookworm main
deb [ signed-by=/usr/share/keyrings/debian-archive-keyring.gpg ] http://mirror.example/debian bookworm-updates main" \
  "$(sources_of "$scratch/list")"

[ "$failures" -eq 0 ] || exit 1
echo "all rows passed"
