#!/usr/bin/env python3
"""Writes a RAR 2.9/4.x format archive (stored entries, made on Unix), for the tests' RAR4 case:
the rar 7 on Debian no longer writes that format (-ma4 is gone).

Usage: rar4.py OUT.rar [--comment TEXT] NAME=CONTENT|NAME/ ...
A NAME ending in '/' is a directory entry (mode 0755); files get mode 0664 (group-writable).
Names use '\\' between folders as RAR 4 archives do."""
import struct
import sys
import zlib


def block(htype, flags, body):
    head = struct.pack('<BHH', htype, flags, 7 + len(body)) + body
    return struct.pack('<H', zlib.crc32(head) & 0xFFFF) + head


def file_block(htype, name, data, attr, flags):
    raw = name.encode('utf-8')
    body = struct.pack('<IIBIIBBHI', len(data), len(data), 3, zlib.crc32(data), 0x5A210000, 29, 0x30,
                       len(raw), attr) + raw
    return block(htype, 0x8000 | flags, body) + data


def main(argv):
    out, rest, comment = argv[0], argv[1:], None
    if rest[:1] == ['--comment']:
        comment, rest = rest[1], rest[2:]
    parts = [b'Rar!\x1a\x07\x00', block(0x73, 0, b'\0' * 6)]
    if comment is not None:
        parts.append(file_block(0x7A, 'CMT', comment.encode('ascii'), 0, 0))
    for entry in rest:
        if entry.endswith('/'):
            parts.append(file_block(0x74, entry[:-1].replace('/', '\\'), b'', 0x41ED, 0xE0))
        else:
            name, content = entry.split('=', 1)
            parts.append(file_block(0x74, name.replace('/', '\\'), content.encode('utf-8'), 0x81B4, 0))
    parts.append(block(0x7B, 0x4000, b''))
    with open(out, 'wb') as f:
        f.write(b''.join(parts))


if __name__ == '__main__':
    main(sys.argv[1:])
