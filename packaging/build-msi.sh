#!/usr/bin/env bash
# Builds the installer package of one architecture from the built binaries with wixl, unless the
# package is newer than everything it is made of. Prints the package's path.
# With --sign, the DLL and the dump tool are copied to OUTPUT_DIR/ARCH and signed there (the build's
# own files stay as they are), the package is made from the signed copies and then signed too;
# see sign.sh for the password and the timestamp.
# Usage: build-msi.sh [--sign PFX [--timestamp URL]] x86|x64 BINARY_DIR OUTPUT_DIR
set -euo pipefail
sign=()
if [ "${1:-}" = --sign ]; then
  sign=("$2")
  shift 2
  if [ "${1:-}" = --timestamp ]; then
    sign+=(--timestamp "$2")
    shift 2
  fi
fi
[ $# -eq 3 ] || { echo "usage: build-msi.sh [--sign PFX [--timestamp URL]] x86|x64 BINARY_DIR OUTPUT_DIR" >&2; exit 2; }
arch=$1 bin=$(cd "$2" && pwd) out=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
case "$arch" in x86|x64) ;; *) echo "build-msi: unknown architecture '$arch'" >&2; exit 1 ;; esac
version=$(head -n1 "$root/version.txt")
mkdir -p "$out"
msi="$(cd "$out" && pwd)/Pellucidor-$version-$arch.msi"
inputs=("$here/build-msi.sh" "$here/Pellucidor.wxs" "$root/version.txt" "$bin/Pellucidor.dll" "$bin/pellucidor-dump.exe")
for f in "${inputs[@]}"; do
  [ -f "$f" ] || { echo "build-msi: missing $f (build first)" >&2; exit 1; }
done
stale=0
[ -f "$msi" ] || stale=1
if [ ${#sign[@]} -gt 0 ]; then
  # Signed before they go into the package, so that the installed files carry the signature.
  stage="$(cd "$out" && pwd)/$arch"
  rm -rf "$stage"
  mkdir -p "$stage"
  cp "$bin/Pellucidor.dll" "$bin/pellucidor-dump.exe" "$stage/"
  "$here/sign.sh" "${sign[@]}" "$stage/Pellucidor.dll" "$stage/pellucidor-dump.exe"
  bin=$stage
  stale=1
fi
for f in "${inputs[@]}"; do
  if [ "$f" -nt "$msi" ]; then stale=1; fi
done
if [ "$stale" = 1 ]; then
  # wixl finds File sources relative to the current folder only.
  # One product code per version and architecture, the same at every build of it, so that a
  # package rebuilt from the same sources installs over, and uninstalls, the same product.
  product=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
            B32C2A21-8912-48d0-B31D-D99CE9B5FC7C "Pellucidor.msi/$arch/$version")
  ( cd "$bin" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ProductCode="$product" \
                      -o "$msi.tmp" "$here/Pellucidor.wxs" )
  # wixl leaves the File table's Version and Language empty, which makes every file unversioned
  # to the installer's replacement rules; fill them in as the version resources have them.
  table=$(mktemp -d)
  msiinfo export "$msi.tmp" File |
    awk -F'\t' 'BEGIN { OFS = "\t" } NR <= 3 { print; next } { $5 = v; $6 = "1033"; print }' v="$version.0" \
    > "$table/File.idt"
  msibuild "$msi.tmp" -i "$table/File.idt"
  # Another product's .rar handler, kept and put back as DllRegisterServer and DllUnregisterServer
  # do (wixl cannot write these rows):
  #   AppSearch: RARHANDLER = .rar\PersistentHandler, KEPTHANDLER = our handler class's
  #     PreviousPersistentHandler, in the package's registry view, read from HKLM\Software\Classes,
  #     where a per-machine package's HKCR rows go (Wine 8.0 finds nothing below HKCR\CLSID in a
  #     64-bit search);
  #   KEEPHANDLER, the value the KeepPrevious component writes and its condition: at first install
  #     RARHANDLER when it names another handler, afterwards KEPTHANDLER, so that a repair keeps it;
  #   at uninstall, after the registry rows are removed and when the shared .rar link goes with this
  #     package, KEPTHANDLER is written back with reg.exe while .rar names our handler or none.
  handler='{1D77BAD8-8F6A-4977-947E-133D5DEC961C}'
  view=$([ "$arch" = x64 ] && echo 18 || echo 2)   # raw value, plus the 64-bit view for x64
  printf 'Property\tSignature_\ns72\ts72\nAppSearch\tProperty\tSignature_\nRARHANDLER\tRarHandlerSearch\nKEPTHANDLER\tKeptHandlerSearch\n' \
    > "$table/AppSearch.idt"
  printf 'Signature_\tRoot\tKey\tName\tType\ns72\ti2\ts255\tS255\tI2\nRegLocator\tSignature_\n%s\n%s\n' \
    "RarHandlerSearch	2	Software\\Classes\\.rar\\PersistentHandler		$view" \
    "KeptHandlerSearch	2	Software\\Classes\\CLSID\\$handler	PreviousPersistentHandler	$view" > "$table/RegLocator.idt"
  # 51: sets a property; 3170 = 34 (program in a folder) + 64 (exit code ignored) + 1024 (deferred)
  # + 2048 (as the installer's service, not the user).
  printf 'Action\tType\tSource\tTarget\tExtendedType\ns72\ti2\tS72\tS255\tI4\nCustomAction\tAction\n%s\n%s\n%s\n' \
    "KeepOtherHandler	51	KEEPHANDLER	[RARHANDLER]	" \
    "KeepKeptHandler	51	KEEPHANDLER	[KEPTHANDLER]	" \
    "RestoreRarHandler	3170	SystemFolder	\"[SystemFolder]reg.exe\" add HKLM\\Software\\Classes\\.rar\\PersistentHandler /ve /t REG_SZ /d [KEPTHANDLER] /f	" \
    > "$table/CustomAction.idt"
  { msiinfo export "$msi.tmp" InstallExecuteSequence | tr -d '\r'
    printf '%s\n' "AppSearch		50" "KeepOtherHandler	NOT Installed AND RARHANDLER AND NOT (RARHANDLER~=\"$handler\")	51" \
      "KeepKeptHandler	Installed	52" \
      "RestoreRarHandler	REMOVE~=\"ALL\" AND KEPTHANDLER AND \$RarLink=2 AND (NOT RARHANDLER OR RARHANDLER~=\"$handler\")	2601"
  } > "$table/InstallExecuteSequence.idt"
  msiinfo export "$msi.tmp" Component | tr -d '\r' |
    awk -F'\t' 'BEGIN { OFS = "\t" } NR > 3 && $1 == "KeepPrevious" { $5 = "KEEPHANDLER" } { print }' > "$table/Component.idt"
  for t in AppSearch RegLocator CustomAction InstallExecuteSequence Component; do
    msibuild "$msi.tmp" -i "$table/$t.idt"
  done
  rm -rf "$table"
  # Signed last: any change to the package afterwards breaks the signature.
  if [ ${#sign[@]} -gt 0 ]; then "$here/sign.sh" "${sign[@]}" "$msi.tmp"; fi
  mv -f "$msi.tmp" "$msi"
fi
echo "$msi"
