#!/usr/bin/env bash
# Archives for the crawler and stream tests, made with Debian's rar into $PELLUCIDOR_TESTDATA/archives.
# Each block below is one test archive and shows how it was made. Skips everything when the
# archives were made by this very script already.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
here=$(cd "$(dirname "$0")" && pwd)
begin_data "$PELLUCIDOR_TESTDATA/archives" "$here/rar4.py" "$here/rar5blocks.py"

# Plain RAR5 archive, no comment: an entry at the root, entries in folders, names without an
# extension or with a bare dot.
mkdir -p plain/docs/2005 && cd plain
printf 'alpha text' > a.txt
printf 'report body' > docs/2005/report.doc
printf 'no extension' > readme
printf 'bare dot' > notes.
printf 'second alpha' > docs/a.txt
r a -ma5 "$out/plain.rar" a.txt docs/2005/report.doc readme notes. docs/a.txt
cd "$work"

# The same entries with an archive comment (title as text).
printf 'Quarterly reports\r\nfor 2005' > comment.txt
cp "$out/plain.rar" "$out/comment.rar"
r c -zcomment.txt "$out/comment.rar"

# A comment longer than the 16384 bytes the title reads of it.
python3 -c "print('long comment line ' * 1200, end='')" > long-comment.txt
cp "$out/plain.rar" "$out/long-comment.rar"
r c -zlong-comment.txt "$out/long-comment.rar"

# An archive whose own file name the ANSI code page cannot carry.
cp "$out/plain.rar" "$out/日本語.rar"

# RAR4 format, with a comment: rar 7 no longer writes it (-ma4 is gone), so rar4.py does, the
# way rar 4 on Unix did (stored entries, Unix modes, a directory entry, '\\' between folders).
python3 "$here/rar4.py" "$out/rar4.rar" --comment 'RAR4 comment' 'docs/' 'docs/2005/' \
  'a.txt=alpha text' 'docs/2005/report.doc=report body' 'docs/groupw.txt=group writable'

# Solid (-s, -ds keeps this order): the first entry has no filter in the tests, the second one is extracted.
mkdir solid && cd solid
printf 'first entry data %.0s' {1..200} > first.dat
printf 'second entry text %.0s' {1..200} > second.txt
printf 'third entry text' > third.txt
r a -ma5 -s -ds "$out/solid.rar" first.dat second.txt third.txt
cd "$work"

# Directories only (every entry a directory, made on Unix: FileAttr holds 0x41ED).
mkdir -p dirs/one/two dirs/three && cd dirs
r a -ma5 -r "$out/dirs-only.rar" one three
cd "$work"

# Unix modes: a group-writable file (mode 0664 has bit 0x10 set) and a folder of mode 0755.
mkdir -p unix/folder && cd unix
printf 'group writable' > folder/groupw.txt && chmod 664 folder/groupw.txt
printf 'private' > private.txt && chmod 600 private.txt
chmod 755 folder
r a -ma5 -r "$out/unix-modes.rar" folder private.txt
cd "$work"

# Encrypted entries (-p): headers readable, data not; and encrypted headers (-hp).
mkdir enc && cd enc
printf 'secret one' > one.txt && printf 'secret two' > two.txt
r a -ma5 -psecret "$out/encrypted.rar" one.txt two.txt
r a -ma5 -hpsecret "$out/encrypted-headers.rar" one.txt two.txt
cd "$work"

# Multi-volume (-v): a stored file larger than one volume, then a small one.
mkdir vol && cd vol
python3 -c "import random,sys; random.seed(4); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(50000)))" > big.bin
printf 'after the split file' > small.txt
r a -ma5 -m0 -v20k "$out/multi.rar" big.bin small.txt
cd "$work"

# Damaged: four stored entries, the third one's header unreadable (its size field zeroed).
mkdir dmg && cd dmg
for n in one two three four; do printf '%s text' "$n" > "$n.txt"; done
r a -ma5 -m0 "$out/damaged.rar" one.txt two.txt three.txt four.txt
python3 "$here/rar5blocks.py" zero-size-of-file 3 "$out/damaged.rar" "$out/damaged.rar"

# Bad data: the first of two stored entries has a byte of its content changed (CRC error).
r a -ma5 -m0 "$out/bad-data.rar" one.txt two.txt
python3 -c "import sys; p=sys.argv[1]; b=bytearray(open(p,'rb').read()); b[b.index(b'one text')] ^= 0x20; open(p,'wb').write(b)" "$out/bad-data.rar"
# Truncated: the plain archive cut in the middle of its third entry.
python3 - "$out/plain.rar" "$out/truncated.rar" <<'PY'
import sys
b = open(sys.argv[1], 'rb').read()
i = b.index(b'readme')
open(sys.argv[2], 'wb').write(b[:i + 3])
PY
cd "$work"

