#!/usr/bin/env bash
# scripts/setup.sh's source rewrite (scripts/apt-sources.sh) on copies of the source files each
# kind of Debian 12 installation has: every Debian suite must come out with non-free and deb-src,
# everything else as it was, and a second rewrite must change nothing. Never reads /etc/apt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/apt-sources.sh"
export DEBIAN_CODENAME=bookworm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME FILE-NAME: the sample on fd 3, what the rewrite must print on fd 4
check() {
  local name=$1 file="$work/$2"
  cat <&3 > "$file"
  cat <&4 > "$work/expected"
  apt_sources_rewrite "$file" > "$work/once"
  if ! diff -u "$work/expected" "$work/once" > "$work/diff"; then
    echo "FAIL $name: rewrite differs from the expected file"; cat "$work/diff"; failures=$((failures + 1)); return
  fi
  cp "$work/once" "$file"
  apt_sources_rewrite "$file" > "$work/twice"
  if ! cmp -s "$work/once" "$work/twice"; then
    echo "FAIL $name: a second rewrite changed it again"; diff -u "$work/once" "$work/twice"; failures=$((failures + 1)); return
  fi
  echo "ok   $name"
}

# The installer's one-line file: main and non-free-firmware, with source lines and a cdrom entry.
check 'one-line, main non-free-firmware (installer)' sources.list 3<<'IN' 4<<'OUT'
# deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 NETINST]/ bookworm main non-free-firmware

deb http://deb.debian.org/debian/ bookworm main non-free-firmware
deb-src http://deb.debian.org/debian/ bookworm main non-free-firmware

deb http://security.debian.org/debian-security bookworm-security main non-free-firmware
deb-src http://security.debian.org/debian-security bookworm-security main non-free-firmware

# bookworm-updates, to get updates before a point release is made;
deb http://deb.debian.org/debian/ bookworm-updates main non-free-firmware
deb-src http://deb.debian.org/debian/ bookworm-updates main non-free-firmware
IN
# deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 NETINST]/ bookworm main non-free-firmware

deb http://deb.debian.org/debian/ bookworm main non-free-firmware non-free
deb-src http://deb.debian.org/debian/ bookworm main non-free-firmware non-free

deb http://security.debian.org/debian-security bookworm-security main non-free-firmware non-free
deb-src http://security.debian.org/debian-security bookworm-security main non-free-firmware non-free

# bookworm-updates, to get updates before a point release is made;
deb http://deb.debian.org/debian/ bookworm-updates main non-free-firmware non-free
deb-src http://deb.debian.org/debian/ bookworm-updates main non-free-firmware non-free
OUT

# main only, no source lines; an active cdrom entry stays as it is.
check 'one-line, main, no deb-src' sources.list 3<<'IN' 4<<'OUT'
deb cdrom:[Debian GNU/Linux 12 _Bookworm_]/ bookworm main
deb http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian-security/ bookworm-security main
IN
deb cdrom:[Debian GNU/Linux 12 _Bookworm_]/ bookworm main
deb http://deb.debian.org/debian bookworm main non-free
deb-src http://deb.debian.org/debian bookworm main non-free
deb http://deb.debian.org/debian-security/ bookworm-security main non-free
deb-src http://deb.debian.org/debian-security/ bookworm-security main non-free
OUT

# main contrib, options in brackets, a trailing comment, the suite named "stable", a commented
# deb-src line (it stays commented; an active one is added).
check 'one-line, main contrib, options' sources.list 3<<'IN' 4<<'OUT'
deb [arch=amd64,i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://ftp.de.debian.org/debian stable main contrib # mirror
# deb-src http://ftp.de.debian.org/debian stable main contrib
  deb http://ftp.de.debian.org/debian bookworm-backports main contrib
deb-src http://ftp.de.debian.org/debian/ bookworm-backports main contrib
IN
deb [arch=amd64,i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://ftp.de.debian.org/debian stable main contrib non-free # mirror
deb-src [arch=amd64,i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://ftp.de.debian.org/debian stable main contrib non-free
# deb-src http://ftp.de.debian.org/debian stable main contrib
deb http://ftp.de.debian.org/debian bookworm-backports main contrib non-free
deb-src http://ftp.de.debian.org/debian/ bookworm-backports main contrib non-free
OUT

# Already enabled: nothing changes.
check 'one-line, already enabled' sources.list 3<<'IN' 4<<'OUT'
deb http://deb.debian.org/debian bookworm main contrib non-free non-free-firmware
deb-src http://deb.debian.org/debian bookworm main contrib non-free non-free-firmware
IN
deb http://deb.debian.org/debian bookworm main contrib non-free non-free-firmware
deb-src http://deb.debian.org/debian bookworm main contrib non-free non-free-firmware
OUT

# Another vendor's repository in sources.list.d: not Debian's, left alone.
check 'one-line, another repository' vendor.list 3<<'IN' 4<<'OUT'
deb [signed-by=/etc/apt/keyrings/vendor.gpg] https://deb.example.com/node_20.x nodistro main
deb http://packages.example.org/debian bookworm-stable main
IN
deb [signed-by=/etc/apt/keyrings/vendor.gpg] https://deb.example.com/node_20.x nodistro main
deb http://packages.example.org/debian bookworm-stable main
OUT

# deb822 as Debian's container images ship it: Types deb, Components main.
check 'deb822, main (container image)' debian.sources 3<<'IN' 4<<'OUT'
Types: deb
# http://snapshot.debian.org/archive/debian/20240612T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
IN
Types: deb deb-src
# http://snapshot.debian.org/archive/debian/20240612T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
OUT

# deb822 with main non-free-firmware and source lines, field names in other letter cases, a
# component list continued on the next line, a disabled stanza and a cdrom stanza.
check 'deb822, main non-free-firmware, continued fields' debian.sources 3<<'IN' 4<<'OUT'
types: deb deb-src
uris: http://deb.debian.org/debian/
suites: bookworm
components: main
 non-free-firmware

Types: deb
URIs: http://deb.debian.org/debian/
Suites: bookworm-proposed-updates
Components: main
Enabled: no

Types: deb
URIs: cdrom:[Debian GNU/Linux 12]/
Suites: bookworm
Components: main
IN
types: deb deb-src
uris: http://deb.debian.org/debian/
suites: bookworm
components: main non-free
 non-free-firmware

Types: deb
URIs: http://deb.debian.org/debian/
Suites: bookworm-proposed-updates
Components: main
Enabled: no

Types: deb
URIs: cdrom:[Debian GNU/Linux 12]/
Suites: bookworm
Components: main
OUT

# deb822 already enabled (this machine's layout), and another vendor's stanza.
check 'deb822, already enabled' debian.sources 3<<'IN' 4<<'OUT'
Types: deb deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main contrib non-free non-free-firmware
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: https://deb.example.com/node_20.x
Suites: nodistro
Components: main
IN
Types: deb deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main contrib non-free non-free-firmware
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: https://deb.example.com/node_20.x
Suites: nodistro
Components: main
OUT

if [ "$failures" != 0 ]; then echo "$failures layout(s) failed"; exit 1; fi
echo "every layout rewritten as expected"
