#!/usr/bin/env bash
# The archive the installer test filters through the installed package: a comment (the title) and
# two text entries, one in a folder. Made with Debian's rar into $PELLUCIDOR_TESTDATA/packaging;
# skipped when this script made it already with the same rar.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/packaging"
mkdir -p docs
printf 'Quarterly figures for the board.\r\n' > docs/report.txt
printf 'Read me first.\r\n' > readme.txt
printf 'Sample archive for the installer test' > comment.txt
r a -ma5 -zcomment.txt "$out/sample.rar" readme.txt docs/report.txt
end_data
