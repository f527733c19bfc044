#!/usr/bin/env bash
# Hostile archives for tests/hostile_archives, into $PELLUCIDOR_TESTDATA/hostile. Made with
# Debian's rar where rar can make them; otherwise with rar5.py (names rar would clean, links it
# cannot make on Linux, NTFS stream records, headers that lie about sizes). Each block shows how
# one case was made. Files that would appear outside the run folder are all named escape-*.
# Skipped when this very script made them already.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
here=$(cd "$(dirname "$0")" && pwd)
begin_data "$PELLUCIDOR_TESTDATA/hostile" "$here/rar5.py" "$here/rar5blocks.py" "$here/rar4.py"
w() { python3 "$here/rar5.py" "$@"; }
after=(--file after.txt 'after text')    # the walk must reach this entry

# Compressed payloads taken by rar5.py: 16 MB of zeros (about 700 bytes packed), and 60,000
# bytes of text ("packed text " 5,000 times).
head -c 16777216 /dev/zero > zeros16m.bin
r a -ma5 -m5 zeros16m.rar zeros16m.bin
for i in $(seq 5000); do printf 'packed text '; done > text60k.txt
r a -ma5 -m5 text60k.rar text60k.txt
# 40 MB: more than its 32 MB window holds, and more than the default budget leaves for a copy.
head -c 41943040 /dev/zero > zeros40m.bin
r a -ma5 -m5 -md32m zeros40m.rar zeros40m.bin

# --- NTFS stream records after an extracted file (UnRAR appends the stream name to the file's name;
# Wine takes "a.txt:.." as one folder level, so each name climbs one level less than its "..")
w "$out/stream-dotdot.rar" --file a.txt 'host file' --stream ':..\..\escape-stream-dotdot.txt' 'escaped' "${after[@]}"
w "$out/stream-up.rar" --file a.txt 'host file' --stream ':..\..\..\escape-stream-up.txt' 'escaped' "${after[@]}"
w "$out/stream-deep.rar" --file a.txt 'host file' \
  --stream ':..\..\..\..\..\..\..\..\escape-stream-deep.txt' 'escaped' "${after[@]}"
w "$out/stream-slash.rar" --file a.txt 'host file' --stream ':../../../escape-stream-slash.txt' 'escaped' "${after[@]}"
w "$out/stream-drive.rar" --file a.txt 'host file' --stream ':C:\escape-stream-drive.txt' 'escaped' "${after[@]}"
w "$out/stream-ok.rar" --file a.txt 'host file' --stream ':ok' 'a harmless stream' "${after[@]}"
# A stream that unpacks to 16 MB from a few hundred bytes.
w "$out/stream-bomb.rar" --file a.txt 'host file' --stream-from zeros16m.rar ':bomb' "${after[@]}"

# --- entry names
w "$out/names-traversal.rar" --file ../escape-n1.txt 'text n1' --file ../../escape-n2.txt 'text n2' \
  --file a/../../escape-n3.txt 'text n3' --file '..\escape-n4.txt' 'text n4' \
  --file '..\..\escape-n5.txt' 'text n5' --file './../escape-n6.txt' 'text n6' "${after[@]}"
w "$out/names-absolute.rar" --file /escape-a1.txt 'text a1' --file /tmp/escape-a2.txt 'text a2' \
  --file C:/escape-a3.txt 'text a3' --file 'C:escape-a4.txt' 'text a4' --file 'C:\escape-a5.txt' 'text a5' \
  --file //server/share/escape-a6.txt 'text a6' --file '\\server\share\escape-a7.txt' 'text a7' \
  --file '//?/C:/escape-a8.txt' 'text a8' --file '//./C:/escape-a9.txt' 'text a9' "${after[@]}"
# RAR 4 names use '\' between folders, so there "..\" climbs (rar4.py writes that format).
python3 "$here/rar4.py" "$out/names-rar4.rar" '..\escape-r1.txt=text r1' '..\..\escape-r2.txt=text r2' \
  'C:\escape-r3.txt=text r3' '\\server\share\escape-r4.txt=text r4' '\escape-r5.txt=text r5' 'after.txt=after text'
# RAR 4 names as rar on Unix stored them: the creator's bytes without a Unicode part, UTF-8 or
# not; and the same bytes in an archive made on Windows, where they are OEM text.
python3 "$here/rar4.py" "$out/names-rar4-unix.rar" 'abcdefghijklmnopqrsテスト.txt=text utf8' \
  $'caf\xe9.txt=text latin1' 'after.txt=after text'
