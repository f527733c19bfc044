#!/usr/bin/env bash
# The archive the installer test filters through the installed package: a comment (the title) and
# two text entries, one in a folder. Made with Debian's rar into $PELLUCIDOR_TESTDATA/packaging;
# skipped when it is newer than this script.
set -euo pipefail
sample="$PELLUCIDOR_TESTDATA/packaging/sample.rar"
if [ "$sample" -nt "$0" ]; then exit 0; fi
mkdir -p "$(dirname "$sample")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p docs
printf 'Quarterly figures for the board.\r\n' > docs/report.txt
printf 'Read me first.\r\n' > readme.txt
printf 'Sample archive for the installer test' > comment.txt
rm -f "$sample"
rar a -ma5 -idq -y -zcomment.txt "$sample" readme.txt docs/report.txt >/dev/null
