#!/usr/bin/env bash
# Archives made by hand whose headers drove the decoder outside the run's account or outside its
# window (tests/heap_budget), into $PELLUCIDOR_TESTDATA/budget-faults. Every document's text
# begins "<stem> begins" and ends "<stem> ends".
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
here=$(cd "$(dirname "$0")" && pwd)
begin_data "$PELLUCIDOR_TESTDATA/budget-faults" "$here/rar5.py" "$here/rar29enc.py" "$here/rar29faults.py"
w() { python3 "$here/rar5.py" "$@"; }

# document NAME LINES: LINES lines of ten numbered words between the begin and end lines.
document() {
  python3 - "$@" <<'PY'
import sys
name, lines = sys.argv[1], int(sys.argv[2])
stem = name.rsplit('.', 1)[0]
body = '\n'.join(' '.join('%sw%07d' % (stem[:2], i * 10 + k) for k in range(10)) for i in range(lines))
with open(name, 'w') as f:
    f.write('%s begins\n%s\n%s ends\n' % (stem, body, stem))
PY
}

# stale29.rar, stale15.rar, dirattr29.rar: RAR 2.9 (see rar29faults.py).
python3 "$here/rar29faults.py" "$out"

# One document per archive, compressed by rar: their data is taken into the archives below.
document a.txt 30000      # 3 MB: a 4 MB window
document b.txt 20
document c.txt 20
document nine.txt 90000   # 9 MB: a 16 MB window
document big.txt 170000   # 18.7 MB: a 32 MB window
document mid.txt 15000    # 1.5 MB: a 2 MB window
for n in a b c; do r a -ma5 -m3 -md4m "$n.rar" "$n.txt"; done
r a -ma5 -m1 -md16m nine.rar nine.txt
r a -ma5 -m1 -md32m big.rar big.txt
r a -ma5 -m1 -md2m mid.rar mid.txt

# release5.rar: a.txt (4 MB window), nine.txt (16 MB: a's window is released for it, and under a
# tight host heap the new one cannot be had), c.txt continuing nine's solid stream in a small
# window, d.txt stored.
w "$out/release5.rar" --file-from a.rar a.txt --file-from nine.rar nine.txt --file-from c.rar c.txt --continues \
  --file d.txt $'d begins\nd ends'

# dirattr5.rar: a solid archive whose first entry, a file with the directory attribute, declares
# 256 MB (unpacked size and dictionary); then z.txt stored.
w "$out/dirattr5.rar" --solid --file-from b.rar folder --attr 0x10 --dictionary 268435456 --announce 268435456 \
  --file z.txt $'z begins\nz ends'

# frag32.rar: big.txt needs a 32 MB window (made in fragments when one block cannot be had), then
# mid.txt needs 2 MB and its 1.5 MB of text in memory: more than fragments kept would leave.
w "$out/frag32.rar" --file-from big.rar big.txt --file-from mid.rar mid.txt

# alternate.rar: eight documents needing an 8 MB window, each followed by one needing the
# smallest: every window is released and another made, sixteen times; kept, the windows would
# come to 66 MB.
items=()
for n in 1 2 3 4 5 6 7 8; do
  document "big$n.txt" 45000   # 5 MB
  document "s$n.txt" 20
  r a -ma5 -m1 -md8m "big$n.rar" "big$n.txt"
  r a -ma5 -m3 "s$n.rar" "s$n.txt"
  items+=(--file-from "big$n.rar" "big$n.txt" --file-from "s$n.rar" "s$n.txt")
done
w "$out/alternate.rar" "${items[@]}"

end_data
