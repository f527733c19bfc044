#!/usr/bin/env bash
# Builds both architectures (installing what is missing first) and the installer packages
# build/packages/Pellucidor-VERSION-x86.msi and -x64.msi from them.
# With --sign PFX, both DLLs, both dump tools and both packages are signed (Authenticode, SHA-256)
# with the certificate and key in PFX, whose password is read from PELLUCIDOR_SIGN_PASSWORD; the
# signed packages go to build/packages/signed/, their signed binaries beside them in x86/ and x64/.
# --timestamp URL has each signature countersigned by that RFC 3161 time-stamp server.
# Usage: package.sh [--sign PFX [--timestamp URL]]
set -euo pipefail
usage() { echo "usage: package.sh [--sign PFX [--timestamp URL]]" >&2; exit 2; }
pfx="" timestamp=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ $# -ge 2 ] || usage; pfx=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; timestamp=$2; shift 2 ;;
    *) usage ;;
  esac
done
sign=()
if [ -n "$pfx" ]; then
  [ -f "$pfx" ] || { echo "package: no such certificate file: $pfx" >&2; exit 1; }
  [ -n "${PELLUCIDOR_SIGN_PASSWORD+set}" ] || { echo "package: set PELLUCIDOR_SIGN_PASSWORD to the PFX's password" >&2; exit 1; }
  sign=(--sign "$(realpath "$pfx")")
  [ -z "$timestamp" ] || sign+=(--timestamp "$timestamp")
elif [ -n "$timestamp" ]; then
  echo "package: --timestamp needs --sign" >&2
  exit 2
fi
source "$(dirname "$0")/common.sh"
out="$BUILD/packages"
[ ${#sign[@]} -eq 0 ] || out="$BUILD/packages/signed"
prepare
for arch in x86 x64; do
  build_arch "$arch"
  "$ROOT/packaging/build-msi.sh" "${sign[@]}" "$arch" "$BUILD/$arch" "$out"
done
