# Sourced by the tests/setup.d steps that make a folder of test data (not a step itself).
#   begin_data FOLDER [FILE...]  leaves the step at once when FOLDER holds what this step, with the
#                                generators FILE... it uses, made last time; otherwise empties
#                                FOLDER, sets out=FOLDER and moves to a fresh folder, $work,
#                                removed when the step exits
#   end_data                     records that FOLDER is made
#   r ARG...                     rar, quiet, never asking
#   rar_version                  the version of the rar that makes the archives ("7.01")
#   document NAME LINES PREFIX   a text of LINES lines of numbered words between "<stem> begins"
#                                and "<stem> ends", so that a test sees whether it came whole
#                                (its 100-byte lines make rar pack it with its delta filter)
#   prose NAME BYTES             about BYTES of words of a small vocabulary between the same
#                                lines, in lines of any length, which rar packs with no filter
# What a step made is remade when the step, its generators or the rar version change: a newer rar
# may write the same archive differently.
r() { rar "$@" -idq -y >/dev/null; }
rar_version() { rar -iver 2>/dev/null | head -n1 || true; }

begin_data() {
  out=$1
  shift
  data_made=$( (cat "$0" "$@"; echo "rar $(rar_version)") | sha256sum | cut -c1-16)
  if [ -f "$out/.made-by" ] && [ "$(cat "$out/.made-by")" = "$data_made" ]; then exit 0; fi
  rm -rf "$out"
  mkdir -p "$out"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cd "$work"
}

end_data() { echo "$data_made" > "$out/.made-by"; }

# document NAME LINES PREFIX: LINES lines of ten numbered words, each word PREFIX and a number,
# between the begin and end lines (100 bytes a line with a 3-character prefix).
document() {
  python3 - "$@" <<'EOF'
import sys
name, lines, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
body = '\n'.join(' '.join('%s%06d' % (prefix, i * 10 + k) for k in range(10)) for i in range(lines))
with open(name, 'w') as f:
    f.write('%s begins\n%s\n%s ends\n' % (name.rsplit('.', 1)[0], body, name.rsplit('.', 1)[0]))
EOF
}

prose() {
  python3 - "$@" <<'EOF'
import random, sys
name, size = sys.argv[1], int(sys.argv[2])
random.seed(name)
stem = name.rsplit('.', 1)[0]
words = [''.join(random.choice('etaoinshrdlucmfwyp') for _ in range(random.randint(2, 11))) for _ in range(5000)]
lines, total = [], 0
while total < size:
    line = ' '.join(random.choice(words) for _ in range(random.randint(3, 16)))
    lines.append(line)
    total += len(line) + 1
with open(name, 'w') as f:
    f.write('%s begins\n%s\n%s ends\n' % (stem, '\n'.join(lines), stem))
EOF
}
