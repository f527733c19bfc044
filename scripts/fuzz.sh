#!/usr/bin/env bash
# Fuzz run: N mutants of the seed archives (tests/setup.d/85-fuzz-seeds.sh), each filtered through
# the built Pellucidor.dll by tests/fuzz's program, for each architecture. Prints how many ran, how
# long it took and every mutant that failed, saved under build/<arch>/fuzz-work/failures with the
# command that replays it.
# With a heap cap (in MB), the DLL's own heap is capped as a host's job limit would cap it.
# Usage: fuzz.sh [N (10000)] [x86|x64|all (all)] [run seed (1)] [heap cap MB (none)]
set -euo pipefail
source "$(dirname "$0")/common.sh"
count=${1:-10000}
which=${2:-all}
seed=${3:-1}
cap=${4:-0}
case "$which" in
  all) archs=(x86 x64) ;;
  x86|x64) archs=("$which") ;;
  *) echo "usage: fuzz.sh [N] [x86|x64|all] [run seed] [heap cap MB]" >&2; exit 2 ;;
esac
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

prepare
for arch in "${archs[@]}"; do build_arch "$arch"; done
wine_up
trap wine_down EXIT
status=0
for arch in "${archs[@]}"; do
  echo "== fuzz: $arch"
  bash "$ROOT/tests/setup.sh" "$([ "$arch" = x86 ] && echo x86 || echo AMD64)" "$BUILD/$arch" "$BUILD/testdata" "$WINEPREFIX" >/dev/null
  wine "$BUILD/$arch/PellucidorFuzz.exe" --seeds "$(winpath "$BUILD/testdata/fuzz/seeds")" \
    --work "$(winpath "$BUILD/$arch/fuzz-work")" --count "$count" --seed "$seed" --heap-cap "$cap" </dev/null || status=1
done
exit $status
