#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that Windows programs import no DLL but those every Windows has, so
# that each runs as the single file it is: no libstdc++-6.dll,
# libgcc_s_*.dll or libwinpthread-1.dll from the compiler.
#   imports_test.sh OBJDUMP PROGRAM.exe...
set -euo pipefail
objdump=$1
shift
system_dlls=' kernel32.dll msvcrt.dll advapi32.dll shell32.dll user32.dll gdi32.dll
  ntdll.dll ole32.dll oleaut32.dll shlwapi.dll ws2_32.dll bcrypt.dll crypt32.dll '
passed=0
failed=0
for program in "$@"; do
  dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
  if [ -z "$dlls" ]; then
    echo "FAIL: $program: no imports found by $objdump"
    failed=$((failed + 1))
    continue
  fi
  foreign=()
  for dll in $dlls; do
    lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
    # api-ms-win-*: the universal C runtime's forwarders, part of Windows 10.
    case "$system_dlls" in *" $lower "*) continue ;; esac
    case "$lower" in api-ms-win-*) continue ;; esac
    foreign+=("$dll")
  done
  echo "$(basename "$program") imports:" $dlls
  if [ ${#foreign[@]} -eq 0 ]; then
    passed=$((passed + 1))
  else
    echo "FAIL: $program needs DLLs that Windows does not have: ${foreign[*]}"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
