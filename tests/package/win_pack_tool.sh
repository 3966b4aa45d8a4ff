#!/usr/bin/env bash
# The Windows build of tolvane-pack under Wine does what the Linux one does: the same
# package bytes, the same extracted tree and archive bytes, the same setup.exe, the same
# inspect report, the same exit codes; and signing refused with
# the vendor's own step named. Links planted beside an archive are not written through.
# Everything the tools write, and the product that setup packs, lies in a folder with a
# Chinese name, which the Windows tool is given on its command line.
#
#   win_pack_tool.sh WINE_RUN... -- HOST_TOOL WIN_TOOL STUB PACKAGE_DIR OUT
set -uo pipefail
wine_run=()
while [ "$1" != "--" ]; do wine_run+=("$1"); shift; done
shift
host=$1 win=$2 stub=$3 package=$4 out=$5/中文
fail=0
bad() { echo "FAIL: $*"; fail=1; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
wpack() { WINEDEBUG=-all "${wine_run[@]}" "$win" "$@"; }

rm -rf "$out"
mkdir -p "$out/h" "$out/w"
product=$package/product order=$package/order.txt key=5B2E9D13A7C4F068

# build: the same manifest and payload, byte for byte.
"$host" build "$product" --version 263 --key $key --order "$order" -o "$out/h" >/dev/null || bad "host build"
wpack build "$(winpath "$product")" --version 263 --key $key --order "$(winpath "$order")" -o "$(winpath "$out/w")" \
  >"$out/w.log" 2>&1 || bad "wine build: $(cat "$out/w.log")"
for f in manifest.bin payload.bin; do cmp -s "$out/h/$f" "$out/w/$f" || bad "build: $f differs"; done

# verify, list, extract: the same answers and the same tree (names with Chinese characters too).
[ "$(wpack list "$(winpath "$out/w/manifest.bin")" | tr -d '\r')" = "$("$host" list "$out/h/manifest.bin")" ] ||
  bad "list differs"
wpack verify "$(winpath "$out/w/manifest.bin")" "$(winpath "$out/w/payload.bin")" >/dev/null || bad "wine verify"
wpack extract "$(winpath "$out/w/manifest.bin")" "$(winpath "$out/w/payload.bin")" "$(winpath "$out/w/x")" >/dev/null ||
  bad "wine extract"
diff -r "$product" "$out/w/x" >/dev/null || bad "extract: the tree differs from the product"

# archive: the same archive file from the same commands.
printf 'archive content %.0s' {1..200} >"$out/content"
for side in h w; do
  if [ $side = h ]; then run=("$host"); a=$out/h/a.arc; c=$out/content; g=$out/h/got
  else run=(wpack); a=$(winpath "$out/w/a.arc"); c=$(winpath "$out/content"); g=$(winpath "$out/w/got"); fi
  "${run[@]}" archive create "$a" && "${run[@]}" archive put "$a" 说明.txt "$c" && "${run[@]}" archive mkdir "$a" sub &&
    "${run[@]}" archive get "$a" 说明.txt "$g" || bad "$side: archive commands"
done >/dev/null 2>&1
cmp -s "$out/h/a.arc" "$out/w/a.arc" || bad "archive: the files differ"
cmp -s "$out/content" "$out/w/got" || bad "archive get: not the content put"

# Links planted from Linux where the Windows tool writes beside an archive (its "-new"
# file, its journal) are replaced as themselves: the file a link points at is neither
# written nor removed, and no dangling link's target is made.
printf 'not yours' >"$out/victim"
l=$(winpath "$out/w/l.arc") c=$(winpath "$out/content")
ln -s "$out/victim" "$out/w/l.arc-new" && wpack archive create "$l" &&
  ln -s "$out/victim" "$out/w/l.arc-journal" && wpack archive put "$l" one "$c" &&
  ln -s "$out/gone" "$out/w/l.arc-journal" && wpack archive put "$l" two "$c" &&
  wpack archive get "$l" two "$(winpath "$out/w/two")" || bad "links: archive commands"
[ "$(cat "$out/victim" 2>&1)" = "not yours" ] || bad "links: the file a link pointed at changed: $(ls -l "$out")"
[ ! -e "$out/gone" ] || bad "links: a dangling link's target was made"
cmp -s "$out/content" "$out/w/two" || bad "links: archive get: not the content put"
ls "$out/w" | grep -q 'l\.arc-' && bad "links: left beside the archive: $(ls -l "$out/w")"
rm -f "$out/w/l.arc" "$out/w/two"

# setup: the same setup.exe, byte for byte, and both tools report alike on it. A file
# above 4 MiB is packed in chunks, on two threads on Linux and one on Windows.
echo $key >"$out/key"
cp -r "$product" "$out/big" && seq 1 230000 | sed 's/$/ 行 of a large file/' >"$out/big/files/large.log" &&
  cp "$order" "$out/big.order" && echo 'files/large.log' >>"$out/big.order" || bad "copying the product"
wpack setup "$(winpath "$out/big")" -o "$(winpath "$out/w/setup.exe")" --key-file "$(winpath "$out/key")" \
  --order "$(winpath "$out/big.order")" --stub "$(winpath "$stub")" >"$out/w.log" 2>&1 || bad "wine setup: $(cat "$out/w.log")"
"$host" setup "$out/big" -o "$out/h/setup.exe" --key-file "$out/key" --order "$out/big.order" --stub "$stub" \
  >"$out/h.log" 2>&1 || bad "host setup: $(cat "$out/h.log")"
cmp "$out/h/setup.exe" "$out/w/setup.exe" || bad "setup: the Windows tool's setup.exe differs from the Linux tool's"
"$host" inspect "$out/h/setup.exe" --json --stub "$stub" >"$out/h.json"
wpack inspect "$(winpath "$out/h/setup.exe")" --json --stub "$(winpath "$stub")" >"$out/w.json" || bad "wine inspect"
python3 - "$out/h.json" "$out/w.json" <<'PY' || bad "inspect reports differ"
import json, sys
h, w = (json.load(open(f, encoding="utf-8")) for f in sys.argv[1:])
h.pop("file"), w.pop("file")
assert h == w and h["ok"], (h, w)
PY

# Signing is refused, naming the vendor's own step; usage errors keep their exit status.
wpack setup "$(winpath "$product")" -o "$(winpath "$out/w/signed.exe")" --sign-pkcs12 "$(winpath "$out/key")" \
  >"$out/sign.log" 2>&1
status=$?
[ $status = 1 ] && grep -q "signtool" "$out/sign.log" || bad "signing: status $status, $(cat "$out/sign.log")"
[ ! -e "$out/w/signed.exe" ] || bad "signing: a file was left"
wpack list >/dev/null 2>&1; [ $? = 2 ] || bad "list without a manifest: not status 2"
wpack frobnicate >/dev/null 2>&1; [ $? = 2 ] || bad "unknown command: not status 2"

ls "$out/w" | grep -q partial && bad "temporary files left: $(ls "$out/w")"
[ $fail = 0 ] && echo "the Windows tool agrees with the Linux one" && rm -rf "$out"
exit $fail
