#!/usr/bin/env bash
# Makes tools/sample/sample.rar, the archive ./scripts/dump.sh shows when given none: a comment
# (the title), entries at the root and in folders, and a directory entry that is passed over.
# Run it again only to change the sample; the result is committed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p notes/2024 empty
printf 'Pellucidor sample archive\r\nshown by scripts/dump.sh' > comment.txt
printf 'Minutes of the planning meeting.\r\nNext review in March.\r\n' > notes/2024/minutes.txt
printf 'Budget: 1200 for hardware, 300 for travel.\r\n' > notes/budget.txt
printf 'Read me first.\r\n' > readme.txt
rm -f "$here/sample.rar"
rar a -idq -y -ma5 -r -zcomment.txt "$here/sample.rar" readme.txt notes empty >/dev/null
