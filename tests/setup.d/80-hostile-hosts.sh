#!/usr/bin/env bash
# Archives for the hostile-host tests and the soak, made with Debian's rar into
# $PELLUCIDOR_TESTDATA/hostile_hosts: eight archives, one per host thread, each with text entries
# that the fixture text filter reads (.txt), an entry without a filter (.bin) and its own words,
# so that a chunk that strays into another thread's stream shows. Skipped when made already.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/hostile_hosts"

for k in 0 1 2 3 4 5 6 7; do
  mkdir -p "t$k/docs" && cd "t$k"
  # Three paragraphs (three child chunks), then a long entry of numbered lines in one paragraph.
  printf 'archive %s first paragraph\r\n\r\narchive %s second paragraph\r\n\r\narchive %s third paragraph\r\n' \
    "$k" "$k" "$k" > "one-$k.txt"
  for i in $(seq 1 2000); do printf 'archive %s line %s\n' "$k" "$i"; done > "docs/two-$k.txt"
  head -c 3000 /dev/zero | tr '\0' "$k" > "data-$k.bin"
  opts=(-ma5 -m3)
  [ $((k % 2)) = 1 ] && opts+=(-s)                      # odd archives are solid
  if [ $((k % 4)) = 0 ]; then                          # every fourth has a comment (a text title)
    printf 'comment of archive %s' "$k" > comment.txt
    opts+=(-zcomment.txt)
  fi
  r a "${opts[@]}" "$out/thread-$k.rar" "one-$k.txt" "docs/two-$k.txt" "data-$k.bin"
  cd "$work"
done
end_data
