#!/usr/bin/env bash
# Runs the DPI walk (e2e_dpi_walk.exe) in a fresh prefix (win32 unless TOLVANE_DPI_ARCH
# names another) whose LogPixels is DPI, set before any program of the prefix starts, on
# a display large enough for the sheet at 192 DPI. The bench root is the walk's own, so its display is too.
#   dpi_walk.sh ROOT DPI PROGRAM
set -euo pipefail
root=$1 dpi=$2 program=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bench=$here/../../scripts/wine-bench.sh
export TOLVANE_SCREEN=2560x1600x24 TOLVANE_DPI=$dpi
prefix=$(bash "$bench" fresh --root "$root" --arch "${TOLVANE_DPI_ARCH:-win32}" --name "dpi-$dpi" | tail -n 1)
bash "$bench" run --root "$root" --prefix "dpi-$dpi" \
  reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -w
exec bash "$bench" run --root "$root" --prefix "dpi-$dpi" "$program"
