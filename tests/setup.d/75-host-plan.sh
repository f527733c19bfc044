#!/usr/bin/env bash
# Archives made to break the plan of what a host keeps (tests/host_allowance), into
# $PELLUCIDOR_TESTDATA/host-plan:
#   dirs.rar        400,000 directories, then last.txt ("read past the directories")
#   comment.rar     RAR 4: a 16,000-character comment (packed to a few dozen bytes) and 50 notes
#   bc.rar          the same comment and one note: the title alone is far past the allowance
#   nested-cut.rar  stored: a.txt, bc.rar, b.txt
#   wide.rar        four 4 MB texts, then 200,000 empty entries nobody reads (.empty)
#   long.rar        first.txt, a 300-character folder's mid.txt, 130 folders deep deep.txt, after.txt
#   names.rar       2,000 entries whose names are 200 characters long, each starting with its number
#   mixed.rar       five short notes, then five 400 KB logs
#   inner-first.rar inner.rar (ten logs "inner NNN") first, then ten logs "outer NNN"
#   big-first.rar   a 4 MB text, then 3,000 entries nobody reads
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/host-plan" "$here/rar5.py" "$here/rar29enc.py"
rar5() { python3 "$here/rar5.py" "$@"; }

# A 4 MB text of numbered lines: "first line of NAME", then lines that pack well.
text() {
  python3 - "$1" "$2" <<'PY'
import sys
name, size = sys.argv[1], int(sys.argv[2])
lines = ['first line of %s\n' % name]
total, n = len(lines[0]), 0
while total < size:
    line = 'line %07d of %s, the same words on every line\n' % (n, name)
    lines.append(line)
    total += len(line)
    n += 1
open(name, 'w').write(''.join(lines))
PY
}

rar5 "$out/dirs.rar" --many 400000 dir 'd%06d' --file last.txt 'read past the directories'

# RAR 4 archives, whose comment is packed (RAR 5 stores comments as they are).
python3 - "$here" "$out" <<'PY'
import struct, sys, zlib
sys.path.insert(0, sys.argv[1])
from rar29enc import DICT_FLAGS, Rar3Encoder, archive, block, file_header
out = sys.argv[2]
text = (b'comment words ' * 1143)[:16000]
e = Rar3Encoder()
e.tables()
e.literals(text[:14])
e.fill(len(text) - 14, dist=14)
e.end_file()
packed = e.getvalue()
# The comment: a service header named CMT over the packed text.
body = struct.pack('<IIBIIBBHI', len(packed), len(text), 3, zlib.crc32(text), 0x5A210000, 29, 0x33, 3, 0) + b'CMT'
comment = block(0x7A, 0x8000 | DICT_FLAGS[4096], body) + packed
def note(name, data):
    return file_header(name, data, len(data), zlib.crc32(data), method=0x30)
def with_comment(entries):
    plain = archive(entries)
    return plain[:20] + comment + plain[20:]  # after the marker (7) and the main header (13)
open(out + '/comment.rar', 'wb').write(with_comment([note('note-%02d.txt' % n, b'note %02d\n' % n) for n in range(1, 51)]))
open('bc.rar', 'wb').write(with_comment([note('only.txt', b'the only note\n')]))
PY
printf 'alpha text\n' > a.txt
printf 'bravo text\n' > b.txt
r a -m0 -ma5 "$out/nested-cut.rar" a.txt bc.rar b.txt
cp bc.rar "$out/bc.rar"

for n in 1 2 3 4; do
  text "text$n.txt" 4194304
  r a -m5 -ma5 "text$n.rar" "text$n.txt"
done
rar5 "$out/wide.rar" --file-from text1.rar text1.txt --file-from text2.rar text2.txt \
  --file-from text3.rar text3.txt --file-from text4.rar text4.txt --many 200000 file 'e%06d.empty'

deep=$(printf 'a/%.0s' $(seq 1 130))
folder=$(printf 'f%.0s' $(seq 1 300))
rar5 "$out/long.rar" --file first.txt 'first text' --file "$folder/mid.txt" 'mid text' \
  --file "${deep}deep.txt" 'deep text' --file after.txt 'after text'

long=$(printf 'x%.0s' $(seq 1 189))
rar5 "$out/names.rar" --many 2000 file "%06d-$long.dat"

mkdir mixed
for n in 1 2 3 4 5; do printf 'short note %s\n' "$n" > "mixed/a-note-$n.txt"; done
for n in 1 2 3 4 5; do text "mixed/b-log-$n.txt" 409600; done
(cd mixed && r a -m3 -ma5 -ds "$out/mixed.rar" a-note-1.txt a-note-2.txt a-note-3.txt a-note-4.txt a-note-5.txt \
  b-log-1.txt b-log-2.txt b-log-3.txt b-log-4.txt b-log-5.txt)

mkdir inner outer
for n in $(seq -f %02g 0 9); do text "inner/inner-$n.txt" 409600; text "outer/outer-$n.txt" 409600; done
(cd inner && r a -m3 -ma5 ../outer/inner.rar .)
(cd outer && r a -m3 -ma5 -ds "$out/inner-first.rar" inner.rar outer-*.txt)

rar5 "$out/big-first.rar" --file-from text1.rar text1.txt --many 3000 file 'e%06d.empty'

end_data
