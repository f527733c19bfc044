#!/usr/bin/env bash
# Archives for what each search host keeps of an item (tests/host_allowance), into
# $PELLUCIDOR_TESTDATA/host-allowance:
#   logs.rar  200 web-server access logs of 400 KB, solid, about 15:1; each log's first line is
#             "first line of access log NNN" and its last "last line of access log NNN"
#   slow.rar  20 documents that take the text fixture a second each to open ("fixture:slow-init")
#   big.rar   solid: 1 GB of zeros nobody reads (big.bin), then a document after it (after.txt)
#   nested.rar  ten logs "outer NNN" and inner.rar, which holds ten logs "inner NNN" (as logs.rar's)
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/host-allowance"

mkdir logs outer inner
python3 - <<'PY'
import random
random.seed(7)
paths = ['/index.html', '/api/v1/items', '/static/app.js', '/static/site.css', '/login', '/search?q=widgets',
         '/images/logo.png', '/cart', '/checkout', '/api/v1/users/%d']
agents = ['Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36', 'curl/7.88.1',
          'Mozilla/5.0 (X11; Linux x86_64) Firefox/118.0', 'Googlebot/2.1']
hosts = ['10.0.%d.%d' % (random.randint(0, 9), random.randint(1, 254)) for _ in range(40)]
sizes = [512, 1024, 2326, 4096, 8120, 15872, 90210]
def log(filename, name):
    lines = ['first line of %s\n' % name]
    size, i = len(lines[0]), 1
    while size < 400 * 1024:
        url = random.choice(paths)
        if '%d' in url:
            url %= random.randint(1, 200)
        line = '%s - - [08/Dec/2026:%02d:%02d:%02d +0000] "GET %s HTTP/1.1" %d %d "-" "%s"\n' % (
            random.choice(hosts), i // 3600 % 24, i // 60 % 60, i % 60, url, random.choice([200, 200, 200, 304, 404]),
            random.choice(sizes), random.choice(agents))
        lines.append(line)
        size += len(line)
        i += 1
    lines.append('last line of %s\n' % name)
    with open(filename, 'w') as f:
        f.write(''.join(lines))
for n in range(200):
    log('logs/access-%03d.txt' % n, 'access log %03d' % n)
for n in range(10):
    log('outer/outer-%03d.txt' % n, 'outer %03d' % n)
    log('inner/inner-%03d.txt' % n, 'inner %03d' % n)
PY
(cd logs && r a -s -m3 -ma5 "$out/logs.rar" .)
(cd inner && r a -s -m3 -ma5 ../outer/inner.rar .)
(cd outer && r a -s -m3 -ma5 "$out/nested.rar" .)

mkdir slow
for n in $(seq -w 1 20); do printf 'fixture:slow-init\nslow document %s\n' "$n" > "slow/slow-$n.txt"; done
(cd slow && r a -m3 -ma5 "$out/slow.rar" .)

# A sparse file: a gigabyte of zeros that takes no disk.
truncate -s 1G big.bin
printf 'after the gigabyte\n' > after.txt
# -ds: in this order (a solid archive is otherwise sorted by extension).
r a -s -ds -m1 -ma5 "$out/big.rar" big.bin after.txt

end_data