python3 "$here/rar4.py" "$out/names-rar4-windows.rar" --host windows 'abcdefghijklmnopqrsテスト.txt=text oem' \
  $'caf\xe9.txt=text latin1' 'after.txt=after text'
w "$out/names-devices.rar" --file CON 'text con' --file CON.txt 'text con.txt' --file aux.txt 'text aux' \
  --file nul.txt 'text nul' --file COM1.txt 'text com1' --file lpt9.txt 'text lpt9' \
  --file 'COM¹.txt' 'text com-sup1' --file 'LPT³.txt' 'text lpt-sup3' --file 'CONIN$.txt' 'text conin' \
  --file 'conout$.txt' 'text conout' --file 'prn .txt' 'text prn' --file dir/NUL.txt 'text dir-nul' "${after[@]}"
w "$out/names-colon.rar" --file 'a.txt:hidden.txt' 'text hidden' --file 'b.txt::$DATA' 'text data' \
  --file 'c.txt:..\..\escape-colon.txt' 'text colon' --file 'C:d.txt' 'text drive-like' "${after[@]}"
w "$out/names-control.rar" --file $'ctl\x01.txt' 'text ctl1' --file $'tab\t.txt' 'text tab' \
  --file $'nl\nline.txt' 'text newline' --file $'esc\x1b[2J.txt' 'text escape-seq' --file $'del\x7f.txt' 'text del' \
  "${after[@]}"
w "$out/names-trailing.rar" --file 'dots.txt...' 'text dots' --file 'spaces.txt   ' 'text spaces' \
  --file 'mixed.txt . .' 'text mixed' --file ' lead.txt' 'text lead' --file 'dir./x.txt' 'text dirdot' "${after[@]}"
long2048=$(printf 'L%.0s' {1..2044}).txt
long255=$(printf 'M%.0s' {1..251}).txt
long256=$(printf 'N%.0s' {1..252}).txt
longpath=$(for i in {1..10}; do printf 'p%.0s' {1..200}; printf '/'; done)tail.txt   # 2018 characters
w "$out/names-long.rar" --file "$long2048" 'text 2048' --file "$long255" 'text 255' \
  --file "$long256" 'text 256' --file "$longpath" 'text long path' "${after[@]}"
# Names that Windows cannot create become the same safe name; each entry must show its own text.
w "$out/names-collide.rar" --file 'a?.txt' 'text one' --file 'a*.txt' 'text two' --file 'a<.txt' 'text three' \
  --file 'a_.txt' 'text four' --file 'A_.TXT' 'text five' --file d1/same.txt 'text six' \
  --file d2/same.txt 'text seven' --file CON.txt 'text eight' --file _CON.txt 'text nine' "${after[@]}"
# The same kinds of names made by rar from files on Linux (rar stores them as Unix names).
mkdir -p rarnames/deep && cd rarnames
printf 'text backslash' > 'back\slash.txt'
printf 'text colon' > 'co:lon.txt'
printf 'text ctl' > $'ctl\x02.txt'
printf 'text trail' > 'trail.txt.'
printf 'text space' > 'space.txt '
printf 'text device' > 'AUX.txt'
printf 'text collide' > 'co?lon.txt'
d=deep; for i in {1..9}; do d="$d/$(printf 'q%.0s' {1..220})"; done
mkdir -p "$d" && printf 'text deep' > "$d/deep.txt"
printf 'after text' > after.txt
r a -ma5 -r "$out/names-rar.rar" 'back\slash.txt' 'co:lon.txt' $'ctl\x02.txt' 'trail.txt.' 'space.txt ' AUX.txt \
  'co?lon.txt' deep after.txt
cd "$work"

