#!/usr/bin/env python3
"""Writes RAR5 archives that rar will not make: names it would clean, links it cannot make on
Linux, NTFS stream records ("STM" service headers) with any stream name, and headers that
announce another unpacked size than the data holds. Entries are stored, or carry the compressed
data of an entry rar made.

Usage: rar5.py OUT.rar ITEM...
  --file NAME TEXT          a stored file entry
  --file-from RAR NAME      an entry with the data, sizes and checksum of RAR's first file entry
  --announce N              the entry before announces N unpacked bytes (its data stays as it is)
  --unknown-size            the entry before says its unpacked size is unknown
  --dictionary N            the entry before declares a dictionary of N bytes (128 KB to 4 GB, a
                            power of two); its data stays as it is
  --comment TEXT            the archive comment: a service header "CMT", stored (put it first)
  --attr N                  the entry before carries file attributes N (0x21: read-only, archive)
  --continues               the entry before continues the solid stream (its data as it is)
  --solid                   the archive is marked solid (put it first)
  --crc-of FILE             the entry before carries the CRC32 of FILE's bytes as its checksum
  --stream NAME TEXT        an NTFS stream of the file entry before: a service header "STM" whose
                            stream name is NAME (":name" normally), stored data TEXT
  --stream-from RAR NAME    the same, with the data, sizes and checksum of RAR's first file entry
  --link KIND NAME TARGET   a link entry: unix-symlink, win-symlink, junction, hardlink, filecopy
  --unix / --windows        the entries after it are marked as made on Unix / Windows (default)
  --many N KIND PATTERN     N entries named PATTERN % i (i from 0): KIND "file" (empty files) or
                            "dir" (directories)
Names are written as given (UTF-8); '/' separates folders in RAR5.

The format (UnRAR's headers5.hpp and arcread.cpp): the signature, then blocks. A block is
CRC32 of the rest of its header, the header size (vint), type, flags, [extra area size],
[data size], the type's own fields, the extra area, then its data."""
import struct
import sys
import zlib

from rar5blocks import blocks, vint as read_vint

SIGNATURE = b'Rar!\x1a\x07\x01\x00'
HEAD_MAIN, HEAD_FILE, HEAD_SERVICE, HEAD_ENDARC = 1, 2, 3, 5
MHFL_SOLID, FCI_SOLID = 0x04, 0x40
HFL_EXTRA, HFL_DATA, HFL_CHILD = 0x01, 0x02, 0x20
FHFL_DIRECTORY, FHFL_UTIME, FHFL_CRC32, FHFL_UNPUNKNOWN = 0x01, 0x02, 0x04, 0x08
FHEXTRA_REDIR, FHEXTRA_SUBDATA = 0x05, 0x07
HOST_WINDOWS, HOST_UNIX = 0, 1
REDIR = {'unix-symlink': 1, 'win-symlink': 2, 'junction': 3, 'hardlink': 4, 'filecopy': 5}
MTIME = 0x5A210000


def vint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def block(htype, flags, fields, extra=b'', data=b''):
    if extra:
        flags |= HFL_EXTRA
    if data:
        flags |= HFL_DATA
    body = vint(htype) + vint(flags)
    if extra:
        body += vint(len(extra))
    if data:
        body += vint(len(data))
    body += fields + extra
    head = vint(len(body)) + body
    return struct.pack('<I', zlib.crc32(head)) + head + data


def extra_record(rtype, payload):
    inner = vint(rtype) + payload
    return vint(len(inner)) + inner


class Entry:
    """One file or service header with what follows it."""

    def __init__(self, htype, name, data=b'', host=HOST_WINDOWS):
        self.htype = htype
        self.name = name.encode('utf-8')
        self.data = data
        self.unp_size = len(data)
        self.crc = zlib.crc32(data)
        self.comp_info = 0  # version 0, stored, 128 KB dictionary
        self.file_flags = FHFL_UTIME | FHFL_CRC32
        self.attr = 0x20 if host == HOST_WINDOWS else 0o100644
        self.host = host
        self.extra = b''
        self.child = htype == HEAD_SERVICE  # a stream record belongs to the file before it

    def take_payload(self, rar_path):
        """The data, sizes, checksum and compression of the first file entry of an archive rar made."""
        b = open(rar_path, 'rb').read()
        for start, end, htype in blocks(b):
            if htype != HEAD_FILE:
                continue
            size, k = read_vint(b, start + 4)
            end_of_head = k + size
            _, k = read_vint(b, k)  # type
            flags, k = read_vint(b, k)
            if flags & HFL_EXTRA:
                _, k = read_vint(b, k)
            if flags & HFL_DATA:
                _, k = read_vint(b, k)
            file_flags, k = read_vint(b, k)
            self.unp_size, k = read_vint(b, k)
            _, k = read_vint(b, k)  # attributes
            if file_flags & FHFL_UTIME:
                k += 4
            if file_flags & FHFL_CRC32:
                self.crc = struct.unpack_from('<I', b, k)[0]
                k += 4
            self.comp_info, k = read_vint(b, k)
            self.data = b[end_of_head:end]
            return
        raise SystemExit('rar5.py: no file entry in %s' % rar_path)

    def encode(self):
        unp = self.unp_size
        if self.file_flags & FHFL_UNPUNKNOWN:
            unp = 0
        fields = (vint(self.file_flags) + vint(unp) + vint(self.attr) + struct.pack('<I', MTIME) +
                  struct.pack('<I', self.crc) + vint(self.comp_info) + vint(self.host) +
                  vint(len(self.name)) + self.name)
        flags = HFL_CHILD if self.child else 0
        return block(self.htype, flags, fields, self.extra, self.data)


