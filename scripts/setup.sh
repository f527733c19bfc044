#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, skipping what is there:
# the i386 architecture (for wine32), Debian's non-free component with sources (rar, unrar-nonfree),
# the MinGW-w64 cross compilers, Wine, GoogleTest's sources, msitools (wixl, for the MSI packages) and
# osslsigncode with openssl (signing, and the signing tests' throw-away certificate), ccache,
# which every later build of the tree (in any checkout) uses, and clang, lld and llvm 14, which
# build the ARM64 DLL over the sysroot scripts/arm64-sysroot.sh makes from Debian's sources.
set -euo pipefail

need_pkgs=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine32:i386 wine64
  rar googletest cmake ninja-build dpkg-dev patch python3 file msitools wixl
  osslsigncode openssl ccache clang-14 lld-14 llvm-14
)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

source "$(dirname "$0")/apt-sources.sh"

# Every APT source file, rewritten into a scratch folder first: only a file whose rewrite differs
# is replaced (by its owner, root).
apt_files=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && apt_files+=("$f")
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rewrite=()
for f in "${apt_files[@]}"; do
  apt_sources_rewrite "$f" > "$scratch/${#rewrite[@]}"
  cmp -s "$f" "$scratch/${#rewrite[@]}" || rewrite+=("$f")
done

changed=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  changed=1
fi
if [ ${#rewrite[@]} -gt 0 ]; then
  for i in "${!rewrite[@]}"; do
    echo "setup: enabling Debian's non-free component and source lines in ${rewrite[$i]}" >&2
    as_root tee "${rewrite[$i]}" < "$scratch/$i" >/dev/null
  done
  changed=1
fi

if [ ${#missing[@]} -gt 0 ] || [ "$changed" = 1 ]; then
  echo "setup: installing ${missing[*]:-(sources only)}" >&2
  as_root apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
