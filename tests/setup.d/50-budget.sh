#!/usr/bin/env bash
# Archives whose headers ask for more memory than a filter host gives (tests/heap_budget), into
# $PELLUCIDOR_TESTDATA/budget. Every document is text for the fixture text filter (.txt, from
# files and streams), its first line "<name> begins" and its last "<name> ends", so that a test
# sees whether it came whole. rar writes a dictionary no larger than the data needs (rounded up
# to a power of two), whatever -md asks: the archives hold enough data to keep the one they ask.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
here=$(cd "$(dirname "$0")" && pwd)
begin_data "$PELLUCIDOR_TESTDATA/budget" "$here/rar5.py" "$here/../setup-data.sh"
w() { python3 "$here/rar5.py" "$@"; }

# nested8.rar: eight archives one inside another, made with rar's defaults (-s, RAR5, the
# dictionary it picks: 2 MB); level N holds levelN.txt (about 1 MB, words "lNw...") and
# level(N+1).rar, level 8 its text only.
mkdir nested && cd nested
for n in $(seq 1 8); do document "level$n.txt" 10500 "l${n}w"; done
r a -s level8.rar level8.txt
for n in 7 6 5 4 3 2 1; do r a -s "level$n.rar" "level$n.txt" "level$((n + 1)).rar"; done
cp level1.rar "$out/nested8.rar"
cd "$work"

# solid256m.rar: a solid archive asking for a 256 MB dictionary, with 60 documents of 2.4 MB
# (144 MB of text, so that rar keeps 256 MB), doc00.txt to doc59.txt, words "dNNw...".
mkdir solid && cd solid
python3 - <<'EOF'
# One block of numbered words, written with each document's own prefix: quick to make.
block = '\n'.join(' '.join('dXXw%06d' % (i * 10 + k) for k in range(10)) for i in range(21800))
for d in range(60):
    with open('doc%02d.txt' % d, 'w') as f:
        f.write('doc%02d begins\n%s\ndoc%02d ends\n' % (d, block.replace('dXX', 'd%02d' % d), d))
EOF
r a -ma5 -m1 -s -md256m "$out/solid256m.rar" doc*.txt
cd "$work"

# zeros1g.rar: 520 MB of zeros (more than 512 MB, so that rar keeps the 1 GB it is asked for)
# and a.txt (3 KB, compressed, declaring 1 GB too), not solid. -m1: quick to make.
mkdir zeros && cd zeros
head -c 545259520 /dev/zero > zeros.bin
document a.txt 45 aw
r a -ma5 -m1 -md1g "$out/zeros1g.rar" zeros.bin a.txt
rm zeros.bin
cd "$work"

# dict2g.rar, dict4g.rar: tiny.txt (compressed by rar, 128 KB dictionary) whose header is made to
# declare 2 GB or 4 GB, then z.txt (stored) and later.txt (compressed, 128 KB).
document tiny.txt 40 tw
r a -ma5 -md128k tiny.rar tiny.txt
document later.txt 40 yw
r a -ma5 -md128k later.rar later.txt
w "$out/dict2g.rar" --file-from tiny.rar tiny.txt --dictionary 2147483648 --file z.txt $'z begins\nzulu\nz ends' \
  --file-from later.rar later.txt
w "$out/dict4g.rar" --file-from tiny.rar tiny.txt --dictionary 4294967296 --file z.txt $'z begins\nzulu\nz ends' \
  --file-from later.rar later.txt

# comment1g.rar (113 bytes): a stored comment of 21 bytes whose header declares a 1 GB dictionary,
# then a.txt, stored.
w "$out/comment1g.rar" --comment 'budget comment: 21 by' --dictionary 1073741824 --file a.txt $'a begins\na ends'

end_data
