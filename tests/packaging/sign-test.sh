#!/usr/bin/env bash
# Signing as ./scripts/package.sh --sign does it (packaging/build-msi.sh --sign), with a throw-away
# self-signed certificate made here:
#   the signed DLL, dump tool and package, and the files the package installs, each verify with
#   osslsigncode against that certificate, over SHA-256 and over their current bytes;
#   a byte changed in a signed binary, or a row added to the signed package, fails verification;
#   the build's own binaries stay as they were (unsigned);
#   the signed package installs and uninstalls with msiexec, and its dump tool reads the sample;
#   the product's own trust check, IsFileTrusted, is asked about the signed and the unsigned DLL:
#   the answers are printed, and the unsigned one must not be trusted.
# Runs in a Wine prefix of its own, removed at the end, so the shared prefix is never touched.
# Exits 77 (skipped) when osslsigncode or openssl is missing.
# Usage: sign-test.sh ARCH(x86|AMD64) BINARY_DIR TESTDATA_DIR
set -euo pipefail
case "$1" in
  x86) arch=x86; installed='C:\Program Files (x86)\Quorvane\Pellucidor' ;;
  AMD64) arch=x64; installed='C:\Program Files\Quorvane\Pellucidor' ;;
  *) echo "sign-test: unknown architecture '$1'" >&2; exit 1 ;;
esac
bin=$(cd "$2" && pwd)
sample="Z:$(cd "$3" && pwd | tr '/' '\\')\\packaging\\sample.rar"   # made by tests/setup.d/60-packaging.sh
root=$(cd "$(dirname "$0")/../.." && pwd)
wine_run=$(cd "$(dirname "$0")/.." && pwd)/wine-run.sh

for tool in osslsigncode openssl; do
  if ! command -v "$tool" >/dev/null; then
    echo "packaging.sign: SKIPPED: $tool is not installed (scripts/setup.sh installs it)" >&2
    exit 77
  fi
