#!/usr/bin/env python3
"""Checks that pellucidor-dump --json saw a whole stream: one title, ENTRIES entry-name chunks,
FILTERED of them followed by text their child filter relayed, and the stream's end.

Usage: checkdump.py DUMP.json|- ENTRIES FILTERED
Exit 0 when the stream is as expected; otherwise prints what differs and exits 1. Reads lines
without decoding every one as JSON, so that gigabytes of relayed text pass in seconds.
"""
import json
import re
import sys

STORAGE = "{B725F130-47EF-101A-A5F1-02608C9EEBAC}"
SUMMARY = "{F29F85E0-4FF9-1068-AB91-08002B27B3D9}"
KIND = re.compile(r'^\{"id":(\d+),.*?"propset":"(\{[0-9A-Fa-f-]+\})","propid":(\d+),')
PID_STG_NAME, PID_STG_CONTENTS, PIDSI_TITLE = 10, 19, 2


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    want_entries, want_filtered = int(argv[2]), int(argv[3])
    stream = sys.stdin if argv[1] == "-" else open(argv[1], encoding="utf-8")
    titles = names = filtered = 0
    ended = relayed = False
    with stream:
        for line in stream:
            m = KIND.match(line)
            if m is None:
                ended = ended or json.loads(line).get("end") is not None
                continue
            ident, propset, propid = int(m.group(1)), m.group(2).upper(), int(m.group(3))
            if propset == SUMMARY and propid == PIDSI_TITLE and ident == 1:
                titles += 1
            elif propset == STORAGE and propid == PID_STG_NAME:
                names += 1
                relayed = False
            elif propset == STORAGE and propid == PID_STG_CONTENTS and '"text":""' not in line:
                filtered += 0 if relayed else 1
                relayed = True
    problems = []
    if titles != 1:
        problems.append("%d title chunks" % titles)
    if names != want_entries:
        problems.append("%d entry names, not %d" % (names, want_entries))
    if filtered != want_filtered:
        problems.append("%d entries with relayed text, not %d" % (filtered, want_filtered))
    if not ended:
        problems.append("no end of the stream")
    if problems:
        print("checkdump: %s" % "; ".join(problems), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv)
