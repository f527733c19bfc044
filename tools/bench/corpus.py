#!/usr/bin/env python3
"""Deterministic word-like text for the benchmark: no network, no external data.

A vocabulary of pseudo-words is built from syllables with a fixed seed and drawn with Zipf-like
weights; lines of 8 to 13 words form paragraphs of 2 to 9 lines, separated by blank lines. The
same arguments always give the same bytes (only random() and choices() with cumulative weights
are used, whose results CPython keeps stable).

Usage: corpus.py OUT_DIR COUNT SIZE_BYTES FOLDERS EXTENSION [SEED]
Writes COUNT files of about SIZE_BYTES (within +-10 %, each ending at a paragraph) spread over
FOLDERS folders (dir00, dir01, ...; none when FOLDERS is 0) as doc0000.EXT, doc0001.EXT, ...
Prints a SHA-256 of everything written, so two runs can be compared.
"""
import hashlib
import itertools
import os
import random
import sys

ONSETS = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w",
          "br", "ch", "cl", "dr", "fl", "gr", "pl", "pr", "sh", "st", "str", "th", "tr"]
VOWELS = ["a", "e", "i", "o", "u", "ai", "ea", "ee", "io", "ou", "y"]
CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "nd", "ng", "nt", "rs", "st", "ck", "x"]
VOCABULARY = 20000
BATCH = 65536


def vocabulary(rng):
    words = set()
    ordered = []
    while len(ordered) < VOCABULARY:
        syllables = 1 + int(rng.random() * rng.random() * 4)
        word = "".join(rng.choice(ONSETS) + rng.choice(VOWELS) + rng.choice(CODAS) for _ in range(syllables))
        if word not in words:
            words.add(word)
            ordered.append(word)
    return ordered


class TextSource:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        words = vocabulary(self.rng)
        self.words = words
        self.cum = list(itertools.accumulate(1.0 / (rank + 2.7) for rank in range(len(words))))
        self.pool = []

    def draw(self, n):
        while len(self.pool) < n:
            self.pool.extend(self.rng.choices(self.words, cum_weights=self.cum, k=BATCH))
        out = self.pool[-n:]
        del self.pool[-n:]
        return out

    def paragraph(self):
        lines = []
        for _ in range(2 + int(self.rng.random() * 8)):
            line = self.draw(8 + int(self.rng.random() * 6))
            line[0] = line[0].capitalize()
            lines.append(" ".join(line) + ("." if self.rng.random() < 0.7 else ","))
        return "\n".join(lines) + "\n\n"

    def document(self, size):
        target = int(size * (0.9 + 0.2 * self.rng.random()))
        parts = []
        length = 0
        while length < target:
            p = self.paragraph()
            parts.append(p)
            length += len(p)
        return "".join(parts).encode("ascii")


def main(argv):
    if len(argv) not in (6, 7):
        sys.exit(__doc__)
    out, count, size, folders, ext = argv[1], int(argv[2]), int(argv[3]), int(argv[4]), argv[5]
    seed = int(argv[6]) if len(argv) == 7 else 20240521
    source = TextSource(seed)
    digest = hashlib.sha256()
    for i in range(count):
        folder = os.path.join(out, "dir%02d" % (i % folders)) if folders else out
        os.makedirs(folder, exist_ok=True)
        data = source.document(size)
        digest.update(data)
        with open(os.path.join(folder, "doc%04d.%s" % (i, ext)), "wb") as f:
            f.write(data)
    print(digest.hexdigest())


if __name__ == "__main__":
    main(sys.argv)
