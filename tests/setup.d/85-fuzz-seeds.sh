#!/usr/bin/env bash
# Seed archives of the fuzz program (tests/fuzz), made into $PELLUCIDOR_TESTDATA/fuzz/seeds: small,
# so that a mutation lands in a header as often as in data, and with .txt entries, which the
# fixture text filter reads from memory, and a .fxfile entry, which its file-only twin reads from
# the run folder, so that mutated data goes through both routes to a child filter.
# Fixed file times and time zone: the same script makes the same bytes, and so the same mutants.
# Skipped when this script made them already.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
here=$(cd "$(dirname "$0")" && pwd)
findings="$PELLUCIDOR_TESTDATA/fuzz/findings"
begin_data "$PELLUCIDOR_TESTDATA/fuzz/seeds" "$here/rar4.py" "$here/rar29enc.py"
rm -rf "$findings"
mkdir -p "$findings"
export TZ=UTC

mkdir -p docs
printf 'First paragraph of a.\r\n\r\nSecond paragraph of a.\r\n' > a.txt
for i in $(seq 1 60); do printf 'line %s of the report, with some words to pack\n' "$i"; done > docs/report.txt
printf 'short' > docs/short.txt
printf 'notes kept in a file of their own\r\n' > docs/notes.fxfile
python3 -c "import random,sys; random.seed(7); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(700)))" > data.bin
printf 'Seed archive comment' > comment.txt
touch -d '2020-01-02 03:04:05' a.txt docs/report.txt docs/short.txt docs/notes.fxfile data.bin docs
files=(a.txt docs/report.txt docs/short.txt docs/notes.fxfile data.bin)

# RAR5, compressed (-m3), the entries in a folder among them.
r a -ma5 -m3 "$out/rar5.rar" "${files[@]}"
# RAR5 solid: the entries share one compression stream.
r a -ma5 -m3 -s "$out/rar5-solid.rar" "${files[@]}"
# RAR5 with an archive comment (the title), stored entries (-m0): mutated data reaches the filter as it is.
r a -ma5 -m0 -zcomment.txt "$out/rar5-comment.rar" "${files[@]}"
# RAR5 with BLAKE2 checksums and a quick-open record: more kinds of header and extra record.
# (No recovery record or password: rar fills those with bytes that differ from run to run.)
r a -ma5 -m3 -htb -qo+ "$out/rar5-records.rar" "${files[@]}"
# RAR5 solid, -m5, with a packed comment: two texts of 300 KB each, so that the stream needs
# more than the smallest window and the window grows between entries, and a comment that is
# packed, so that its header's sizes and dictionary reach a decoder.
for i in $(seq 1 9000); do printf 'large line %s of the first text\n' "$i"; done > large1.txt
for i in $(seq 1 9000); do printf 'other line %s, second text, %s\n' "$i" $((i * 7919 % 10007)); done > large2.txt
for i in $(seq 1 80); do printf 'comment line %s of a packed comment\n' "$i"; done > largecomment.txt
touch -d '2020-01-02 03:04:05' large1.txt large2.txt
r a -ma5 -m5 -s -zlargecomment.txt "$out/rar5-solid-large.rar" large1.txt a.txt large2.txt
# Multi-volume (volume.part1.rar ...): vol.txt is split across the parts; the later parts stay
# beside every mutant of the first one as they are.
for i in $(seq 1 40); do printf 'volume line %s with enough words to fill the parts\n' "$i"; done > vol.txt
touch -d '2020-01-02 03:04:05' vol.txt
r a -ma5 -m0 -v1k "$out/volume.rar" a.txt vol.txt
# RAR4 (rar 7 no longer writes it; rar4.py does, stored entries) with a comment.
python3 "$here/rar4.py" "$out/rar4.rar" --comment 'RAR4 comment' 'docs/' \
  "a.txt=$(cat a.txt)" "docs/report.txt=$(head -c 600 docs/report.txt)" "docs/notes.fxfile=$(cat docs/notes.fxfile)" 'data.bin=not text'

# RAR 2.9 compressed by rar29enc.py (literals, matches, a repeated match), one archive not solid
# and one solid, so that mutations reach the RAR 3 decoder and its window; and RAR 1.5 and 2.0
# headers over such data (no encoder for those formats here: their decoders take the bits as they
# come, as they would a damaged archive's), between stored entries.
python3 - "$here" "$out" <<'PY'
import sys, zlib
sys.path.insert(0, sys.argv[1])
from rar29enc import Rar3Encoder, archive, file_header
out = sys.argv[2]

def packed(data, repeat_from=None):
    e = Rar3Encoder()
    e.tables()
    if repeat_from is None:
        e.literals(data)
    else:  # the first repeat_from bytes as literals, the rest copied by matches of that distance
        e.literals(data[:repeat_from])
        e.fill(len(data) - repeat_from, dist=repeat_from)
    e.end_file()
    return e.getvalue()

line = b'line of the report, with some words to pack\n'
docs = [('a.txt', b'First paragraph of a.\r\n\r\nSecond paragraph of a.\r\n', None),
        ('docs\\report.txt', line * 24, len(line)),
        ('docs\\notes.fxfile', b'notes kept in a file of their own\r\n', None)]
def entries(solid, unp_ver=29):
    return [file_header(name, packed(data, rep), len(data), zlib.crc32(data), unp_ver=unp_ver, dict_kb=256,
                        solid=solid and i > 0) for i, (name, data, rep) in enumerate(docs)]
stored = file_header('short.txt', b'short', 5, zlib.crc32(b'short'), method=0x30)
open(out + '/rar29.rar', 'wb').write(archive(entries(False) + [stored]))
open(out + '/rar29-solid.rar', 'wb').write(archive(entries(True) + [stored], solid=True))
old = entries(False, 15)[:1] + [stored] + entries(False, 20)[1:2] + entries(True, 26)[2:]
open(out + '/rar15-20.rar', 'wb').write(archive(old, solid=True))
PY

# Findings: mutants that crashed the filter once, made again from the seeds for the tests that
# keep them fixed (tests/hostile_hosts/FuzzFindingsTest.cpp).
# The main header's locator record retyped as a metadata record (CRC made right): its flags ask
# for an archive name, and the quick-open offset of 0 that follows becomes a name of no length.
python3 - "$out/rar5.rar" "$findings/archive-name-of-no-length.rar" <<'PY'
import sys, zlib
b = bytearray(open(sys.argv[1], 'rb').read())
def vint(i):
    v = s = 0
    while True:
        c = b[i]; i += 1; v |= (c & 0x7F) << s; s += 7
        if c < 0x80: return v, i
start = 8                                   # the main header follows the signature
size, i = vint(start + 4)
end = i + size
htype, i = vint(i); flags, i = vint(i)
assert htype == 1 and flags & 1, 'rar5.rar: no main header with an extra area'
extra, i = vint(i); arcflags, i = vint(i)
if arcflags & 2: _, i = vint(i)
rec = end - extra                           # the first extra record: size, then type
_, j = vint(rec)
assert b[j] == 1, 'rar5.rar: the main header has no locator record'
b[j] = 2
b[start:start + 4] = (zlib.crc32(bytes(b[start + 4:end])) & 0xFFFFFFFF).to_bytes(4, 'little')
open(sys.argv[2], 'wb').write(bytes(b))
PY

end_data
