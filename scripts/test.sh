#!/usr/bin/env bash
# Builds the three architectures, checks each DLL without running it, and runs every test under
# Wine on x86 and x64 (ARM64 code cannot run here: its DLL and every test program are built and
# checked only); exits 0 only when all pass.
# Usage: test.sh [ctest arguments, e.g. -R crawler]
set -euo pipefail
source "$(dirname "$0")/common.sh"
prepare
"$ROOT/scripts/fetch-unrar.sh" "$BUILD/third_party" >/dev/null
print_versions
for arch in x86 x64; do build_arch "$arch"; done
# ARM64: the toolchain is made once from Debian's source packages and kept under build/.
"$ROOT/scripts/arm64-sysroot.sh" "$BUILD" >/dev/null
build_arch arm64
"$ROOT/scripts/check-binaries.sh" "$BUILD" x86 x64 arm64
for arch in x86 x64; do WINEPREFIX=$(arch_prefix "$arch") wine_up; done
trap 'for arch in x86 x64; do WINEPREFIX=$(arch_prefix "$arch") wine_down; done' EXIT
# The test archives, shared by both architectures, are made once before the two runs start: the
# set-up steps that make them are not written to run twice at once.
if ! WINEPREFIX=$(arch_prefix x86) ctest --test-dir "$BUILD/x86" -R '^setup$' --output-on-failure \
    > "$BUILD/x86/setup-output.log" 2>&1; then
  cat "$BUILD/x86/setup-output.log"
  exit 1
fi
# The two architectures' tests run side by side, each in its own prefix: on two cores that takes
# about a third of the time of one after the other (Wine processes wait on their server much of
# the time). Each run's output is shown whole once both have ended.
pids=()
for arch in x86 x64; do
  WINEPREFIX=$(arch_prefix "$arch") ctest --test-dir "$BUILD/$arch" --output-on-failure --no-tests=error "$@" \
    > "$BUILD/$arch/ctest-output.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for arch in x86 x64; do
  echo "== tests: $arch"
  cat "$BUILD/$arch/ctest-output.log"
  # The conformance host's summary, which ctest keeps to itself when the test passes.
  grep -h '^conformance.*checks' "$BUILD/$arch/Testing/Temporary/LastTest.log" 2>/dev/null || true
done
exit $status