def main(argv):
    out, args = argv[0], argv[1:]
    entries = []
    host = HOST_WINDOWS
    archive_flags = 0
    i = 0

    def take(n):
        nonlocal i
        values = args[i + 1:i + 1 + n]
        if len(values) != n:
            raise SystemExit('rar5.py: %s needs %d arguments' % (args[i], n))
        i += 1 + n
        return values

    def last():
        if not entries:
            raise SystemExit('rar5.py: %s needs an entry before it' % args[i])
        return entries[-1]

    while i < len(args):
        opt = args[i]
        if opt == '--file':
            name, text = take(2)
            entries.append(Entry(HEAD_FILE, name, text.encode('utf-8'), host))
        elif opt == '--file-from':
            rar, name = take(2)
            e = Entry(HEAD_FILE, name, host=host)
            e.take_payload(rar)
            entries.append(e)
        elif opt == '--announce':
            last().unp_size = int(take(1)[0])
        elif opt == '--dictionary':
            size = int(take(1)[0])
            bits = size.bit_length() - 18  # 128 KB << bits
            if size != 0x20000 << max(bits, 0) or not 0 <= bits <= 15:
                raise SystemExit('rar5.py: --dictionary takes 128 KB times a power of two, up to 4 GB')
            last().comp_info = (last().comp_info & ~(0xF << 10)) | bits << 10
        elif opt == '--comment':
            e = Entry(HEAD_SERVICE, 'CMT', take(1)[0].encode('utf-8'), host)
            e.child = False
            entries.append(e)
        elif opt == '--attr':
            last().attr = int(take(1)[0], 0)
        elif opt == '--continues':
            last().comp_info |= FCI_SOLID
            take(0)
        elif opt == '--solid':
            archive_flags |= MHFL_SOLID
            take(0)
        elif opt == '--crc-of':
            last().crc = zlib.crc32(open(take(1)[0], 'rb').read())
        elif opt == '--unknown-size':
            last().file_flags |= FHFL_UNPUNKNOWN
            take(0)
        elif opt == '--stream':
            stream, text = take(2)
            e = Entry(HEAD_SERVICE, 'STM', text.encode('utf-8'), host)
            e.extra = extra_record(FHEXTRA_SUBDATA, stream.encode('utf-8'))
            entries.append(e)
        elif opt == '--stream-from':
            rar, stream = take(2)
            e = Entry(HEAD_SERVICE, 'STM', host=host)
            e.take_payload(rar)
            e.extra = extra_record(FHEXTRA_SUBDATA, stream.encode('utf-8'))
            entries.append(e)
        elif opt == '--link':
            kind, name, target = take(3)
            if kind not in REDIR:
                raise SystemExit('rar5.py: unknown link kind %s' % kind)
            e = Entry(HEAD_FILE, name, host=host)
            t = target.encode('utf-8')
            e.extra = extra_record(FHEXTRA_REDIR, vint(REDIR[kind]) + vint(0) + vint(len(t)) + t)
            entries.append(e)
        elif opt == '--many':
            count, kind, pattern = take(3)
            if kind not in ('file', 'dir'):
                raise SystemExit('rar5.py: --many makes a file or a dir')
            for n in range(int(count)):
                e = Entry(HEAD_FILE, pattern % n, host=host)
                if kind == 'dir':
                    e.file_flags |= FHFL_DIRECTORY
                    e.attr = 0x10 if host == HOST_WINDOWS else 0o40755
                entries.append(e)
        elif opt in ('--unix', '--windows'):
            host = HOST_UNIX if opt == '--unix' else HOST_WINDOWS
            take(0)
        else:
            raise SystemExit('rar5.py: unknown item %s' % opt)

    parts = [SIGNATURE, block(HEAD_MAIN, 0, vint(archive_flags))]
    parts += [e.encode() for e in entries]
    parts.append(block(HEAD_ENDARC, 0, vint(0)))
    with open(out, 'wb') as f:
        f.write(b''.join(parts))


if __name__ == '__main__':
    main(sys.argv[1:])
