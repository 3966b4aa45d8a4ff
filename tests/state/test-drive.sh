#!/usr/bin/env bash
# Maps drive D: of the bench prefixes (win32, win64) to a fresh folder of the bench, or
# removes that mapping again. The folder holds a marker file that the tests check.
#   test-drive.sh map|unmap --root R
set -euo pipefail
cmd=${1:-}; shift || true
root=""
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root=$2; shift 2 ;;
    *) echo "test-drive: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$root" ] || { echo "test-drive: --root is required" >&2; exit 2; }
[ -d "$root" ] || exit 0
root=$(cd "$root" && pwd)  # the link must not depend on the current folder

for arch in win32 win64; do
  devices="$root/$arch/dosdevices"
  [ -d "$devices" ] || continue
  link="$devices/d:"
  target="$root/test-drive-$arch"
  case "$cmd" in
    map)
      if [ -e "$link" ] || [ -L "$link" ]; then
        if [ "$(readlink "$link")" != "$target" ]; then
          echo "test-drive: $link exists and is not ours" >&2; exit 1
        fi
      fi
      rm -rf "$target"
      mkdir -p "$target"
      echo "drive D: of the Wine bench" > "$target/tolvane-test-drive"
      ln -sfn "$target" "$link"
      ;;
    unmap)
      if [ "$(readlink "$link" 2>/dev/null || true)" = "$target" ]; then rm -f "$link"; fi
      rm -rf "$target"
      ;;
    *) echo "usage: test-drive.sh map|unmap --root R" >&2; exit 2 ;;
  esac
done
