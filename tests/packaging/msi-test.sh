#!/usr/bin/env bash
# The installer package of this build under Wine's msiexec, the way an administrator uses it:
#   install   -> the DLL and the dump tool are under Program Files; a host finds the DLL through
#                the standard .rar registration, in the registry view of its own bitness only, and
#                the installed dump tool filters a sample archive through it; the registration is
#                the one DllRegisterServer writes;
#   x64 only  -> with the 32-bit package installed beside it, removing the 64-bit one keeps the
#                shared .rar link for the 32-bit filter;
#   uninstall -> no key or value of ours is left (registry snapshots before and after compared),
#                no file or folder under Program Files, another product's .rar value untouched;
#   over another product's handler (a stand-in registered first) -> the package keeps it in the
#                handler class as DllRegisterServer does, and after uninstalling (x64: with the
#                32-bit package installed and removed in between) the registry is as before.
# The prefix is shared with the other tests, which rely on the filter registered by its
# build-folder path: our keys are saved first and put back at the end, whatever happens.
# Usage: msi-test.sh ARCH(x86|AMD64) BINARY_DIR TESTDATA_DIR WINEPREFIX
set -euo pipefail
case "$1" in
  x86) arch=x86 ;;
  AMD64) arch=x64 ;;
  *) echo "msi-test: unknown architecture '$1'" >&2; exit 1 ;;
esac
bin=$(cd "$2" && pwd)
sample="Z:$(cd "$3" && pwd | tr '/' '\\')\\packaging\\sample.rar"   # made by tests/setup.d/60-packaging.sh
export WINEPREFIX=$4 WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

FILTER='{B32C2A21-8912-48d0-B31D-D99CE9B5FC7C}'
HANDLER='{1D77BAD8-8F6A-4977-947E-133D5DEC961C}'
CLASSES='HKLM\Software\Classes'
STANDIN='{6B0D4E21-7A3C-4E59-8F12-C4D3B2A19E87}'   # another product's persistent handler for .rar
OUR_KEYS=("CLSID\\$FILTER" "CLSID\\$HANDLER" ".rar" "CLSID\\$STANDIN")
FOREIGN_PROGID='ArchiveTool.rar'   # stands for another product's claim on .rar

install_path() {  # ARCH -> Windows path of the installed DLL
  if [ "$1" = x64 ]; then echo 'C:\Program Files\Quorvane\Pellucidor\Pellucidor.dll'
  else echo 'C:\Program Files (x86)\Quorvane\Pellucidor\Pellucidor.dll'; fi
}

msi=$("$root/packaging/build-msi.sh" "$arch" "$bin" "$(dirname "$bin")/packages")
msis=("$msi")
if [ "$arch" = x64 ]; then
  bin32=$(dirname "$bin")/x86
  msi32=$("$root/packaging/build-msi.sh" x86 "$bin32" "$(dirname "$bin")/packages")
  msis+=("$msi32")
fi
# Every file carries the version of version.txt in the package's File table.
version=$(head -n1 "$root/version.txt").0
for m in "${msis[@]}"; do
  msiinfo export "$m" File | tr -d '\r' | awk -F'\t' -v v="$version" 'NR > 3 && ($5 != v || $6 != "1033") { bad = 1 }
    END { exit bad }' || fail "$(basename "$m"): File table lacks version $version:"$'\n'"$(msiinfo export "$m" File)"
done
# The packages' product, upgrade and component codes mark the installer's records of them.
mapfile -t guids < <(for m in "${msis[@]}"; do msiinfo export "$m" Property; msiinfo export "$m" Component; done |
                     grep -oiE '\{[0-9A-F-]{36}\}' | sort -u)
guids+=("$FILTER" "$HANDLER" "$STANDIN")

work=$(mktemp -d)
# wine-run.sh starts a program again when Wine itself could not start it.
wine_run=$(cd "$(dirname "$0")/.." && pwd)/wine-run.sh
wine() { "$wine_run" "$@"; }
reg() { wine reg "$@" </dev/null 2>/dev/null; }

