#!/usr/bin/env python3
"""Edits the block chain of a RAR5 archive made by rar (each block: CRC32, header size vint,
header type vint, flags vint, [extra size], [data size], ..., then its data).

Usage: rar5blocks.py drop-files 0 IN OUT         all file blocks removed: an empty archive
       rar5blocks.py zero-size-of-file N IN OUT  the Nth file block's header size set to 0"""
import sys

FILE_BLOCK = 2


def vint(b, i):
    value = shift = 0
    while True:
        c = b[i]
        i += 1
        value |= (c & 0x7F) << shift
        shift += 7
        if c < 0x80:
            return value, i


def blocks(b):
    i = 8  # after the signature
    while i < len(b):
        size, j = vint(b, i + 4)
        htype, k = vint(b, j)
        flags, k = vint(b, k)
        if flags & 1:
            _, k = vint(b, k)
        data = vint(b, k)[0] if flags & 2 else 0
        end = j + size + data
        if end <= i:
            raise SystemExit('rar5blocks: block chain does not move on at %d' % i)
        yield i, end, htype
        i = end


def main(action, n, src, dst):
    b = open(src, 'rb').read()
    out = bytearray(b[:8])
    files = 0
    for start, end, htype in blocks(b):
        block = bytearray(b[start:end])
        if htype == FILE_BLOCK:
            files += 1
            if action == 'drop-files':
                continue
            if action == 'zero-size-of-file' and files == int(n):
                block[4] = 0
        out += block
    open(dst, 'wb').write(bytes(out))


if __name__ == '__main__':
    main(*sys.argv[1:])
