#!/usr/bin/env bash
# Installs what is missing, builds, and starts the setup wizard under Wine in a fresh
# prefix of the bench (build/win/wine/run).
#  - With a usable $DISPLAY the wizard opens there; the script returns when it is closed.
#  - Without one, the wizard runs in a virtual display: a screenshot of its first page is
#    saved in build/win/screenshots/run/ and its path printed, then the wizard is closed.
# Either way the script stops what it started (the prefix's wineserver, its own Xvfb).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
build=${TOLVANE_BUILD:-build}
cmake -S . -B "$build" -G "Unix Makefiles" >/dev/null
cmake --build "$build" --target win -j"$(nproc)"

win="$top/$build/win"
root="$win/wine"
bench="$top/scripts/wine-bench.sh"
setup="$win/app/setup.exe"
prefix=run

had_display_file=0
[ -f "$root/display" ] && had_display_file=1
cleanup() {
  WINEPREFIX="$root/$prefix" wineserver -k 2>/dev/null || true
  # Our own virtual display goes too, unless it was already there when we came.
  if [ "$had_display_file" = 0 ] && [ -f "$root/xvfb.pid" ]; then
    kill "$(cat "$root/xvfb.pid")" 2>/dev/null || true
    rm -f "$root/xvfb.pid" "$root/display" "$root/display.num"
  fi
}
trap cleanup EXIT

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  # A real desktop has a window manager: let it frame the wizard.
  "$bench" run --root "$root" --prefix "$prefix" --fresh \
    reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null
  echo "run: the wizard is open on $DISPLAY; close it to end"
  "$bench" run --root "$root" --prefix "$prefix" "$setup"
else
  shots="$win/screenshots/run"
  mkdir -p "$shots"
  "$bench" run --root "$root" --prefix "$prefix" --fresh "$win/tests/support/tolvane-drive.exe" \
    "$setup" page 206 shot "$shots/welcome.png" cancel exit 0 >/dev/null
  echo "run: screenshot of the first page: $shots/welcome.png"
fi