done

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  # Only this test's own prefix has a server to stop.
  [ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# --- the certificate: self-signed, for code signing, valid for two days.
export PELLUCIDOR_SIGN_PASSWORD="pw-$RANDOM$RANDOM"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Pellucidor signing test" -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
  -passout env:PELLUCIDOR_SIGN_PASSWORD

# --- signing, as package.sh does it.
before=$(sha256sum "$bin/Pellucidor.dll" "$bin/pellucidor-dump.exe")
out="$work/packages"
msi=$("$root/packaging/build-msi.sh" --sign "$work/test.pfx" "$arch" "$bin" "$out")
[ "$(sha256sum "$bin/Pellucidor.dll" "$bin/pellucidor-dump.exe")" = "$before" ] ||
  fail "signing changed the build's own binaries"

# verified FILE: osslsigncode finds one valid SHA-256 signature by the test certificate.
verified() {
  local report
  report=$(osslsigncode verify -in "$1" -CAfile "$work/cert.pem" 2>&1) || { echo "$report" | tail -n 5 >&2; return 1; }
  echo "$report" | grep -q '^Signature verification: ok' &&
    echo "$report" | grep -Eq '^Message digest algorithm *: SHA256' &&
    echo "$report" | grep -q 'Pellucidor signing test'
}
signed_files=("$out/$arch/Pellucidor.dll" "$out/$arch/pellucidor-dump.exe" "$msi")
for f in "${signed_files[@]}"; do
  verified "$f" || fail "$(basename "$f"): no valid SHA-256 signature by the test certificate"
done
osslsigncode verify -in "$bin/Pellucidor.dll" >/dev/null 2>&1 && fail "the build's own DLL verifies as signed"

# A change after signing: one byte in each binary, a row in the package.
for f in Pellucidor.dll pellucidor-dump.exe; do
  cp "$out/$arch/$f" "$work/changed-$f"
  python3 - "$work/changed-$f" <<'PY'
import sys
with open(sys.argv[1], 'r+b') as f:
    f.seek(0, 2)
    at = f.tell() // 2          # inside the code, far from the headers and the signature
    f.seek(at)
    b = f.read(1)
    f.seek(at)
    f.write(bytes([b[0] ^ 0x01]))
PY
  verified "$work/changed-$f" 2>/dev/null && fail "$f still verifies after a byte was changed"
done
cp "$msi" "$work/changed.msi"
printf 'Property\tValue\ns72\tl0\nProperty\tProperty\nPELLUCIDORCHANGED\t1\n' > "$work/Property.idt"
msiinfo export "$work/changed.msi" Property | tail -n +4 >> "$work/Property.idt"
msibuild "$work/changed.msi" -i "$work/Property.idt"
verified "$work/changed.msi" 2>/dev/null && fail "the package still verifies after a row was added"

# --- the signed package under msiexec, in this test's own prefix.
wineboot -i </dev/null >/dev/null 2>&1 || true
wineserver -w
wineserver -p 2>/dev/null || true
wine() { "$wine_run" "$@"; }
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
unix_path() { echo "$WINEPREFIX/drive_c/${1#C:\\}" | tr '\\' '/'; }

status=0
wine msiexec /i "$msi" /qn </dev/null >/dev/null 2>&1 || status=$?
[ "$status" = 0 ] || fail "msiexec /i of the signed package exited $status"
for f in Pellucidor.dll pellucidor-dump.exe; do
  dest=$(unix_path "$installed\\$f")
  if cmp -s "$out/$arch/$f" "$dest"; then
    verified "$dest" || fail "installed $f: no valid signature"
  else
    fail "installed $f is not the signed one"
  fi
done
dump=$(wine "$(unix_path "$installed\\pellucidor-dump.exe")" --json "$sample" </dev/null 2>&1 | tr -d '\r') || true
for text in 'Sample archive for the installer test' 'readme.txt'; do
  echo "$dump" | grep -qF "\"text\":\"$text\"" || fail "the installed dump tool did not show $text"
done

# The product's trust check on this prefix, printed for the record. The signed DLL must count as
# validly signed: trusted, or refused only for its root (CERT_E_UNTRUSTEDROOT, what Windows answers
# for a root it does not know; Wine 8.0 trusts it). The changed and the unsigned DLL are refused.
trust=$(wine "$bin/trust-probe.exe" "$installed\\Pellucidor.dll" "Z:${work//\//\\}\\changed-Pellucidor.dll" \
             "Z:${bin//\//\\}\\Pellucidor.dll" </dev/null 2>&1 | tr -d '\r') || fail "trust-probe exited with an error: $trust"
echo "IsFileTrusted under Wine:"$'\n'"$trust"
mapfile -t answers < <(echo "$trust" | grep '^trusted=[01] winverifytrust=0x' | cut -d' ' -f1-2)
[ ${#answers[@]} = 3 ] || fail "trust-probe did not answer for all three DLLs"
case "${answers[0]:-}" in
  'trusted=1 winverifytrust=0x00000000' | 'trusted=0 winverifytrust=0x800b0109') ;;
  *) fail "the signed DLL does not count as validly signed: ${answers[0]:-no answer}" ;;
esac
[[ "${answers[1]:-}" == 'trusted=0 '* ]] || fail "the DLL changed after signing counts as trusted"
[[ "${answers[2]:-}" == 'trusted=0 '* ]] || fail "the unsigned DLL counts as trusted"

status=0
wine msiexec /x "$msi" /qn </dev/null >/dev/null 2>&1 || status=$?
[ "$status" = 0 ] || fail "msiexec /x of the signed package exited $status"
[ ! -e "$(unix_path "$installed")" ] || fail "$installed is still there after uninstalling"

if [ "$failures" -gt 0 ]; then echo "packaging.sign: $failures failure(s)" >&2; exit 1; fi
echo "packaging.sign: passed"
