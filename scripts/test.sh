#!/usr/bin/env bash
# Builds both architectures and runs every test under Wine; exits 0 only when all pass.
# Usage: test.sh [ctest arguments, e.g. -R crawler]
set -euo pipefail
source "$(dirname "$0")/common.sh"
prepare
"$ROOT/scripts/fetch-unrar.sh" "$BUILD/third_party" >/dev/null
print_versions
for arch in x86 x64; do build_arch "$arch"; done
wine_up
trap wine_down EXIT
status=0
for arch in x86 x64; do
  echo "== tests: $arch"
  ctest --test-dir "$BUILD/$arch" --output-on-failure --no-tests=error "$@" || status=1
  # The conformance host's summary, which ctest keeps to itself when the test passes.
  grep -h '^conformance.*checks' "$BUILD/$arch/Testing/Temporary/LastTest.log" 2>/dev/null || true
done
exit $status