# --- links, junctions, hard links and file copies
mkdir links && cd links
printf 'target text' > target.txt
printf 'after text' > after.txt
ln -s /etc/passwd abs.txt
ln -s ../../escape-rel.txt rel.txt
ln -s /tmp dirlink
r a -ma5 -ol "$out/links-symlink.rar" target.txt abs.txt rel.txt dirlink after.txt
r a -ma5 -ol -s "$out/links-symlink-solid.rar" target.txt abs.txt rel.txt dirlink after.txt
ln target.txt hard.txt
r a -ma5 -oh "$out/links-hard.rar" target.txt hard.txt after.txt
cp target.txt copy.txt
r a -ma5 -oi:1 "$out/links-filecopy.rar" target.txt copy.txt after.txt
cd "$work"
w "$out/links-written.rar" --file target.txt 'target text' \
  --link unix-symlink abs.txt /etc/passwd --link unix-symlink rel.txt ../../escape-ul.txt \
  --link win-symlink win-abs.txt 'C:\windows\win.ini' --link win-symlink win-rel.txt '..\..\escape-wl.txt' \
  --link junction junction 'C:\users' --file junction/escape-through-junction.txt 'text through' \
  --link hardlink hard.txt ../../../escape-hl.txt --link hardlink hard2.txt target.txt \
  --link filecopy copy.txt 'C:\windows\win.ini' --link filecopy copy2.txt target.txt "${after[@]}"

# --- encryption (password "secret"; the filter installs no password callback)
mkdir enc && cd enc
printf 'secret one' > one.txt && printf 'secret two' > two.txt && printf 'after text' > after.txt
r a -ma5 -psecret "$out/enc-entries.rar" one.txt two.txt
r a -ma5 "$out/enc-entries.rar" after.txt            # a plain entry after the encrypted ones
r a -ma5 -hpsecret "$out/enc-headers.rar" one.txt two.txt after.txt
r a -ma5 -psecret -s "$out/enc-solid.rar" one.txt two.txt after.txt
cd "$work"

# --- volumes: a set of three, a set with a part of another set, a set without its middle part
mkdir vol && cd vol
python3 -c "import random,sys; random.seed(7); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(50000)))" > big.bin
printf 'after the split file' > small.txt
r a -ma5 -m0 -v20k "$out/vol.rar" big.bin small.txt
python3 -c "import random,sys; random.seed(8); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(50000)))" > big.bin
r a -ma5 -m0 -v20k other.rar big.bin small.txt
cp "$out/vol.part1.rar" "$out/wrong.part1.rar"
cp other.part2.rar "$out/wrong.part2.rar"
cp "$out/vol.part3.rar" "$out/wrong.part3.rar"
cp "$out/vol.part1.rar" "$out/gap.part1.rar"
cp "$out/vol.part3.rar" "$out/gap.part3.rar"
cd "$work"

# --- truncated at every eighth of their length (0/8 is an empty file)
mkdir trunc && cd trunc
for n in one two three four five six; do for i in {1..40}; do printf '%s text ' "$n"; done > "$n.txt"; done
printf 'a comment' > comment.txt
r a -ma5 -zcomment.txt src-plain.rar one.txt two.txt three.txt four.txt five.txt six.txt
r a -ma5 -s src-solid.rar one.txt two.txt three.txt four.txt five.txt six.txt
r a -ma5 -hpsecret src-encrypted.rar one.txt two.txt three.txt
cp "$out/vol.part1.rar" src-volume.part1.rar
for src in plain solid encrypted volume; do
  file=$(ls src-$src*.rar)
  size=$(stat -c %s "$file")
  for k in 0 1 2 3 4 5 6 7; do
    head -c $((size * k / 8)) "$file" > "$out/trunc-$src-${k}of8.rar"
  done
done
cd "$work"