# Runs several commands in one Windows command interpreter: one Wine start instead of many.
batch() { local IFS='&'; { wine cmd /c "$*" </dev/null 2>/dev/null || true; } | tr -d '\r'; }
# Our keys as reg query prints them, in both views: what must be the same at the end.
our_keys_text() {
  local cmds=()
  for v in 32 64; do for k in "${OUR_KEYS[@]}"; do
    cmds+=("echo == $v $k" "reg query $CLASSES\\$k /s /reg:$v")
  done; done
  batch "${cmds[@]}"
}
save_our_keys() {
  local cmds=() i=0
  for v in 32 64; do for k in "${OUR_KEYS[@]}"; do
    i=$((i + 1)); cmds+=("reg export $CLASSES\\$k Z:${work//\//\\}\\saved-$v-$i.reg /reg:$v /y")
  done; done
  batch "${cmds[@]}" >/dev/null
}
clear_our_keys() {
  local cmds=()
  for v in 32 64; do for k in "${OUR_KEYS[@]}"; do cmds+=("reg delete $CLASSES\\$k /f /reg:$v"); done; done
  batch "${cmds[@]}" >/dev/null
}
restore_our_keys() {
  clear_our_keys
  local cmds=()
  for f in "$work"/saved-*.reg; do
    [ -e "$f" ] || continue
    local v=${f##*/saved-}; v=${v%%-*}
    cmds+=("reg import Z:${f//\//\\} /reg:$v")
  done
  [ ${#cmds[@]} -eq 0 ] || batch "${cmds[@]}" >/dev/null
}
# What of ours the registry holds, into LABEL.ours: HKLM\Software of the 64-bit view (which shows
# the 32-bit view's keys under Wow6432Node) and HKCU\Software.
snapshot() {
  local w="Z:${work//\//\\}"
  batch "reg export HKLM\\Software $w\\$1-lm.reg /reg:64 /y" "reg export HKCU\\Software $w\\$1-cu.reg /y" >/dev/null
  python3 "$here/registry_ours.py" "$work/$1-lm.reg" "$work/$1-cu.reg" -- "${guids[@]}" > "$work/$1.ours"
  rm -f "$work/$1"-*.reg
}
msiexec() {  # ACTION MSI LOG
  wine msiexec "$1" "$2" /qn /l*v "$work/$3.log" </dev/null >/dev/null 2>&1 && return 0
  local rc=$?
  fail "msiexec $1 $(basename "$2") exited $rc; end of its log:"
  iconv -f utf-16 -t utf-8 "$work/$3.log" 2>/dev/null | tail -n 25 >&2 || tail -n 25 "$work/$3.log" >&2
  return 1
}
# A host's view of an installed package: the registration chain leads to the expected DLL and COM
# loads it from there (the probe), and the installed dump tool filters the sample archive through
# that registration: the comment as the title, then the two entry names, then the end.
check_host() {  # PROBE_EXE DLL_PATH LABEL
  local out want dump status=0 before=$failures
  out=$(wine "$1" </dev/null 2>/dev/null | tr -d '\r') || { fail "$3: probe found no complete registration: $out"; return; }
  want=$(printf 'handler=%s\nfilter=%s\nserver=%s\nthreading=Both\nclassobject=0x00000000\nmodule=%s' \
         "$HANDLER" "$FILTER" "$2" "$2")
  [ "$out" = "$want" ] || fail "$3: registration as a host finds it:"$'\n'"$out"
  dump=$(wine "$(unix_path "${2%\\*}\\pellucidor-dump.exe")" --json "$sample" </dev/null 2>&1 | tr -d '\r') || status=$?
  [ "$status" = 0 ] || fail "$3: the installed dump tool exited $status"
  [ "$(echo "$dump" | head -n1)" = '{"init":"0x00000000","flags":1}' ] || fail "$3: dump did not start with a successful Init"
  [ "$(echo "$dump" | tail -n1)" = '{"end":"0x80041700"}' ] || fail "$3: dump did not reach the end of the stream"
  for text in 'Sample archive for the installer test' 'readme.txt' 'docs\\report.txt'; do
    echo "$dump" | grep -qF "\"text\":\"$text\"" || fail "$3: no chunk with the text $text"
  done
  [ "$failures" = "$before" ] || echo "$dump" >&2
}
unix_path() { echo "$WINEPREFIX/drive_c/${1#C:\\}" | tr '\\' '/'; }

cleanup() {
  for m in "${msis[@]}"; do wine msiexec /x "$m" /qn </dev/null >/dev/null 2>&1 || true; done
  restore_our_keys
  [ "$(our_keys_text)" = "$(cat "$work/initial.keys")" ] || fail "our keys were not restored as they were"
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
  if [ "$failures" -gt 0 ]; then echo "packaging.msi: $failures failure(s)" >&2; exit 1; fi
  echo "packaging.msi: passed"
}

# A package left installed by an interrupted run would spoil the snapshots.
for m in "${msis[@]}"; do wine msiexec /x "$m" /qn </dev/null >/dev/null 2>&1 || true; done
our_keys_text > "$work/initial.keys"
save_our_keys
trap cleanup EXIT
clear_our_keys
reg add "$CLASSES\\.rar" /ve /d "$FOREIGN_PROGID" /f >/dev/null
snapshot before

# Install.
dll=$(install_path "$arch")
msiexec /i "$msi" install || exit 1
cmp -s "$bin/Pellucidor.dll" "$(unix_path "$dll")" || fail "installed DLL differs from $bin/Pellucidor.dll"
check_host "$bin/packaging-probe.exe" "$dll" "installed $arch"
other=$([ "$arch" = x64 ] && echo 32 || echo 64)
reg query "$CLASSES\\CLSID\\$FILTER" /reg:$other >/dev/null && fail "the $arch package wrote the filter class into the $other-bit view"
[ "$(reg query "$CLASSES\\.rar" /ve | grep -o "$FOREIGN_PROGID")" = "$FOREIGN_PROGID" ] || fail ".rar default value changed"
reg query "$CLASSES\\CLSID\\$HANDLER" /v PreviousPersistentHandler /reg:32 >/dev/null ||
  reg query "$CLASSES\\CLSID\\$HANDLER" /v PreviousPersistentHandler /reg:64 >/dev/null &&
  fail "a previous handler was kept though .rar had none"

# The package's rows are those the DLL's own registration writes for the same file.
view=$([ "$arch" = x64 ] && echo 64 || echo 32)
regsvr32=$([ "$arch" = x64 ] && echo 'C:\windows\system32\regsvr32.exe' || echo 'C:\windows\syswow64\regsvr32.exe')
registration() {
  batch "reg query $CLASSES\\CLSID\\$FILTER /s /reg:$view" "reg query $CLASSES\\CLSID\\$HANDLER /s /reg:$view" \
        "reg query $CLASSES\\.rar /s /reg:$view"
}
by_package=$(registration)
[[ "$by_package" == *"$dll"* ]] || fail "the package's registration does not name $dll:"$'\n'"$by_package"
# Not through cmd: Wine hands cmd the quotes around the path escaped, and regsvr32 then fails.
run_regsvr32() {  # ARGUMENTS...
  local status=0
  wine "$regsvr32" /s "$@" </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" = 0 ] || fail "regsvr32 $* exited $status"
}
run_regsvr32 /u "$dll"
run_regsvr32 "$dll"
by_dll=$(registration)
[ "$by_package" = "$by_dll" ] || fail "package and DllRegisterServer write different registrations:"$'\n'"$(diff <(echo "$by_package") <(echo "$by_dll"))"

# Side by side (64-bit systems run 32-bit hosts too): the shared .rar link stays with the 32-bit package.
if [ "$arch" = x64 ]; then
  msiexec /i "$msi32" install-x86 || exit 1
  msiexec /x "$msi" uninstall-x64 || exit 1
  check_host "$bin32/packaging-probe.exe" "$(install_path x86)" "x86 after removing x64"
  reg query "$CLASSES\\CLSID\\$FILTER" /reg:64 >/dev/null && fail "64-bit filter class left after its package was removed"
  msiexec /x "$msi32" uninstall-x86 || exit 1
else
  msiexec /x "$msi" uninstall || exit 1
fi

# Uninstall left nothing of ours.
snapshot after
diff -u "$work/before.ours" "$work/after.ours" >&2 || fail "registry entries of ours differ after uninstall (diff above)"
for d in 'C:\Program Files\Quorvane' 'C:\Program Files (x86)\Quorvane'; do
  [ ! -e "$(unix_path "$d")" ] || fail "$d is left: $(find "$(unix_path "$d")" | head -5)"
done
[ "$(reg query "$CLASSES\\.rar" /ve | grep -o "$FOREIGN_PROGID")" = "$FOREIGN_PROGID" ] || fail ".rar default value of another product was removed"

# --- Over another product's handler: a stand-in handler class, named by .rar, registered first.
clear_our_keys
batch "reg add $CLASSES\\CLSID\\$STANDIN /ve /d \"Stand-in archive handler\" /f /reg:$view" \
      "reg add $CLASSES\\.rar /ve /d $FOREIGN_PROGID /f" \
      "reg add $CLASSES\\.rar\\PersistentHandler /ve /d $STANDIN /f" >/dev/null
snapshot before-standin
rar_handler() { reg query "$CLASSES\\.rar\\PersistentHandler" /ve | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p'; }
kept_handler() {  # VIEW
  reg query "$CLASSES\\CLSID\\$HANDLER" /v PreviousPersistentHandler /reg:$1 | tr -d '\r' |
    sed -n 's/^ *PreviousPersistentHandler *REG_SZ *//p'
}
msiexec /i "$msi" install-over-standin || exit 1
[ "$(rar_handler)" = "$HANDLER" ] || fail "over the stand-in: .rar does not name our handler: $(rar_handler)"
[ "$(kept_handler $view)" = "$STANDIN" ] || fail "over the stand-in: the package did not keep it: '$(kept_handler $view)'"
check_host "$bin/packaging-probe.exe" "$dll" "installed $arch over the stand-in"
# The DLL keeps it the same way: unregistering puts it back, registering keeps it again.
by_package=$(registration)
run_regsvr32 /u "$dll"
[ "$(rar_handler)" = "$STANDIN" ] || fail "regsvr32 /u under the package did not put the stand-in back: $(rar_handler)"
run_regsvr32 "$dll"
by_dll=$(registration)
[ "$by_package" = "$by_dll" ] || fail "over the stand-in, package and DllRegisterServer keep it differently:"$'\n'"$(diff <(echo "$by_package") <(echo "$by_dll"))"
if [ "$arch" = x64 ]; then
  # The 32-bit package finds .rar naming ours: it keeps nothing, and leaving first it leaves the
  # shared link, which the 64-bit package still counts as installed, to the 64-bit package.
  msiexec /i "$msi32" install-x86-over-standin || exit 1
  [ -z "$(kept_handler 32)" ] || fail "the 32-bit package kept a handler though .rar named ours"
  msiexec /x "$msi32" uninstall-x86-over-standin || exit 1
  [ "$(rar_handler)" = "$HANDLER" ] || fail "removing the 32-bit package changed .rar's handler to $(rar_handler)"
fi
msiexec /x "$msi" uninstall-over-standin || exit 1
[ "$(rar_handler)" = "$STANDIN" ] || fail "after uninstalling, .rar names $(rar_handler), not the stand-in"
snapshot after-standin
diff -u "$work/before-standin.ours" "$work/after-standin.ours" >&2 || fail "over the stand-in: registry entries differ after uninstall (diff above)"
