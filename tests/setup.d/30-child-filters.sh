#!/usr/bin/env bash
# Child filters in the test prefix, and the archives that carry documents for them.
#
# Registration: every fixture filter DLL of this architecture (build/<arch>/fixtures, see
# tools/fixtures/FixtureIds.h) with the platform's registration tool, so that the plain-text
# filter serves .txt and .fxtxt (from files and streams), its file-only twin .fxfile, the value
# filter .fxval, PDFFILT.dll .pdf, and so on; and the
# misbehaving test filter RogueFilter.dll for .fxrogue, written as a setup program would (it has
# no registration code of its own). Both architectures' registrations live side by side: the
# class keys in each one's registry view, the extension keys shared.
#
# Archives: made with rar into $PELLUCIDOR_TESTDATA/child_filters; each block shows how.
#
# Also runs on its own (scripts/common.sh does, for dump.sh):
#   PELLUCIDOR_ARCH=x86|AMD64 PELLUCIDOR_BIN=<build dir> WINEPREFIX=<prefix> 30-child-filters.sh [--register-only]
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
here=$(cd "$(dirname "$0")" && pwd)

case "$PELLUCIDOR_ARCH" in
  x86) regsvr32='C:\windows\syswow64\regsvr32.exe'; view=32 ;;   # a 32-bit DLL needs the 32-bit tool
  *)   regsvr32='C:\windows\system32\regsvr32.exe'; view=64 ;;
esac
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

rogue_clsid='{A47DDD16-2196-4DEC-B77C-CF7A940BC55D}'
rogue_handler='{214E5504-419F-4D88-8EA1-85D1BC0B55B0}'
ifilter='{89BCB740-6119-101A-BCB7-00DD010655AF}'

# --- registration, written afresh on every run: a test that re-points an extension and dies
# before it puts it back would otherwise leave the wrong filter registered for every later run.
# Registering again rewrites the same keys.
register() {
  local fixtures="$PELLUCIDOR_BIN/fixtures" rogue="$PELLUCIDOR_BIN/RogueFilter.dll"
  local dll status
  for dll in "$fixtures"/*.dll; do
    [ -e "$dll" ] || { echo "30-child-filters: no fixture DLLs in $fixtures" >&2; return 1; }
    status=0
    wine "$regsvr32" /s "$(winpath "$dll")" </dev/null >/dev/null 2>&1 || status=$?
    if [ "$status" != 0 ]; then
      echo "30-child-filters: regsvr32 $(basename "$dll") exited with $status" >&2
      return 1
    fi
  done
  if [ -f "$rogue" ]; then
    local reg
    reg=$(mktemp --suffix=.reg)
    local module
    module=$(winpath "$rogue"); module=${module//\\/\\\\}
    cat > "$reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Classes\\.fxrogue\\PersistentHandler]
@="$rogue_handler"

[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$rogue_handler\\PersistentAddinsRegistered\\$ifilter]
@="$rogue_clsid"

[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$rogue_clsid]
@="Pellucidor test: misbehaving child filter"

[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\$rogue_clsid\\InprocServer32]
@="$module"
"ThreadingModel"="Both"
EOF
    wine reg import "$(winpath "$reg")" /reg:$view </dev/null >/dev/null 2>&1 || {
      rm -f "$reg"; echo "30-child-filters: reg import for RogueFilter.dll failed" >&2; return 1; }
    rm -f "$reg"
  fi
}

register
[ "${1:-}" = --register-only ] && exit 0

# --- archives
begin_data "$PELLUCIDOR_TESTDATA/child_filters"

# Text, values and failing filters in one archive, in this order (rar keeps the command line's
# order): two text paragraphs, the value filter, Init fails, first GetChunk fails (in a folder),
# IPersistStream only, no extension, and text again.
mkdir -p mixed/docs && cd mixed
printf 'alpha bravo\n\ncharlie delta\n' > notes.txt
printf 'anything' > values.fxval
printf 'never read' > broken.fxinit
printf 'never seen' > docs/chunkfail.fxchunk
printf 'stream only' > stream.fxstream
printf 'no extension' > readme
printf 'echo foxtrot' > tail.fxtxt
r a -ma5 "$out/mixed.rar" notes.txt values.fxval broken.fxinit docs/chunkfail.fxchunk stream.fxstream readme tail.fxtxt
cd "$work"

# Nested archives: inner.rar inside middle.rar inside outer.rar, with text at every level.
mkdir nest && cd nest
printf 'india juliet' > inner.txt
r a -ma5 inner.rar inner.txt
printf 'mike november' > middle.txt
r a -ma5 middle.rar middle.txt inner.rar
printf 'oscar papa' > outer.txt
printf 'quebec romeo' > after.txt
r a -ma5 "$out/outer.rar" outer.txt middle.rar after.txt
cd "$work"

# A chain of 24 archives, chain24.rar holding level24.txt and chain23.rar, down to chain1.rar
# holding level1.txt only.
mkdir chain && cd chain
printf 'level 1 text' > level1.txt
r a -ma5 chain1.rar level1.txt
for n in $(seq 2 24); do
  printf 'level %d text' "$n" > "level$n.txt"
  r a -ma5 "chain$n.rar" "level$n.txt" "chain$((n - 1)).rar"
done
cp chain24.rar "$out/chain24.rar"
cd "$work"

# 200 text entries for the file-only text filter, e001.fxfile to e200.fxfile, each "entry NNN".
mkdir many && cd many
for n in $(seq -w 1 200); do printf 'entry %s' "$n" > "e$n.fxfile"; done
r a -ma5 "$out/many.rar" $(for n in $(seq -w 1 200); do echo "e$n.fxfile"; done)
cd "$work"

# A PDF (read by PDFFILT.dll, reached through LoadIFilter) between two text entries.
mkdir pdf && cd pdf
printf 'before pdf' > before.txt
printf 'papa quebec\n\nsierra tango' > paper.pdf
printf 'after pdf' > after.txt
r a -ma5 "$out/pdf.rar" before.txt paper.pdf after.txt
cd "$work"

# Misbehaving child filters (RogueFilter.dll, each file's first word says how), each followed by
# a text entry that must come through whole.
mkdir rogue && cd rogue
set --
for mode in garbage-count end-early fail-later null-value null-string odd-result wrong-ids; do
  printf '%s' "$mode" > "$mode.fxrogue"
  printf 'after %s' "$mode" > "after-$mode.txt"
  set -- "$@" "$mode.fxrogue" "after-$mode.txt"
done
r a -ma5 "$out/rogue.rar" "$@"
cd "$work"

# For host detection: .txt has a standard registration; .zzq only a server product's default list.
mkdir host && cd host
printf 'standard text' > probe.txt
printf 'default list' > probe.zzq
r a -ma5 "$out/host.rar" probe.txt probe.zzq
cd "$work"

end_data
