#!/usr/bin/env python3
"""Writes the RAR 2.9 archives of the decoder-memory faults (tests/heap_budget), compressed with
rar29enc.py. Every document's text begins "<stem> begins" and ends "<stem> ends".

Usage: rar29faults.py OUTDIR
  stale29.rar   solid: a.txt (3,000,000 bytes, 4 MB dictionary), b.txt whose unpack version (28)
                no decoder serves, c.txt continuing the stream (256 KB dictionary), d.txt stored
  stale15.rar   the same with c15.txt of unpack version 15 (RAR 1.5 data, not decodable here:
                its bytes are arbitrary) in place of c.txt
  dirattr29.rar solid: "folder" with the directory attribute on Windows (UnRAR takes it for a
                file) whose PPMd block asks for a 256 MB model, then z.txt stored
  ppmd29.rar    not solid: p1.txt and p2.txt, whose PPMd blocks ask for a 28 MB model each (the
                default budget holds one, not two; their data is not text), then big.txt
                (20,000,000 bytes, 4 MB dictionary), which needs most of the budget for its
                window and its copy in memory"""
import os
import sys
import zlib

from rar29enc import Rar3Encoder, archive, file_header

HOST_WINDOWS = 2


def text(stem, body=b''):
    return b'%s begins\n%s%s ends\n' % (stem.encode(), body, stem.encode())


def packed(data):
    e = Rar3Encoder()
    e.tables()
    e.literals(data)
    e.end_file()
    return e.getvalue()


def entry(name, data, **fields):
    return file_header(name, packed(data), len(data), zlib.crc32(data), **fields)


def stored(name, data):
    return file_header(name, data, len(data), zlib.crc32(data), method=0x30)


def large_a():
    """a.txt of 3,000,000 bytes: one line repeated by matches, quick to encode."""
    return repeated('a', 3000000)


def repeated(stem, size):
    """<stem>.txt of about size bytes: one line repeated by matches, quick to encode."""
    head, line = b'%s begins\n' % stem.encode(), b'alpha line of the first document, long enough to repeat\n'
    tail = b'%s ends\n' % stem.encode()
    total = size - len(head) - len(line) - len(tail)
    total -= total % 258  # whole matches of 258 bytes
    e = Rar3Encoder()
    e.tables()
    e.literals(head + line)
    e.fill(total, dist=len(line))
    e.literals(tail)
    e.end_file()
    data = head + line + (line * (total // len(line) + 1))[:total] + tail
    return file_header(stem + '.txt', e.getvalue(), len(data), zlib.crc32(data), dict_kb=4096)


def main(out):
    a = large_a()
    b = entry('b.txt', text('b'), unp_ver=28, dict_kb=256)
    d = stored('d.txt', text('d'))
    c = entry('c.txt', text('c', b'charlie continues the stream\n'), dict_kb=256, solid=True)
    garbage = bytes((i * 37 + 11) & 0xFF for i in range(600))
    c15 = file_header('c15.txt', garbage, 4000, 0, unp_ver=15, dict_kb=256, solid=True)
    with open(os.path.join(out, 'stale29.rar'), 'wb') as f:
        f.write(archive([a, b, c, d], solid=True))
    with open(os.path.join(out, 'stale15.rar'), 'wb') as f:
        f.write(archive([a, b, c15, d], solid=True))
    # A PPMd block (ReadTables30): the first byte's top bit, 0x20 to start a model of order 6,
    # then the model's size in MB less one (255: 256 MB), then the range coder's 4 bytes.
    ppmd = bytes([0x80 | 0x20 | 5, 0xFF, 0, 0, 0, 0]) + b'\0' * 64
    folder = file_header('folder', ppmd, 100, 0, host=HOST_WINDOWS, attr=0x10)
    with open(os.path.join(out, 'dirattr29.rar'), 'wb') as f:
        f.write(archive([folder, stored('z.txt', text('z'))], solid=True))
    # Each model, once its entry is passed, must come back to the account for the next.
    model28 = bytes([0x80 | 0x20 | 5, 27, 0, 0, 0, 0]) + b'\0' * 64
    p1 = file_header('p1.txt', model28, 100, 0, host=HOST_WINDOWS, attr=0x20)
    p2 = file_header('p2.txt', model28, 100, 0, host=HOST_WINDOWS, attr=0x20)
    with open(os.path.join(out, 'ppmd29.rar'), 'wb') as f:
        f.write(archive([p1, p2, repeated('big', 20000000)]))


if __name__ == '__main__':
    main(sys.argv[1])