# Unicode entry names.
mkdir -p uni/Ελληνικά && cd uni
printf 'umlaut' > 'Übersicht.txt'
printf 'kanji' > '日本語.txt'
printf 'greek' > 'Ελληνικά/κείμενο.txt'
r a -ma5 "$out/unicode.rar" 'Übersicht.txt' '日本語.txt' 'Ελληνικά/κείμενο.txt'
cd "$work"

# Characters beyond the first plane (two UTF-16 units each) in a name and in a document.
mkdir -p astral && cd astral
printf 'clef \xf0\x9d\x84\x9e and grin \xf0\x9f\x98\x80' > $'\xf0\x9d\x84\x9e score.txt'
r a -ma5 "$out/astral.rar" $'\xf0\x9d\x84\x9e score.txt'
cd "$work"

# A document of paragraphs that end, at every distance from their last character, in what JSON
# escapes or encodes: a quote, a backslash, a tab, control characters, letters beyond ASCII and
# characters beyond the first plane.
mkdir -p mixed && cd mixed
python3 - <<'PY'
pieces = ['"', '\\', '\t', '\x01', '\x7f', '\u00e9', '\u03a9', '\u65e5', '\U0001F600']
paragraphs = ['word ' * (n % 7) + pieces[n % len(pieces)] + 'x' * (n % 40) for n in range(400)]
open('mixed.txt', 'wb').write('\n\n'.join(paragraphs).encode('utf-8'))
PY
r a -ma5 "$out/mixed-text.rar" mixed.txt
cd "$work"

# An entry whose base name has 250 characters.
mkdir -p long/deep && cd long
long=$(printf 'L%.0s' {1..250})
printf 'long name' > "deep/$long.txt"
r a -ma5 "$out/long-name.rar" "deep/$long.txt"
cd "$work"

# Empty archive: rar deletes an archive whose last entry goes, so take a one-entry archive
# made by rar and drop its file block.
printf 'x' > only.txt
r a -ma5 -m0 "$work/one.rar" only.txt
python3 "$here/rar5blocks.py" drop-files 0 "$work/one.rar" "$out/empty.rar"

# Not an archive at all.
printf 'This is plain text, not a RAR archive.\n' > "$out/not-an-archive.rar"

# Names Windows reserves or cannot create, stored as Unix allows them.
mkdir odd && cd odd
names=('CON.txt' 'aux.doc' 'lpt1.txt' 'what?.txt' 'a<b>.txt' 'q"uote.txt' 'pipe|.txt' 'star*.txt'
       'trail.txt.' 'space.txt ' $'ctl\x01.txt' 'plain.txt')
for n in "${names[@]}"; do printf 'content of %s' "$n" > "$n"; done
r a -ma5 "$out/odd-names.rar" "${names[@]}"
cd "$work"

# Links: a symbolic link (-ol), a hard link (-oh) and an identical file kept as a reference (-oi).
mkdir links && cd links
printf 'link target' > target.txt
ln -s target.txt symlink.txt
r a -ma5 -ol "$out/symlink.rar" target.txt symlink.txt
ln target.txt hardlink.txt
r a -ma5 -oh "$out/hardlink.rar" target.txt hardlink.txt
cp target.txt copy.txt
r a -ma5 -oi:1 "$out/filecopy.rar" target.txt copy.txt
cd "$work"

# Archives of many 64 KB blocks, for the stream reader's read-ahead: 240 entries of 2,000 bytes
# of random words, stored (about 500 KB) and packed (about 300 KB).
mkdir blocks && cd blocks
python3 - <<'PY'
import random
random.seed(11)
for n in range(240):
    words = ' '.join(''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(random.randint(2, 9)))
                     for _ in range(400))
    open('b%03d.txt' % n, 'w').write(words[:2000])
PY
r a -ma5 -m0 "$out/blocks-stored.rar" b*.txt
r a -ma5 -m3 "$out/blocks-packed.rar" b*.txt
cd "$work"

# Documents read into memory three ways: text packed (its bytes stay in the decoder's window);
# text followed by x86 code, which rar packs with its x86 filter (the filter's output is copied,
# and what came from the window before it); and the same stored (copied). The documents are kept
# beside (text.txt, mixed.txt).
python3 - <<'PY'
import random
random.seed(3)
code = bytearray()
while len(code) < 65536:
    code += b'\xe8' + random.getrandbits(32).to_bytes(4, 'little') + bytes(random.getrandbits(8) for _ in range(3))
text = b'mixed begins\n' + b''.join(b'plain line %06d of the mixed document\n' % i for i in range(30000))
open('text.txt', 'wb').write(text)
open('mixed.txt', 'wb').write(text + bytes(code[:65536]) * 16 + b'\nmixed ends\n')
PY
cp text.txt mixed.txt "$out/"
r a -ma5 -m3 "$out/memory-packed.rar" text.txt
r a -ma5 -m3 "$out/memory-filtered.rar" mixed.txt
r a -ma5 -m0 "$out/memory-stored.rar" mixed.txt

end_data
