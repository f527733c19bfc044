#!/usr/bin/env bash
# Filters one archive the way a search host does and prints what the host sees (pellucidor-dump
# under Wine): one block per chunk, or with --json one JSON object per line.
# Usage: dump.sh [--json] [--x64] [ARCHIVE]     (default: tools/sample/sample.rar)
# The filter comes through the standard registration for .rar when the prefix has it (the test
# set-up registers the build), otherwise straight from build/<arch>/Pellucidor.dll.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() { echo "usage: dump.sh [--json] [--x64] [ARCHIVE]" >&2; exit 1; }
tool_args=()
arch=x86
archive=""
for arg in "$@"; do
  case "$arg" in
    --json) tool_args+=(--json) ;;
    --x64) arch=x64 ;;
    -*) usage ;;
    *) [ -z "$archive" ] || usage; archive=$arg ;;
  esac
done
archive=${archive:-$ROOT/tools/sample/sample.rar}
[ -f "$archive" ] || { echo "dump: no such file: $archive" >&2; exit 1; }
archive=$(realpath "$archive")

# Build output goes to stderr: stdout carries only what the tool prints.
prepare >&2
build_arch "$arch" >&2
wine_up
trap wine_down EXIT
register_child_filters "$arch" >&2

# Registered for .rar in this architecture's view of HKCR: extension -> persistent handler ->
# its IFilter add-in -> a filter class whose DLL exists.
view=/reg:32; [ "$arch" = x64 ] && view=/reg:64
reg_default() {
  wine reg query "$1" /ve "$view" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *(Default) *REG_[A-Z_]* *//p' | head -n1
}
registered() {
  local handler filter server
  handler=$(reg_default 'HKCR\.rar\PersistentHandler')
  [ -n "$handler" ] || return 1
  filter=$(reg_default "HKCR\\CLSID\\$handler\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}")
  [ -n "$filter" ] || return 1
  server=$(reg_default "HKCR\\CLSID\\$filter\\InprocServer32")
  [ -n "$server" ] && [ -f "$(winepath -u "$server" 2>/dev/null)" ]
}
if ! registered; then
  tool_args+=(--dll "$(winepath -w "$BUILD/$arch/Pellucidor.dll")")
fi

wine "$BUILD/$arch/pellucidor-dump.exe" "${tool_args[@]}" "$(winepath -w "$archive")" </dev/null
