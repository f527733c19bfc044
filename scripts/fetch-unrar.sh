#!/usr/bin/env bash
# Fetches Debian's unrar-nonfree source into DEST (once) and applies our patches from cmake/patches/.
# Usage: fetch-unrar.sh DEST_PARENT   -> prints the source directory
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
parent=$1
mkdir -p "$parent"
src=$(ls -d "$parent"/unrar-nonfree-*/ 2>/dev/null | head -n1 || true)
stamp="$parent/.patched"
patches=$(ls "$here"/cmake/patches/*.patch 2>/dev/null || true)
want=$(cat $patches /dev/null | sha256sum | cut -c1-16)
if [ -n "$src" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  echo "${src%/}"; exit 0
fi
rm -rf "$parent"/unrar-nonfree-* "$parent"/unrar-nonfree_*
( cd "$parent" && apt-get source -qq unrar-nonfree >/dev/null 2>&1 ) || {
  echo "fetch-unrar: 'apt-get source unrar-nonfree' failed (run scripts/setup.sh)" >&2; exit 1; }
src=$(ls -d "$parent"/unrar-nonfree-*/ | head -n1)
for p in $patches; do
  patch -s -d "$src" -p1 < "$p"
done
echo "$want" > "$stamp"
echo "${src%/}"
