#!/usr/bin/env bash
# Checks the built Pellucidor.dll of each architecture without running it, one row per
# architecture: the machine it is for, the four exports by name, imports from the system's own
# DLLs only (no C++ runtime DLL beside it), and a version resource. Exits 1 when a check fails.
# Usage: check-binaries.sh BUILD_DIR ARCH...
set -euo pipefail
build=$1
shift
readobj=llvm-readobj-14

# arch: the machine field llvm-readobj names.
declare -A machine=(
  [x86]=IMAGE_FILE_MACHINE_I386
  [x64]=IMAGE_FILE_MACHINE_AMD64
  [arm64]=IMAGE_FILE_MACHINE_ARM64
)
exports=(DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer)
# The system's own DLLs the product may import (upper case).
system_dlls=" ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL OLE32.DLL OLEAUT32.DLL USER32.DLL SHELL32.DLL SHLWAPI.DLL POWRPROF.DLL WINTRUST.DLL VERSION.DLL CRYPT32.DLL "

status=0
fail() { echo "check-binaries: $1: $2" >&2; status=1; }
for arch in "$@"; do
  dll="$build/$arch/Pellucidor.dll"
  [ -f "$dll" ] || { fail "$arch" "no $dll"; continue; }
  headers=$($readobj --file-headers "$dll")
  grep -q "Machine: ${machine[$arch]} " <<<"$headers" || fail "$arch" "not built for ${machine[$arch]}"
  names=$($readobj --coff-exports "$dll" | sed -n 's/^ *Name: //p')
  for e in "${exports[@]}"; do
    grep -qx "$e" <<<"$names" || fail "$arch" "no export $e"
  done
  while read -r imported; do
    [[ "$system_dlls" == *" ${imported^^} "* ]] || fail "$arch" "imports $imported, not a system DLL"
  done < <($readobj --coff-imports "$dll" | sed -n 's/^ *Name: //p')
  $readobj --coff-resources "$dll" | grep -q "Type: VERSIONINFO" || fail "$arch" "no version resource"
  [ "$status" = 0 ] && echo "check-binaries: $arch: machine, exports, imports and version resource as expected"
done
exit $status
