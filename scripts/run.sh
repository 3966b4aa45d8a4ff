#!/usr/bin/env bash
# Installs what is missing, builds, and starts the setup wizard under Wine in a fresh
# prefix of the bench (build/win/wine/run; build/win64/wine/run, the 64-bit test build,
# on a machine that runs no 32-bit programs).
#  - With a usable $DISPLAY the wizard opens there; the script returns when it is closed.
#  - Without one, the wizard runs in a virtual display and is walked through a whole
#    install as a user would (licence accepted, a user name, the proposed folder); a
#    screenshot of each page it stops at is saved in build/win/screenshots/run/ and the folder printed.
# Either way the script stops what it started (the prefix's wineserver, its own Xvfb).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
build=${TOLVANE_BUILD:-build}
bench="$top/scripts/wine-bench.sh"
tree=win
if ! "$bench" can-run32 --root "$build/win/wine" && "$bench" can-run64 --root "$build/win64/wine"; then
  # setup.exe is 32-bit and cannot start here; the x86_64 test build of the same sources can.
  echo "run: ************************************************************************"
  echo "run: THIS MACHINE CANNOT RUN 32-BIT PROGRAMS (IA-32 emulation is off in its kernel)."
  echo "run: STARTING THE 64-BIT TEST BUILD OF setup.exe ($build/win64) INSTEAD: it is not"
  echo "run: the product, which is 32-bit and installs below Program Files (x86) on 64-bit Windows."
  echo "run: ************************************************************************"
  cmake -S . -B "$build" -G "Unix Makefiles" -DTOLVANE_WITH_WIN64_TESTS=ON >/dev/null
  tree=win64
else
  cmake -S . -B "$build" -G "Unix Makefiles" >/dev/null
fi
cmake --build "$build" --target $tree -j"$(nproc)"

win="$top/$build/$tree"
root="$win/wine"
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
  rm -rf "$shots"
  mkdir -p "$shots"
  # Template and control ids: resources/resource_ids.h.
  "$bench" run --root "$root" --prefix "$prefix" --fresh "$win/tests/support/tolvane-drive.exe" --timeout 60000 \
    "$setup" \
    page 206 buttons 0 1 0 shot "$shots/1-welcome.png" next \
    page 208 buttons 0 0 0 click 1007 buttons 0 1 0 shot "$shots/2-license.png" next \
    page 209 type 1010 "张三" type 1011 "Tolvane示例公司" buttons 1 1 0 shot "$shots/3-user-info.png" next \
    page 210 buttons 1 1 0 shot "$shots/4-select-folder.png" next \
    page 212 buttons 0 0 1 shot "$shots/5-completion.png" finish \
    exit 0
  echo "run: installed into the prefix $root/$prefix (drive_c)"
  echo "run: screenshots of the pages: $shots/"
fi
