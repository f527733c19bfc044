#!/usr/bin/env bash
# Registers the filter built for this architecture in the test prefix with the platform's own
# registration tool, as a setup program would: tests and scripts/dump.sh then create the filter
# through the standard registration alone. Registering again rewrites the same keys.
set -euo pipefail
dll="Z:${PELLUCIDOR_BIN//\//\\}\\Pellucidor.dll"
case "$PELLUCIDOR_ARCH" in
  x86) regsvr32='C:\windows\syswow64\regsvr32.exe' ;;   # a 32-bit DLL needs the 32-bit tool
  *)   regsvr32='C:\windows\system32\regsvr32.exe' ;;
esac
status=0
wine "$regsvr32" /s "$dll" </dev/null >/dev/null 2>&1 || status=$?
if [ "$status" != 0 ]; then
  echo "20-register: regsvr32 $dll exited with $status" >&2
  exit 1
fi
