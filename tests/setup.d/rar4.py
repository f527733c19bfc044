#!/usr/bin/env python3
"""Writes a RAR 2.9/4.x format archive (stored entries, made on Unix unless told otherwise), for the
tests' RAR4 cases: the rar 7 on Debian no longer writes that format (-ma4 is gone).

Usage: rar4.py OUT.rar [--comment TEXT] [--host windows] NAME=CONTENT|NAME/ ...
A NAME ending in '/' is a directory entry (mode 0755); files get mode 0664 (group-writable), or
the archive attribute when made on Windows. Names use '\\' between folders as RAR 4 archives do.
Names are stored as the bytes given (UTF-8 from a UTF-8 shell), without the Unicode part, as rar
on Unix wrote them."""
import os
import struct
import sys
import zlib


def block(htype, flags, body):
    head = struct.pack('<BHH', htype, flags, 7 + len(body)) + body
    return struct.pack('<H', zlib.crc32(head) & 0xFFFF) + head


HOST_WINDOWS, HOST_UNIX = 2, 3


def file_block(htype, name, data, attr, flags, host=HOST_UNIX):
    raw = os.fsencode(name)  # the bytes of the command line, also where they are not UTF-8
    body = struct.pack('<IIBIIBBHI', len(data), len(data), host, zlib.crc32(data), 0x5A210000, 29, 0x30,
                       len(raw), attr) + raw
    return block(htype, 0x8000 | flags, body) + data


def main(argv):
    out, rest, comment = argv[0], argv[1:], None
    host = HOST_UNIX
    while rest[:1] in (['--comment'], ['--host']):
        if rest[0] == '--comment':
            comment = rest[1]
        else:
            host = HOST_WINDOWS if rest[1] == 'windows' else HOST_UNIX
        rest = rest[2:]
    dir_attr, file_attr = (0x10, 0x20) if host == HOST_WINDOWS else (0x41ED, 0x81B4)
    parts = [b'Rar!\x1a\x07\x00', block(0x73, 0, b'\0' * 6)]
    if comment is not None:
        parts.append(file_block(0x7A, 'CMT', comment.encode('ascii'), 0, 0))
    for entry in rest:
        if entry.endswith('/'):
            parts.append(file_block(0x74, entry[:-1].replace('/', '\\'), b'', dir_attr, 0xE0, host))
        else:
            name, content = entry.split('=', 1)
            parts.append(file_block(0x74, name.replace('/', '\\'), content.encode('utf-8'), file_attr, 0, host))
    parts.append(block(0x7B, 0x4000, b''))
    with open(out, 'wb') as f:
        f.write(b''.join(parts))


if __name__ == '__main__':
    main(sys.argv[1:])
