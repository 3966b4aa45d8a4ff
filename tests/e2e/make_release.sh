#!/usr/bin/env bash
# The vendor's side of the release test: makes release 1.0.8 of the sample product (its
# server with FileVersion "1, 0, 8, 0", one file changed, one added) and builds its
# setup.exe, signed with a test certificate, with `tolvane-pack setup` alone, then checks
# the file as the vendor would (inspect, objdump, the binary checks, a second build byte
# for byte, the signatures of setup.exe and of the programs inside) and that bad input is
# refused with one line and leaves no file behind. The end-to-end program then installs
# and upgrades with what this leaves in OUT:
#   OUT/product, OUT/order.txt   the release's tree as it installs (the server signed;
#                                order.txt as the test helpers read it)
#   OUT/setup.exe                its installer
#   OUT/vendor.pem               the certificate that signed both
#
#   make_release.sh TOOL PACKAGE_DIR SERVER_1_0_8 OUT
set -euo pipefail
tool=${1:?usage: make_release.sh TOOL PACKAGE_DIR SERVER_1_0_8 OUT}
package=${2:?} server=${3:?} out=${4:?}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fail=0
bad() { echo "FAIL: $*"; fail=1; }

rm -rf "$out"
mkdir -p "$out"
cp -r "$package/product" "$out/product"
cp "$package/order.txt" "$out/order.txt"
cp "$server" "$out/product/quavserver.exe"
printf '\n<!-- 1.0.8 -->\n' >>"$out/product/templates/index.html"
printf 'Release 1.0.8\n' >"$out/product/templates/release-1.0.8.txt"
echo templates/release-1.0.8.txt >>"$out/order.txt"
echo 0123456789ABCDEF >"$out/release.key"
# A self-signed test certificate; the signing time is fixed, as a reproducible build fixes it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$out/vendor.key" -out "$out/vendor.pem" -days 2 \
  -subj "/CN=Tolvane release test" 2>/dev/null
echo secret >"$out/vendor.pass"
openssl pkcs12 -export -inkey "$out/vendor.key" -in "$out/vendor.pem" -out "$out/vendor.p12" -passout pass:secret
export SOURCE_DATE_EPOCH=1700000000
sign=(--sign-pkcs12 "$out/vendor.p12" --sign-password-file "$out/vendor.pass")

# The one command.
"$tool" setup "$out/product" -o "$out/setup.exe" --key-file "$out/release.key" "${sign[@]}"
"$tool" setup "$out/product" -o "$out/again.exe" --key-file "$out/release.key" "${sign[@]}" >/dev/null
cmp -s "$out/setup.exe" "$out/again.exe" || bad "two signed builds from the same inputs and key differ"
rm -f "$out/again.exe"

report=$("$tool" inspect "$out/setup.exe" --ca "$out/vendor.pem") || bad "inspect refuses the new setup.exe: $report"
echo "$report"
grep -q '^package: version 264, 160 entries' <<<"$report" || bad "inspect: not version 264 with 160 entries"
grep -q '^signature: verified, signed by /CN=Tolvane release test' <<<"$report" || bad "inspect: setup.exe's signature"
"$tool" inspect "$out/setup.exe" --json --ca "$out/vendor.pem" | python3 -c '
import json, sys
r = json.load(sys.stdin)
assert r["ok"] and r["key_ok"] and r["payload_ok"] and r["version"] == 264, r
assert r["installable"] and r["payload_bytes"] < r["image_bytes"] <= r["image_limit"], r
assert r["address_space_bytes"] == r["image_bytes"] + r["working_bytes"], r
assert r["programs"] == [{"name": "quavserver.exe", "signature": "verified", "signer": "/CN=Tolvane release test",
                          "detail": r["programs"][0]["detail"]}], r["programs"]' || bad "inspect --json"

