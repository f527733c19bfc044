#!/usr/bin/env bash
# Fetches Debian's unrar-nonfree source into DEST (once) and applies our patches from cmake/patches/.
# The stamp DEST/.fetched names the source version and the patches; when the archive offers another
# version, or the patches change, the tree is fetched again (and so rebuilt).
# Usage: fetch-unrar.sh DEST_PARENT   -> prints the source directory
#        fetch-unrar.sh --version DEST_PARENT   -> prints what the tree holds ("unrar-nonfree 1:6.2.6-1+deb12u1, patches 0123abcd...")
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --version ]; then
  cat "$2/.fetched" 2>/dev/null || echo "unrar-nonfree (not fetched yet)"
  exit 0
fi
parent=$1
mkdir -p "$parent"
src=$(ls -d "$parent"/unrar-nonfree-*/ 2>/dev/null | head -n1 || true)
stamp="$parent/.fetched"
patches=$(ls "$here"/cmake/patches/*.patch 2>/dev/null || true)
# The newest source version the archive offers: what `apt-get source` fetches.
version=$(apt-cache showsrc --only-source unrar-nonfree 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n1)
if [ -z "$version" ]; then
  echo "fetch-unrar: the archive offers no unrar-nonfree source (run scripts/setup.sh)" >&2; exit 1
fi
want="unrar-nonfree $version, patches $(cat $patches /dev/null | sha256sum | cut -c1-16)"
if [ -n "$src" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  echo "${src%/}"; exit 0
fi
rm -rf "$parent"/unrar-nonfree-* "$parent"/unrar-nonfree_* "$parent/.patched" "$stamp"
( cd "$parent" && apt-get source -qq "unrar-nonfree=$version" >/dev/null 2>&1 ) || {
  echo "fetch-unrar: 'apt-get source unrar-nonfree=$version' failed (run scripts/setup.sh)" >&2; exit 1; }
src=$(ls -d "$parent"/unrar-nonfree-*/ | head -n1)
for p in $patches; do
  patch -s -d "$src" -p1 < "$p"
done
echo "$want" > "$stamp"
echo "${src%/}"
