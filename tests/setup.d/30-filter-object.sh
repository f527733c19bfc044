#!/usr/bin/env bash
# Archives for the filter-object and settings tests, made with Debian's rar into
# $PELLUCIDOR_TESTDATA/filter_object. The content hardly matters there; the names do: each name
# below is one the settings files must keep apart. Skipped when this script made them already.
set -euo pipefail
source "$(dirname "$0")/../setup-data.sh"
begin_data "$PELLUCIDOR_TESTDATA/filter_object"

# One text entry, no comment.
printf 'plain entry text' > a.txt
rar a -ma5 -idq -y "$out/plain.rar" a.txt >/dev/null

# The same archive under names the profile format cannot hold as they are: "=" ends a key,
# a leading ";" starts a comment, a leading "[...]" a section, "%" is the key form's escape,
# a leading space is trimmed, and two names that an ANSI file would both turn into "?.rar".
for name in second.rar 'a=b.rar' ';semi.rar' '[bracket].rar' '100%.rar' ' lead.rar' '中.rar' '文.rar'; do
  cp "$out/plain.rar" "$out/$name"
done
# A document that the plain-text fixture filter reads as the report of what its Init was given:
# the flags and attributes the filter passed on from the host.
printf 'fixture:report-init\n' > report.txt
rar a -ma5 -idq -y "$out/init-report.rar" report.txt >/dev/null
end_data