# The headers as binutils reads them: PE32, and the resource directory is the .rsrc section.
dump=$(i686-w64-mingw32-objdump -x "$out/setup.exe") || bad "objdump cannot read setup.exe"
grep -q 'file format pei-i386' <<<"$dump" || bad "objdump: not pei-i386"
rsrc_vma=$(awk '$1 ~ /^[0-9]+$/ && $2 == ".rsrc" { print $4 }' <<<"$dump")
dir_rva=$(awk '/^Entry 2 / { print $3 }' <<<"$dump")
base=$(awk '/^ImageBase/ { print $2 }' <<<"$dump")
if [[ "$rsrc_vma$dir_rva$base" =~ ^[0-9a-f]+$ ]] && [ $((16#$rsrc_vma - 16#$base)) = $((16#$dir_rva)) ]; then
  echo "objdump: resource directory at RVA $dir_rva, the .rsrc section"
else
  bad "resource directory '$dir_rva' is not the .rsrc section at '$rsrc_vma' (image base '$base')"
fi
bash "$here/check_setup_binary.sh" "$out/setup.exe" >/dev/null || bad "check_setup_binary.sh refuses setup.exe"

# A damaged and a re-packed copy of the signed file are reported.
cp "$out/setup.exe" "$out/damaged.exe"
printf '\x55' | dd of="$out/damaged.exe" bs=1 seek=200000 conv=notrunc status=none
if msg=$("$tool" inspect "$out/damaged.exe" --ca "$out/vendor.pem" 2>&1); then bad "a damaged signed file passes inspect"; fi
grep -q 'changed after it was signed' <<<"$msg" || bad "damaged file: $msg"
"$tool" setup "$out/product" -o "$out/repacked.exe" --key-file "$out/release.key" --stub "$out/setup.exe" >/dev/null
"$tool" inspect "$out/repacked.exe" | grep -q '^signature: none' || bad "a re-packed signed file still claims a signature"

# A program that someone else signed keeps that signature; one changed after it was
# signed is refused for signing, and inspect finds it in a release made without signing.
mkdir -p "$out/signed-elsewhere"
cp -r "$out/product/." "$out/signed-elsewhere/"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$out/other.key" -out "$out/other.pem" -days 2 \
  -subj "/CN=Other maker" 2>/dev/null
openssl pkcs12 -export -inkey "$out/other.key" -in "$out/other.pem" -out "$out/other.p12" -passout pass:
rm "$out/signed-elsewhere/quavserver.exe"
osslsigncode sign -pkcs12 "$out/other.p12" -pass "" -h sha256 -in "$out/product/quavserver.exe" \
  -out "$out/signed-elsewhere/quavserver.exe" >/dev/null
"$tool" setup "$out/signed-elsewhere" -o "$out/kept.exe" --key-file "$out/release.key" "${sign[@]}" >/dev/null
cat "$out/vendor.pem" "$out/other.pem" >"$out/both.pem"
"$tool" inspect "$out/kept.exe" --ca "$out/both.pem" | grep -q '^program: quavserver.exe: signed by /CN=Other maker, verified' ||
  bad "an intact signature of another signer was not kept"
printf '\x55' | dd of="$out/signed-elsewhere/quavserver.exe" bs=1 seek=5000 conv=notrunc status=none
"$tool" setup "$out/signed-elsewhere" -o "$out/tampered.exe" --key-file "$out/release.key" >/dev/null
if msg=$("$tool" inspect "$out/tampered.exe" --ca "$out/other.pem" 2>&1); then bad "a changed program passes inspect"; fi
grep -q 'quavserver.exe: signature the file was changed after it was signed' <<<"$msg" || bad "changed program: $msg"
"$tool" setup "$out/signed-elsewhere" -o "$out/resigned.exe" --key-file "$out/release.key" "${sign[@]}" --resign >/dev/null
"$tool" inspect "$out/resigned.exe" --ca "$out/vendor.pem" |
  grep -q '^program: quavserver.exe: signed by /CN=Tolvane release test, verified' || bad "--resign did not sign afresh"
rm -f "$out/kept.exe" "$out/tampered.exe" "$out/resigned.exe"

# Bad input: one line naming the path and the reason, status 1, no output left behind.
refused() {  # refused WHAT TEXT ARGS...
  local what=$1 text=$2 err
  shift 2
  rm -f "$out"/bad.exe*
  if err=$("$tool" setup "$@" -o "$out/bad.exe" 2>&1 >/dev/null); then bad "$what: accepted"; return; fi
  [ "$(wc -l <<<"$err")" = 1 ] || bad "$what: more than one line: $err"
  grep -qF -- "$text" <<<"$err" || bad "$what: '$err' does not say '$text'"
  ls "$out"/bad.exe* >/dev/null 2>&1 && bad "$what: left $(ls "$out"/bad.exe*)"
  echo "refused ($what): $err"
}
mkdir -p "$out/no-server" "$out/no-version"
cp "$out/product/project_manager.mod" "$out/no-server/"
stub=$(dirname "$tool")/tolvane-setup-stub.exe
cp "$stub" "$out/no-version/quavserver.exe"
python3 - "$stub" "$out/no-resources.exe" <<'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
opt = struct.unpack_from("<I", image, 0x3C)[0] + 24
struct.pack_into("<II", image, opt + 96 + 8 * 2, 0, 0)  # data directory 2: resources
open(sys.argv[2], "wb").write(image)
PY
printf 'not rtf' >"$out/licence.txt"
printf '{\\rtf1\\ansi\\ansicpg1252 text}' >"$out/licence-1252.rtf"
printf 'XYZ\n' >"$out/short.key"
echo wrong >"$out/wrong.pass"
refused "missing folder" "$out/missing: no such folder" "$out/missing" --key-file "$out/release.key"
refused "no server" "$out/no-server/quavserver.exe: no such file" "$out/no-server" --key-file "$out/release.key"
refused "no version" "$out/no-version/quavserver.exe: has no version resource" "$out/no-version" --key-file "$out/release.key"
refused "version check" "--version 263 disagrees with $out/product/quavserver.exe: FileVersion \"1, 0, 8, 0\" gives 264" \
  "$out/product" --version 263 --key-file "$out/release.key"
refused "stub not PE" "$out/licence.txt: not a Windows executable" "$out/product" --stub "$out/licence.txt"
refused "stub without resources" "$out/no-resources.exe: has no resource section" "$out/product" --stub "$out/no-resources.exe"
refused "licence not RTF" "$out/licence.txt: not an RTF document" "$out/product" --license "$out/licence.txt"
refused "licence not 936" "$out/licence-1252.rtf: the RTF is not in code page 936" "$out/product" --license "$out/licence-1252.rtf"
refused "key file" "$out/short.key: not a key file" "$out/product" --key-file "$out/short.key"
refused "signer" "$out/vendor.p12: osslsigncode could not sign $out/product/quavserver.exe (Failed to parse PKCS#12" \
  "$out/product" --sign-pkcs12 "$out/vendor.p12" --sign-password-file "$out/wrong.pass"
refused "changed program" "$out/signed-elsewhere/quavserver.exe: its signature no longer matches its content" \
  "$out/signed-elsewhere" --key-file "$out/release.key" "${sign[@]}"
SOURCE_DATE_EPOCH=yesterday refused "signing time" 'SOURCE_DATE_EPOCH must be a number of seconds since 1970, not "yesterday"' \
  "$out/product" "${sign[@]}"
# An osslsigncode older than 2.4 stops at -time, printing its usage.
mkdir -p "$out/old-signer"
printf '#!/bin/sh\necho "Unknown option: -time"\necho "Usage: osslsigncode"\nexit 255\n' >"$out/old-signer/osslsigncode"
chmod +x "$out/old-signer/osslsigncode"
PATH="$out/old-signer:$PATH" refused "old signer" "this osslsigncode cannot set the signing time" "$out/product" "${sign[@]}"
# A file compressed in chunks on two threads: the same bytes every time, and it checks out.
mkdir -p "$out/big"
cp -r "$out/product/." "$out/big/"
python3 -c 'import random, sys
r = random.Random(3)
words = [b"model ", b"vector ", b"0x1F ", b"\r\n"]
sys.stdout.buffer.write(b"".join(words[r.randrange(4)] for _ in range(1200000)) + r.randbytes(1 << 20))' >"$out/big/big.bin"
"$tool" setup "$out/big" -o "$out/big1.exe" --key-file "$out/release.key" >/dev/null || bad "setup of a large file failed"
"$tool" setup "$out/big" -o "$out/big2.exe" --key-file "$out/release.key" >/dev/null
cmp -s "$out/big1.exe" "$out/big2.exe" || bad "two builds with a large file differ"
"$tool" inspect "$out/big1.exe" >/dev/null || bad "inspect refuses the build with a large file"
rm -rf "$out/big" "$out/big1.exe" "$out/big2.exe"

# Too large to install (a lowered limit: the stub alone passes it), and a file whose image
# the loader could not map is reported by inspect.
refused "too large" "of image a setup program can load and install" "$out/product" --key-file "$out/release.key" \
  --setup-limit 1000000
python3 - "$out/setup.exe" "$out/huge-image.exe" <<'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
opt = struct.unpack_from("<I", image, 0x3C)[0] + 24
struct.pack_into("<I", image, opt + 56, 0x80000000)  # SizeOfImage: 2 GiB, past what loads
open(sys.argv[2], "wb").write(image)
PY
if msg=$("$tool" inspect "$out/huge-image.exe" 2>&1); then bad "inspect passes a file that cannot install"; fi
grep -q 'cannot install' <<<"$msg" || bad "huge image: $msg"
ls "$out"/*.partial-* >/dev/null 2>&1 && bad "temporary files left: $(ls "$out"/*.partial-*)"

# What the release installs: the vendor's server as osslsigncode signs it with the same
# certificate and time (the end-to-end test compares the installed files with this tree).
signed_server=$out/quavserver-signed.exe
osslsigncode sign -pkcs12 "$out/vendor.p12" -readpass "$out/vendor.pass" -time "$SOURCE_DATE_EPOCH" -h sha256 \
  -in "$out/product/quavserver.exe" -out "$signed_server" >/dev/null && mv "$signed_server" "$out/product/quavserver.exe" ||
  bad "cannot sign the expected server"

[ "$fail" = 0 ] && echo "release 1.0.8: ok"
exit $fail
