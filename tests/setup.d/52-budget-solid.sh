#!/usr/bin/env bash
# Solid archives made with rar's defaults whose documents fit the default budget beside their
# stream's window (tests/heap_budget), into $PELLUCIDOR_TESTDATA/budget-solid. Documents made by
# document (setup-data.sh): "<name> begins", numbered words, "<name> ends".
#   solid10.rar     three 10.5 MB documents, one solid stream of 31.5 MB (a 32 MB window)
#   bigfirst.rar    big.txt (15.9 MB), filler.nofilt (10 MB, no filter) and small.txt in one
#                   stream of 26 MB: big.txt does not fit in memory beside the stream's 32 MB
#                   window, small.txt does
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/budget-solid" "$(dirname "$0")/../setup-data.sh"

for n in a b c; do document "s10$n.txt" 105000 "s${n}w"; done
r a -s -ma5 "$out/solid10.rar" s10a.txt s10b.txt s10c.txt
document big.txt 159000 bgw
document filler.nofilt 100000 flw
document small.txt 100 smw
r a -s -ds -ma5 "$out/bigfirst.rar" big.txt filler.nofilt small.txt

end_data
