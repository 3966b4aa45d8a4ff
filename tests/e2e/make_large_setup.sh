#!/usr/bin/env bash
# The large product of the large-install test: a tree generated at a small scale of the
# benchmark's (tests/bench/make_large_tree.py) and its setup.exe, made by the vendor's one
# command. Leaves OUT/tree and OUT/setup.exe.
#
#   make_large_setup.sh TOOL PRODUCT_DIR SCALE OUT
set -euo pipefail
tool=${1:?usage: make_large_setup.sh TOOL PRODUCT_DIR SCALE OUT}
product=${2:?} scale=${3:?} out=${4:?}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rm -rf "$out"
mkdir -p "$out"
python3 "$here/../bench/make_large_tree.py" "$out/tree" --base "$product" --scale "$scale"
echo 0123456789ABCDEF >"$out/large.key"
"$tool" setup "$out/tree" -o "$out/setup.exe" --key-file "$out/large.key"
ls -l "$out/setup.exe"
