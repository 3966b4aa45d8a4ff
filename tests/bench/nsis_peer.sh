#!/usr/bin/env bash
# Builds the peer installer the benchmarks compare against: an NSIS installer that puts a
# folder tree into $INSTDIR, compressed with solid zlib, as a vendor would make one.
#
#   nsis_peer.sh [--amd64] TREE OUT.exe      installer of everything below TREE
#   nsis_peer.sh [--amd64] --empty OUT.exe   the same installer with nothing in it (its fixed costs)
#
# --amd64 makes a 64-bit installer, to be set against a 64-bit build of setup.exe where no
# 32-bit program can run.
#
# Run it silently with `OUT.exe /S /D=C:\some\folder` (/D last, no quotes). Needs makensis
# (Debian package nsis). The .nsi is kept beside OUT.exe as OUT.nsi.
set -euo pipefail

usage() { sed -n '2,11p' "$0" >&2; exit 2; }
target=""
if [ "${1:-}" = "--amd64" ]; then target=amd64-unicode; shift; fi
[ $# -eq 2 ] || usage
tree="" out=$2
if [ "$1" != "--empty" ]; then
  tree=$1
  [ -d "$tree" ] || { echo "nsis_peer: $tree is not a folder" >&2; exit 2; }
  tree=$(cd "$tree" && pwd)
fi
command -v makensis >/dev/null || { echo "nsis_peer: makensis not found (scripts/install-deps.sh installs nsis)" >&2; exit 1; }
outdir=$(cd "$(dirname "$out")" && pwd)
out="$outdir/$(basename "$out")"
nsi="${out%.exe}.nsi"
tmp="$out.tmp$$"
trap 'rm -f "$tmp" "$nsi.tmp$$"' EXIT

{
  echo 'Unicode true'
  [ -n "$target" ] && echo "Target $target"
  echo 'SetCompressor /SOLID zlib'
  echo 'Name "peer"'
  echo 'OutFile "${OUTFILE}"'
  echo 'InstallDir "$PROGRAMFILES\peer"'
  echo 'RequestExecutionLevel user'
  echo 'ShowInstDetails nevershow'
  echo 'Page directory'
  echo 'Page instfiles'
  echo 'Section'
  echo '  SetOutPath "$INSTDIR"'
  # Every file and folder below the tree, recursively, names as they are.
  # NSIS reads $ as its own variables: a literal one is $$.
  [ -n "$tree" ] && echo "  File /r \"${tree//\$/\$\$}/*\""
  echo 'SectionEnd'
} > "$nsi.tmp$$"
mv "$nsi.tmp$$" "$nsi"

makensis -V2 -INPUTCHARSET UTF8 "-DOUTFILE=$tmp" "$nsi" >&2
sync "$tmp"
mv "$tmp" "$out"
sync "$outdir"
