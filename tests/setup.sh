#!/usr/bin/env bash
# Test set-up, run by ctest before every test program: each tests/setup.d/*.sh makes its part
# of the test data (archives with rar, registrations in the Wine prefix).
# Usage: setup.sh ARCH BINARY_DIR TESTDATA_DIR WINEPREFIX
set -euo pipefail
export PELLUCIDOR_ARCH=$1 PELLUCIDOR_BIN=$2 PELLUCIDOR_TESTDATA=$3 WINEPREFIX=$4 WINEDEBUG=-all
here=$(cd "$(dirname "$0")" && pwd)
# Every Wine start of the steps goes through wine-run.sh, which retries one Wine itself failed.
export PELLUCIDOR_WINE_RUN=$here/wine-run.sh
wine() { "$PELLUCIDOR_WINE_RUN" "$@"; }
export -f wine
mkdir -p "$PELLUCIDOR_TESTDATA"
for step in "$here"/setup.d/*.sh; do
  [ -e "$step" ] || continue
  bash "$step" || { echo "setup: $(basename "$step") failed" >&2; exit 1; }
done
echo "setup: done"
