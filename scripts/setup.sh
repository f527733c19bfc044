#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, skipping what is there:
# the i386 architecture (for wine32), Debian's non-free component with sources (rar, unrar-nonfree),
# the MinGW-w64 cross compilers, Wine, GoogleTest's sources and msitools (wixl, for the MSI packages).
set -euo pipefail

need_pkgs=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine32:i386 wine64
  rar googletest cmake ninja-build dpkg-dev patch python3 file msitools wixl
)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sources_ok() {
  # non-free packages and deb-src lines must both be enabled
  grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/ &&
  grep -rqsE '^Components:.*non-free|^deb .*non-free' /etc/apt/sources.list /etc/apt/sources.list.d/
}

changed=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  changed=1
fi
if ! sources_ok; then
  f=/etc/apt/sources.list.d/debian.sources
  if [ -f "$f" ]; then
    as_root sed -i -E 's/^Types: deb$/Types: deb deb-src/; s/^Components: main$/Components: main contrib non-free non-free-firmware/' "$f"
  else
    as_root sed -i -E 's/^(deb(-src)? .* main)$/\1 contrib non-free non-free-firmware/' /etc/apt/sources.list
    grep -q '^deb-src ' /etc/apt/sources.list || sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | as_root tee -a /etc/apt/sources.list >/dev/null
  fi
  changed=1
fi

if [ ${#missing[@]} -gt 0 ] || [ "$changed" = 1 ]; then
  echo "setup: installing ${missing[*]:-(sources only)}" >&2
  as_root apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
