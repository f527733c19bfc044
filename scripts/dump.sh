#!/usr/bin/env bash
# Filters one archive the way a search host does and prints what the host sees (pellucidor-dump
# under Wine): one block per chunk, or with --json one JSON object per line.
# Usage: dump.sh [--json] [--x64] [ARCHIVE]     (default: tools/sample/sample.rar)
# Runs in its own Wine prefix, build/dump/wineprefix, where this build's filter is registered for
# .rar and the fixture plain-text filter for the text extensions in TEXT_EXTENSIONS below; the
# tests' prefix keeps its own registrations. Should the .rar registration be missing, the filter
# comes straight from build/<arch>/Pellucidor.dll.
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
# Only what the dump needs: the filter, the dump tool and the fixture filters it registers (the
# test programs are test.sh's).
build_arch "$arch" Pellucidor pellucidor-dump fixtures >&2
# Set after the build: build_arch configures ctest for the tests' prefix.
export WINEPREFIX="$BUILD/dump/wineprefix"
wine_up
trap wine_down EXIT
PELLUCIDOR_ARCH=$([ "$arch" = x64 ] && echo AMD64 || echo x86) PELLUCIDOR_BIN="$BUILD/$arch" \
  bash "$ROOT/tests/setup.d/20-register.sh" >&2
register_child_filters "$arch" >&2

# The extensions the platform's own plain-text filter serves, read by whatever filter the fixture
# set registers for .txt. The extension keys are shared by both registry views.
TEXT_EXTENSIONS=(.txt .text .log .csv .tsv .ini .inf .xml .htm .html .md .json .c .h .cpp .hpp .cs
                 .py .js .css .bat .cmd .ps1 .sql .yml .yaml .reg)
register_text_extensions() {
  local handler reg ext
  handler=$(wine reg query 'HKLM\Software\Classes\.txt\PersistentHandler' /ve </dev/null 2>/dev/null | tr -d '\r' |
            sed -n 's/^ *(Default) *REG_SZ *//p' | head -n1)
  if [ -z "$handler" ]; then
    echo "dump: no filter registered for .txt; documents inside archives show their names only" >&2
    return 0
  fi
  reg=$(mktemp --suffix=.reg)
  { echo REGEDIT4
    for ext in "${TEXT_EXTENSIONS[@]}"; do
      printf '\n[HKEY_LOCAL_MACHINE\\Software\\Classes\\%s\\PersistentHandler]\n@="%s"\n' "$ext" "$handler"
    done; } > "$reg"
  wine reg import "Z:${reg//\//\\}" </dev/null >/dev/null 2>&1 || echo "dump: reg import of the text extensions failed" >&2
  rm -f "$reg"
}
register_text_extensions

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
