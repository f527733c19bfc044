#!/usr/bin/env bash
# Solid archives made with rar's defaults whose documents fit the default budget beside their
# stream's window (tests/heap_budget), into $PELLUCIDOR_TESTDATA/budget-solid. Documents made by
# document or prose (setup-data.sh): "<name> begins", words, "<name> ends".
#   solid10.rar     three 10.5 MB documents, one solid stream of 31.5 MB (a 32 MB window)
#   bigfirst.rar    big.txt (16 MB of prose), filler.nofilt (10 MB, no filter) and small.txt in
#                   one stream of 26 MB, a 32 MB window: big.txt is read from the window
#   codefirst.rar   the same with code.txt (16 MB of x86 code, which rar filters) for big.txt:
#                   a filter's output needs a copy, which does not fit beside the window
#   big24.rar       24 MB of prose, not solid, a 32 MB dictionary: read from its window
#   end24.rar       lead.txt (1 MB) and end24.txt (24 MB of prose) in one solid stream, a 32 MB
#                   window
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/budget-solid" "$(dirname "$0")/../setup-data.sh"

for n in a b c; do document "s10$n.txt" 105000 "s${n}w"; done
r a -s -ma5 "$out/solid10.rar" s10a.txt s10b.txt s10c.txt
prose big.txt 16000000
document filler.nofilt 100000 flw
document small.txt 100 smw
r a -s -ds -ma5 "$out/bigfirst.rar" big.txt filler.nofilt small.txt
python3 - <<'PY'
import random
random.seed(5)
code = bytearray()
while len(code) < 65536:
    code += b'\xe8' + random.getrandbits(32).to_bytes(4, 'little') + bytes(random.getrandbits(8) for _ in range(3))
open('code.txt', 'wb').write(b'code begins\n' + bytes(code[:65536]) * 256 + b'\ncode ends\n')
PY
r a -s -ds -ma5 "$out/codefirst.rar" code.txt filler.nofilt small.txt
prose big24.txt 24000000
r a -ma5 -md32m "$out/big24.rar" big24.txt
document lead.txt 10000 ldw
prose end24.txt 24000000
r a -s -ds -ma5 -md32m "$out/end24.rar" lead.txt end24.txt

end_data
