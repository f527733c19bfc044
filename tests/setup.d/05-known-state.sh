#!/usr/bin/env bash
# Every test run starts from the same state of the prefix, whatever an earlier run that was killed
# left behind: no settings files (a test's BlackList=1 and marks would refuse archives in every
# later test), no run folders in the temp folder (tests count the folders they make), and no
# scratch folders of the tests. Each test restores what it changed; this step is for the runs that
# died before they could.
set -euo pipefail
# The user's folders as Windows programs in this prefix see them (one Wine start, warm server).
folders=$(wine cmd /c 'echo %APPDATA%& echo %TEMP%' </dev/null 2>/dev/null | tr -d '\r')
appdata=$(sed -n 1p <<<"$folders")
temp=$(sed -n 2p <<<"$folders")
if [ -z "$appdata" ] || [ -z "$temp" ] || [ "$appdata" = '%APPDATA%' ] || [ "$temp" = '%TEMP%' ]; then
  echo "05-known-state: cannot tell the prefix's user folders (got '$appdata', '$temp')" >&2
  exit 1
fi
settings=$(winepath -u "$appdata\\Quorvane" 2>/dev/null)
temp=$(winepath -u "$temp" 2>/dev/null)
[ -n "$settings" ] && [ -n "$temp" ] || { echo "05-known-state: winepath failed" >&2; exit 1; }

for f in "$settings"/IFilterProcess.ini "$settings"/LogGuid.ini; do
  if [ -e "$f" ]; then
    echo "05-known-state: removing $(basename "$f") left by an earlier run" >&2
    rm -f "$f"
  fi
done
stale=0
if [ -d "$temp" ]; then
  while IFS= read -r -d '' dir; do
    rm -rf "$dir"
    stale=$((stale + 1))
  done < <(find "$temp" -mindepth 1 -maxdepth 1 -type d \
             \( -regextype posix-extended -regex '.*/[0-9A-Fa-f]{32}' -o -name 'pellucidor-test-*' \) -print0)
fi
[ "$stale" = 0 ] || echo "05-known-state: removed $stale run or scratch folder(s) left in $temp" >&2

# The registration's keys, in both registry views: a registration test that died before it could
# put them back leaves what it arranged (a kept PreviousPersistentHandler, another product's
# links), and 20-register.sh only rewrites what registration writes. Removed here, written anew
# there. The extension, ProgID and classes the registration writes (module/Registration.cpp), and
# the keys the registration tests arrange around them (tests/registration): all test-only names
# but .rar, which nothing but the filter serves in the test prefix. One cmd for all of them; a
# key that is not there is passed quietly. No name here has a space: cmd takes them unquoted.
classes='HKLM\Software\Classes'
keys=(
  '.rar' 'rar.file'
  'CLSID\{1D77BAD8-8F6A-4977-947E-133D5DEC961C}'   # the persistent handler (PreviousPersistentHandler)
  'CLSID\{B32C2A21-8912-48d0-B31D-D99CE9B5FC7C}'   # the filter class
  'CLSID\{65A63621-E82A-480d-87FB-EC98F151FBD2}'   # the document class of rar.file
  'CLSID\PersistentHandler'
  'PellucidorTest.OtherArchive' 'PellucidorTest.Blocked' '.pellucidortest-bare' '.pellucidortest-kept'
  'CLSID\{3C5E2B7A-91D4-4F0E-A6B8-2D7C1E9F4A03}' 'CLSID\{00D1F2A3-5B6C-4D7E-8F90-A1B2C3D4E5F6}'
  'CLSID\{F7E3A9C1-2D4B-4E6F-9A8B-7C6D5E4F3A2B}'
)
cmds=()
for view in 32 64; do
  for key in "${keys[@]}"; do
    cmds+=("reg delete $classes\\$key /f /reg:$view >nul 2>&1")
  done
  # The run limits a test set and could not take back (tests/hostile_archives LimitsTest).
  cmds+=("reg delete HKLM\\Software\\Quorvane /f /reg:$view >nul 2>&1")
done
(IFS='&'; wine cmd /c "${cmds[*]}" </dev/null >/dev/null 2>&1) || true
