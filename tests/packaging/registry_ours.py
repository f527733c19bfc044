#!/usr/bin/env python3
"""Prints the part of registry exports (reg export, UTF-16) that belongs to us, sorted, one line
per key ("[key]") and per value ("[key] value-line"): keys and values naming one of the given
GUIDs (in registry form or in the installer's packed form), Quorvane or Pellucidor, and the .rar
extension key with everything in it. Comparing this output before and after shows what we left.
Usage: registry_ours.py EXPORT.reg [EXPORT.reg ...] -- GUID [GUID ...]"""
import re
import sys


def packed(guid):
    """The installer's packed form: each of the first three groups reversed, then each byte's digits swapped."""
    g = guid.strip('{}').replace('-', '').upper()
    head = g[0:8][::-1] + g[8:12][::-1] + g[12:16][::-1]
    tail = ''.join(g[i + 1] + g[i] for i in range(16, 32, 2))
    return head + tail


def main(argv):
    split = argv.index('--')
    exports, guids = argv[:split], argv[split + 1:]
    words = ['Quorvane', 'Pellucidor']
    for g in guids:
        words += [g.strip('{}'), packed(g)]
    ours = re.compile('|'.join(re.escape(w) for w in words), re.IGNORECASE)
    rar_key = re.compile(r'\\\.rar(\\|$)', re.IGNORECASE)
    found = set()
    for path in exports:
        with open(path, encoding='utf-16') as f:
            text = f.read().replace('\\\n  ', '')  # join continued value lines
        key = None
        for line in text.splitlines():
            if line.startswith('[') and line.endswith(']'):
                key = line[1:-1]
                if ours.search(key) or rar_key.search(key):
                    found.add('[%s]' % key)
            elif line and key is not None and (ours.search(key) or rar_key.search(key) or ours.search(line)):
                found.add('[%s] %s' % (key, line))
    for line in sorted(found):
        print(line)


if __name__ == '__main__':
    main(sys.argv[1:])
