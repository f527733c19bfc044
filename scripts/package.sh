#!/usr/bin/env bash
# Builds both architectures (installing what is missing first) and the installer packages
# build/packages/Pellucidor-VERSION-x86.msi and -x64.msi from them.
set -euo pipefail
source "$(dirname "$0")/common.sh"
prepare
for arch in x86 x64; do
  build_arch "$arch"
  "$ROOT/packaging/build-msi.sh" "$arch" "$BUILD/$arch" "$BUILD/packages"
done
