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
