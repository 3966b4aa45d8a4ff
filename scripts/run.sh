#!/usr/bin/env bash
# Installs what is missing, builds, and starts the setup wizard under Wine in a fresh
# prefix of the bench (build/win/wine/run).
#  - With a usable $DISPLAY the wizard opens there; the script returns when it is closed.
#  - Without one, the wizard runs in a virtual display and is walked through a whole
#    install as a user would (licence accepted, a user name, the proposed folder); a
#    screenshot of each page it stops at is saved in build/win/screenshots/run/ and the folder printed.
#  - Where the kernel runs no 32-bit code (or with TOLVANE_LANE=1), the same walk runs in the
#    lane's guest (scripts/guest.sh: Debian with 32-bit Wine under qemu) and its
#    screenshots come back to the same folder here.
# Either way the script stops what it started (the prefix's wineserver, its own Xvfb).
#   run.sh [--walk]   --walk: only the walk, in a virtual display, on a build already made
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
build=${TOLVANE_BUILD:-build}
win="$top/$build/win"
walk_only=0
[ "${1:-}" = --walk ] && walk_only=1

if [ "$walk_only" = 0 ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G "Unix Makefiles" >/dev/null
  cmake --build "$build" --target win -j"$(nproc)"
  if [ "${TOLVANE_LANE:-}" = 1 ] || ! bash scripts/guest.sh can-run32; then
    echo "run: this machine's kernel runs no 32-bit code: setup.exe runs in the lane's guest (Debian"
    echo "run: with 32-bit Wine under qemu), walked through an install in its virtual display."
    if ! bash scripts/guest.sh image 2>&1 | sed -u 's/^/run: /'; then
      echo "run: the lane's guest image could not be made" >&2
      exit 1
    fi
    echo "run: starting the guest (about half a minute)"
    exec bash scripts/guest.sh run --share "$top/$build" -- bash scripts/run.sh --walk
  fi
fi

root="$win/wine"
setup="$win/app/setup.exe"
bench="$top/scripts/wine-bench.sh"
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

if [ "$walk_only" = 0 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  # A real desktop has a window manager: let it frame the wizard.
  "$bench" run --root "$root" --prefix "$prefix" --fresh \
    reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null
  echo "run: the wizard is open on $DISPLAY; close it to end"
  "$bench" run --root "$root" --prefix "$prefix" "$setup"
else
  unset DISPLAY
  shots="$win/screenshots/run"
  rm -rf "$shots"
  mkdir -p "$shots"
  # Template and control ids: resources/resource_ids.h.
  "$bench" run --root "$root" --prefix "$prefix" --fresh "$win/tests/support/tolvane-drive.exe" --timeout 60000 \
    "$setup" \
    page 206 buttons 0 1 0 shot "$shots/1-welcome.png" next \
    page 208 buttons 0 0 0 choose 1007 buttons 0 1 0 shot "$shots/2-license.png" next \
    page 209 type 1010 "张三" type 1011 "Tolvane示例公司" buttons 1 1 0 shot "$shots/3-user-info.png" next \
    page 210 buttons 1 1 0 shot "$shots/4-select-folder.png" next \
    page 212 buttons 0 0 1 shot "$shots/5-completion.png" finish \
    exit 0
  if [ -n "${TOLVANE_GUEST:-}" ]; then
    installed=$(find "$root/$prefix/drive_c" -name quavserver.exe -printf '%h\n' 2>/dev/null | head -n 1)
    echo "run: installed in the guest into $installed ($(find "$installed" -type f | wc -l) files; gone when it powers off)"
  else
    echo "run: installed into the prefix $root/$prefix (drive_c)"
  fi
  echo "run: screenshots of the pages: $shots/"
fi
