#!/usr/bin/env bash
# Signs files in place with an Authenticode signature over SHA-256, using Debian's osslsigncode:
# PE files (the DLL, the dump tool) and Windows Installer packages alike. The PFX's password is
# read from PELLUCIDOR_SIGN_PASSWORD (set it, empty for a PFX without one) and handed to the tool
# on its standard input, never on a command line. With --timestamp the signature is countersigned
# by that RFC 3161 server, so that it stays valid after the certificate expires.
# Usage: sign.sh PFX [--timestamp URL] FILE...
set -euo pipefail
usage() { echo "usage: sign.sh PFX [--timestamp URL] FILE..." >&2; exit 2; }
[ $# -ge 2 ] || usage
pfx=$1
shift
timestamp=()
if [ "$1" = --timestamp ]; then
  [ $# -ge 3 ] || usage
  timestamp=(-ts "$2")
  shift 2
fi
[ -f "$pfx" ] || { echo "sign: no such certificate file: $pfx" >&2; exit 1; }
[ -n "${PELLUCIDOR_SIGN_PASSWORD+set}" ] || { echo "sign: PELLUCIDOR_SIGN_PASSWORD is not set" >&2; exit 1; }
command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }
for f in "$@"; do
  # The tool writes a new file; the original is replaced only by a complete signed one.
  rm -f "$f.signed"
  if ! printf '%s' "$PELLUCIDOR_SIGN_PASSWORD" |
       osslsigncode sign -pkcs12 "$pfx" -readpass - -h sha256 -n "Quorvane RAR filter" "${timestamp[@]}" \
                    -in "$f" -out "$f.signed" >/dev/null; then
    rm -f "$f.signed"
    echo "sign: signing $f failed" >&2
    exit 1
  fi
  mv -f "$f.signed" "$f"
done