# --- sizes: announced far beyond any free space, unknown, and smaller than the data
w "$out/size-huge.rar" --file big.txt 'small data' --announce $((1 << 62)) "${after[@]}"
w "$out/size-unknown.rar" --file big.txt 'small data' --unknown-size "${after[@]}"
w "$out/size-bomb.rar" --file-from zeros16m.rar bomb.txt --announce $((1 << 50)) "${after[@]}"
w "$out/size-lie-stored.rar" --file lie.txt 'twenty-six bytes of text.' --announce 3 "${after[@]}"
w "$out/size-lie-packed.rar" --file-from zeros16m.rar lie.txt --announce 1000 "${after[@]}"
w "$out/size-true-packed.rar" --file-from text60k.rar packed.txt "${after[@]}"
# The same entry declaring a 4 GB dictionary (UnRAR allocated the declared dictionary, which a
# 32-bit process cannot), and once more announcing 8 GB, which asks for a 4 GB window.
w "$out/dict-4g.rar" --file-from text60k.rar packed.txt --dictionary 4294967296 "${after[@]}"
# Solid, -ds keeping the order: 360,000 bytes of text, then the same text after "two ", packed
# as matches into the first entry. The window is sized for the first entry and grows for the
# second, so its data must be carried into the larger window.
for i in $(seq 20000); do printf 'solid stream text '; done > one.txt
{ printf 'two '; cat one.txt; } > two.txt
r a -ma5 -m5 -s -ds "$out/solid-grow.rar" one.txt two.txt
w "$out/dict-4g-8g.rar" --file-from text60k.rar packed.txt --dictionary 4294967296 --announce $((1 << 33)) "${after[@]}"
# The same for documents whose filter reads streams (.fxall: file or stream; .fxstream: stream only).
w "$out/size-stream-true.rar" --file-from text60k.rar packed.fxall "${after[@]}"
w "$out/size-stream-lie.rar" --file-from zeros16m.rar lie.fxall --announce 1000 "${after[@]}"
w "$out/size-stream-bomb.rar" --file-from zeros16m.rar bomb.fxall --announce $((1 << 50)) "${after[@]}"
w "$out/size-stream-big.rar" --file-from zeros40m.rar big.fxstream "${after[@]}"
# Exactly 16 MB, and one byte more: a line of text, then spaces.
# A 16 MB dictionary keeps their window to 16 MB, so that the document and its window fit in the
# run's memory budget together.
for size in 16777216 16777217; do
  python3 -c "import sys; t = b'sixteen megabytes\n'; sys.stdout.buffer.write(t + b' ' * ($size - len(t)))" > doc$size.txt
  r a -ma5 -m5 -md16m doc$size.rar doc$size.txt
done
w "$out/size-stream-exact.rar" --file-from doc16777216.rar exact.fxall "${after[@]}"
w "$out/size-stream-over.rar" --file-from doc16777217.rar over.fxall "${after[@]}"
# Data that runs past what its header announces: 18 MB of x86-like code (a call every 8 bytes),
# which rar packs with its E8 filter. UnRAR writes a filtered block whole, past the announced
# size, so announcing exactly 16 MB lets more than 16 MB come out; the checksum is that of what
# comes out, so that only the amount can refuse the entry.
python3 - <<'PY'
import random
random.seed(3)
block = bytearray()
while len(block) < 65536:
    block += b'\xe8' + random.getrandbits(32).to_bytes(4, 'little') + bytes(random.getrandbits(8) for _ in range(3))
open('code18m.exe', 'wb').write(bytes(block[:65536]) * (18 * 16))
PY
r a -ma5 -m5 code18m.rar code18m.exe
w past.rar --file-from code18m.rar past.fxall --announce 16777216
rar p -inul past.rar > past.out || true
w "$out/size-stream-past.rar" --file-from code18m.rar past.fxall --announce 16777216 --crc-of past.out "${after[@]}"

# --- attributes: read-only files made on Windows (the file-only fixture reads .fxfile from a file)
w "$out/attr-readonly.rar" --file ro1.fxfile 'read only one' --attr 0x21 --file ro2.fxfile 'read only two' --attr 0x21 \
  --file hidden.fxfile 'hidden system' --attr 0x27 "${after[@]}"

# --- run limits: a solid archive whose first entry nobody reads (no filter for .nofilt): passing
# it decompresses 3.3 MB, work counted against the run's bound before after.txt is reached.
for i in $(seq 300000); do printf 'pass %06d\n' "$i"; done > pass.nofilt
printf 'after text' > after.txt
r a -ma5 -s -ds -m3 "$out/limits-solid-pass.rar" pass.nofilt after.txt
# A solid stream of 24 documents of 1 MB under a 32 MB dictionary: grown step by step its window
# would hold 16 MB beside 32 MB at the last step, more than the run's budget.
mkdir solid32 && (cd solid32 && python3 - <<'PY'
for d in range(24):
    words = ' '.join('s%02dw%06d' % (d, i) for i in range(95000))
    open('doc%02d.txt' % d, 'w').write('doc%02d %s' % (d, words))
PY
r a -ma5 -s -ds -m1 -md32m "$out/limits-solid-32m.rar" doc*.txt)

# --- nesting: nest50.rar holds level50.txt and nest49.rar, down to nest1.rar with level1.txt only
mkdir nest && cd nest
printf 'level 1 text' > level1.txt
r a -ma5 -m1 nest1.rar level1.txt
for n in $(seq 2 50); do
  printf 'level %d text' "$n" > "level$n.txt"
  r a -ma5 -m1 "nest$n.rar" "level$n.txt" "nest$((n - 1)).rar"
  rm "nest$((n - 1)).rar"
done
cp nest50.rar "$out/nest50.rar"
cd "$work"

end_data
