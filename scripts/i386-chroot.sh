# SPDX-License-Identifier: MIT
# Sourced by scripts/setup.sh, scripts/cross-build.sh and scripts/wine32.sh:
# the i386 Debian chroot in which Debian's wine32 runs the 32-bit Windows
# build's tests on hosts that have no wine32 of their own, the sources it
# is made from, and a removal of directories that refuses any with a mount
# inside.
#
# The chroot is build-windows/cache/i386-CODENAME (CODENAME the host's Debian
# release), under HEXPOKE_WINDOWS_CACHE if that is set; HEXPOKE_I386_ROOT
# names another place. It is made once, by scripts/setup.sh windows.

hexpoke_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
hexpoke_codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
hexpoke_i386_root=${HEXPOKE_I386_ROOT:-${HEXPOKE_WINDOWS_CACHE:-$hexpoke_repo/build-windows/cache}/i386-${hexpoke_codename:-unknown}}

# Whether this host runs 32-bit Windows programs with a wine32 of its own.
hexpoke_host_has_wine32() {
  [ -x /usr/lib/wine/wine ]
}

# Prints why the chroot cannot be made or used here, or nothing if it can.
# With "use", a chroot that is not there yet is a reason too.
hexpoke_i386_unavailable() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "an i386 chroot needs root to be made and used"
  elif [ -z "$hexpoke_codename" ]; then
    echo "/etc/os-release names no Debian release for the chroot"
  elif ! command -v unshare >/dev/null || ! command -v chroot >/dev/null; then
    echo "unshare or chroot is missing"
  elif ! unshare --mount true 2>/dev/null; then
    # Root in a container that may not mount, for one.
    echo "no mount namespace can be made here (unshare --mount fails)"
  elif [ "${1:-}" = use ] && [ ! -x "$hexpoke_i386_root/usr/lib/wine/wine" ]; then
    # Why scripts/setup.sh windows could not make it, if it tried.
    if [ -s "$hexpoke_i386_root.unavailable" ]; then
      head -n 1 "$hexpoke_i386_root.unavailable"
    else
      echo "no i386 chroot with wine32 at $hexpoke_i386_root (scripts/setup.sh windows makes it)"
    fi
  fi
}

# The host's Debian archive entries for its release and its updates suite,
# as a sources file for the chroot, so that it gets the host's release,
# point release and mirrors, and so the same Wine as the host's wine64.
# Not the security suite: the chroot only runs tests, and one suite fewer
# is one index fewer that must match its release file on the day.
hexpoke_i386_sources() {  # FILE [APT_DIRECTORY]
  local file=$1 apt=${2:-/etc/apt}
  local suites="$hexpoke_codename $hexpoke_codename-updates"
  if [ -f "$apt/sources.list.d/debian.sources" ]; then
    # deb822: the binary stanzas, each with its Suites cut down to those;
    # a stanza left with none is dropped.
    awk -v suites="$suites" '
      BEGIN { RS = ""; ORS = "\n\n"; split(suites, list, " ")
              for (i in list) wanted[list[i]] = 1 }
      /(^|\n)Types:[^\n]*deb([ \n]|$)/ {
        count = split($0, line, "\n"); text = ""; kept = ""
        for (i = 1; i <= count; i++) {
          if (line[i] ~ /^Types:/) line[i] = "Types: deb"
          if (line[i] ~ /^Suites:/) {
            n = split(substr(line[i], 8), suite, /[ \t]+/)
            for (j = 1; j <= n; j++) if (suite[j] in wanted) kept = kept " " suite[j]
            line[i] = "Suites:" kept
          }
          text = text (i > 1 ? "\n" : "") line[i]
        }
        if (kept != "") print text
      }' "$apt/sources.list.d/debian.sources" > "$file.sources"
    echo "$file.sources"
  elif [ -f "$apt/sources.list" ]; then
    # One line an entry: deb [OPTIONS] URI SUITE COMPONENTS...
    awk -v suites="$suites" '
      BEGIN { split(suites, list, " "); for (i in list) wanted[list[i]] = 1 }
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) in wanted) print
      }' "$apt/sources.list" > "$file.list"
    echo "$file.list"
  fi
}

# Mount points in this process's mount namespace at or below `dir`.
hexpoke_mounts_under() {
  local dir
  dir=$(realpath -m "$1")
  # Field 5 of mountinfo is the mount point, with space, tab, newline and
  # backslash written as octal escapes.
  awk -v dir="$dir" '{
      point = $5
      while (match(point, /\\[0-7][0-7][0-7]/)) {
        code = substr(point, RSTART + 1, 3)
        value = (substr(code, 1, 1) * 64) + (substr(code, 2, 1) * 8) + substr(code, 3, 1)
        point = substr(point, 1, RSTART - 1) sprintf("%c", value) substr(point, RSTART + 4)
      }
      if (point == dir || (dir == "/" ? 1 : index(point, dir "/") == 1)) print point
    }' /proc/self/mountinfo
}

# rm -rf for trees the scripts make, that refuses (and fails the script) if
# anything is mounted at or below one of them: a bind mount of the
# repository in the chroot would otherwise have the repository's own files
# deleted.
hexpoke_remove_tree() {
  local dir mounts
  for dir in "$@"; do
    [ -e "$dir" ] || [ -L "$dir" ] || continue
    mounts=$(hexpoke_mounts_under "$dir")
    if [ -n "$mounts" ]; then
      echo "refusing to delete $dir: something is mounted inside it:" >&2
      printf '  %s\n' "$mounts" >&2
      echo "unmount it first (umount -R MOUNTPOINT)" >&2
      return 1
    fi
    rm -rf -- "$dir"
  done
}
