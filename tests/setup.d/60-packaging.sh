#!/usr/bin/env bash
# The archive the installer test filters through the installed package: a comment (the title) and
# two text entries, one in a folder. Made with Debian's rar into $PELLUCIDOR_TESTDATA/packaging;
# skipped when this script made it already.
set -euo pipefail
out="$PELLUCIDOR_TESTDATA/packaging"
stamp="$out/.made-by"
me=$(sha256sum "$0" | cut -c1-16)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$me" ]; then exit 0; fi
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p docs
printf 'Quarterly figures for the board.\r\n' > docs/report.txt
printf 'Read me first.\r\n' > readme.txt
printf 'Sample archive for the installer test' > comment.txt
rar a -ma5 -idq -y -zcomment.txt "$out/sample.rar" readme.txt docs/report.txt >/dev/null
echo "$me" > "$stamp"
