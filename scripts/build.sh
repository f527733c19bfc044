#!/usr/bin/env bash
# Builds both architectures into build/x86 and build/x64 (installing what is missing first).
set -euo pipefail
source "$(dirname "$0")/common.sh"
prepare
for arch in x86 x64; do build_arch "$arch"; done
