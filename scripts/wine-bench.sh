#!/usr/bin/env bash
# The Wine test bench: isolated prefixes and a virtual display below one folder (--root).
#
#   wine-bench.sh setup    --root R        make R/win32 and R/win64 afresh from cached
#                                          templates, start Xvfb when there is no DISPLAY
#   wine-bench.sh fresh    --root R --arch A --name N
#                                          a further fresh prefix R/N (printed)
#   wine-bench.sh run      --root R [--arch A] [--prefix N] [--fresh] PROGRAM [ARGS...]
#                                          run a Windows program in prefix N (default: A);
#                                          --fresh makes N afresh first
#   wine-bench.sh shot     --root R FILE.png   screenshot of the whole display
#   wine-bench.sh teardown --root R        stop the prefixes' wineservers and our Xvfb
#   wine-bench.sh templates --root R       only the template prefixes R/template-win32, -win64
#   wine-bench.sh can-run32 --root R       whether this machine can run 32-bit programs
#   wine-bench.sh can-run64 --root R       whether it can run 64-bit ones
#
# Where the kernel runs no 32-bit code, only 64-bit programs run (the x86_64 test build
# made for such machines): through Wine's 64-bit loader, in win64 prefixes. There `setup`
# makes only R/win64, and every command that would need a 32-bit program or a win32
# prefix exits 77 (skipped).
#
# Only what the bench started is stopped: its own Xvfb (by pid) and `wineserver -k`
# for its own prefixes. ~/.wine is never touched. The Xvfb screen is 1024x768x24 unless
# TOLVANE_SCREEN gives another (WIDTHxHEIGHTxDEPTH) when the display is started.
# Programs run in the Chinese locale (code page 936) unless TOLVANE_WINE_LANG names
# another (en_US.UTF-8: 1252, ja_JP.UTF-8: 932, zh_TW.UTF-8: 950, ko_KR.UTF-8: 949). Wine
# takes the code page from the locale of each process it starts, so one template serves
# every locale.
set -euo pipefail

cmd=${1:-}; shift || true
root="" arch=win32 name="" out="" fresh=0
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --name|--prefix) name=$2; shift 2 ;;
    --fresh) fresh=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ -n "$root" ] || { echo "wine-bench: --root is required" >&2; exit 2; }
mkdir -p "$root"
root=$(cd "$root" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# In the lane's guest (scripts/guest.sh) the build tree is a share of the host's: a bench
# root there is a folder of the guest's own disk mounted at the same path, where Wine
# keeps its DOS attributes and the prefixes are not written across to the host. It starts
# with the template prefixes the guest's image holds, linked in before the folder is
# mounted (no hard link crosses a mount).
if [ -n "${TOLVANE_GUEST_SCRATCH:-}" ]; then
  (
    flock 7
    if ! mountpoint -q "$root"; then
      own="$TOLVANE_GUEST_SCRATCH/$(echo "$root" | tr / _)"
      if [ ! -d "$own" ]; then
        mkdir -p "$own.part"
        for t in "${TOLVANE_GUEST_TEMPLATES:-/nonexistent}"/template-*; do
          [ -d "$t" ] && cp -al "$t" "$own.part/"
        done
        mv "$own.part" "$own"
      fi
      mount --bind "$own" "$root"
    fi
  ) 7>"$TOLVANE_GUEST_SCRATCH/.lock"
fi

# A test may ask for Wine's debug channels and further load-order overrides (both are
# read by every Wine process from the Unix environment it starts with). Wine's menu
# builder is off: each shortcut saved starts it, the save waits for it at most a second,
# and under load it still holds the shortcut's target open (to read its icon) when the
# test goes on to delete or replace that file.
export WINEDEBUG=${TOLVANE_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${TOLVANE_WINEDLLOVERRIDES:+;$TOLVANE_WINEDLLOVERRIDES}"
lang=${TOLVANE_WINE_LANG:-zh_CN.UTF-8}
# Without the locale Wine cannot even create files with non-ASCII names: a bench fault.
locale -a 2>/dev/null | grep -qix "${lang%.*}.utf-\?8" ||
  { echo "wine-bench: locale $lang is not generated (scripts/install-deps.sh does it)" >&2; exit 2; }
export LANG=$lang LC_ALL=$lang

use_display() {
  if [ -f "$root/display" ]; then
    DISPLAY=$(cat "$root/display"); export DISPLAY
  fi
}

start_display() {
  if [ -f "$root/display" ] && DISPLAY=$(cat "$root/display") xdpyinfo >/dev/null 2>&1; then
    return
  fi
  rm -f "$root/display" "$root/xvfb.pid"
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "$DISPLAY" > "$root/display"
    return
  fi
  # Xvfb picks a free display itself and writes its number to fd 3. Keys never repeat by
  # themselves: on a loaded machine (or the lane's emulator) a key's release can come
  # later than the usual half second, and a test's one Down would move a choice twice.
  rm -f "$root/display.num"
  setsid Xvfb -displayfd 3 -screen 0 "${TOLVANE_SCREEN:-1024x768x24}" -nolisten tcp -ardelay 30000 -arinterval 30000 \
    3>"$root/display.num" </dev/null >"$root/xvfb.log" 2>&1 &
  echo $! > "$root/xvfb.pid"
  for _ in $(seq 1 100); do
    [ -s "$root/display.num" ] && break
    sleep 0.1
  done
  [ -s "$root/display.num" ] || { echo "wine-bench: Xvfb did not start" >&2; cat "$root/xvfb.log" >&2; exit 1; }
  echo ":$(head -n1 "$root/display.num" | tr -d '[:space:]')" > "$root/display"
}

# A pristine prefix per architecture, made once and copied for every test run.
make_template() {
  local a=$1 t="$root/template-$1"
  # The marker holds the settings the template was made with; changed settings remake it.
  cmp -s "$here/wine-fonts.reg" "$t/.tolvane-ready" 2>/dev/null && return
  rm -rf "$t"
  echo "wine-bench: creating the $a template prefix" >&2
  WINEARCH=$a WINEPREFIX="$t" "${norandom[@]}" "$wine" wineboot -i >/dev/null 2>&1 || true
  WINEARCH=$a WINEPREFIX="$t" "${norandom[@]}" "$wine" reg import "$here/wine-fonts.reg" >/dev/null 2>&1
  WINEPREFIX="$t" wineserver -w
  [ -f "$t/system.reg" ] || { echo "wine-bench: wineboot failed for $a" >&2; exit 1; }
  cp "$here/wine-fonts.reg" "$t/.tolvane-ready"
}

fresh_prefix() {
  local a=$1 n=$2
  [ "$only64" = 1 ] && [ "$a" = win32 ] && no32 "a 32-bit prefix"
  make_template "$a"
  if [ -d "$root/$n" ]; then
    WINEPREFIX="$root/$n" wineserver -k 2>/dev/null || true
    rm -rf "${root:?}/$n"
  fi
  # The system folders are large and only ever read: they are hard links to the
  # template's files; everything else (registry, profiles, programs) is a real copy.
  local t="$root/template-$a" d="$root/$n" sys=drive_c/windows
  mkdir -p "$d/$sys"
  for e in "$t"/* "$t"/.[!.]*; do
    [ -e "$e" ] || [ -L "$e" ] || continue
    [ "$(basename "$e")" = drive_c ] && continue
    cp -a "$e" "$d/"
  done
  for e in "$t"/drive_c/*; do
    [ "$(basename "$e")" = windows ] && continue
    cp -a "$e" "$d/drive_c/"
  done
  for e in "$t/$sys"/*; do
    case "$(basename "$e")" in
      system32|syswow64|winsxs) cp -al "$e" "$d/$sys/" ;;
      *) cp -a "$e" "$d/$sys/" ;;
    esac
  done
  echo "$a" > "$root/$n/.tolvane-arch"
  echo "$n" >> "$root/prefixes"
}

# The product's programs are 32-bit, and Wine runs them through its 32-bit loader even
# in a win64 prefix. A kernel with its IA-32 emulation off cannot start that loader at
# all ("Exec format error"): say so once, plainly, instead of failing every test.
# Debian's loaders: /usr/bin/wine is a wrapper that falls back to the 64-bit one when wine32
# is missing, so only the loaders themselves answer truly.
loader_dir=/usr/lib/wine
can_run32() { bash "$here/guest.sh" can-run32 && "$loader_dir/wine" --version >/dev/null 2>&1; }
can_run64() { "$loader_dir/wine64" --version >/dev/null 2>&1; }

# A PE32+ image (optional header magic 0x20b) is a 64-bit program; anything else that is
# not a file (a builtin such as reg) runs with the loader of the prefix.
is_pe64() {
  [ -f "$1" ] || return 1
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ "$(od -An -tx2 -j$((pe + 24)) -N2 "$1" | tr -d ' ')" = 020b ]
}

# `wine` is the loader of every Wine process the bench starts; Wine starts the programs a
# program starts with WINELOADER. Without 32-bit code that is the 64-bit loader, since
# the Debian `wine` wrapper (and wineboot, which calls it) picks the 32-bit one.
only64=0
wine=wine
if ! can_run32; then
  only64=1
  wine=$loader_dir/wine64
  export WINELOADER=$wine
fi
# Wine maps the page of its shared user data at the fixed address 0x7ffe0000, 48 MB
# above its loader (0x7d000000). This Wine has no preloader to reserve it before the C
# library runs, and the kernel starts the heap of a 64-bit program anywhere in the 1 GiB
# after the loader: now and then the heap covers that page, and the program dies before
# it has started, saying nothing under WINEDEBUG=-all (a parent's CreateProcess fails
# with error 1359). Every Wine program the bench starts runs with address-space
# randomisation off, a personality that fork and exec pass on to every process it starts:
# the heap then begins right after the loader.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
no32() {
  echo "wine-bench: this machine cannot run 32-bit programs (the kernel's IA-32 emulation is off), so Wine cannot start $1 here" >&2
  exit 77
}
case "$cmd" in
  teardown|shot) ;;
  can-run32) can_run32; exit ;;
  can-run64) can_run64; exit ;;
  *)
    if [ "$only64" = 1 ] && ! can_run64; then no32 "the Windows programs"; fi
    ;;
esac

case "$cmd" in
  setup)
    start_display
    [ "$only64" = 1 ] || fresh_prefix win32 win32
    fresh_prefix win64 win64
    echo "wine-bench: ready, display $(cat "$root/display")"
    ;;
  templates)
    start_display
    [ "$only64" = 1 ] || make_template win32
    make_template win64
    ;;
  fresh)
    [ -n "$name" ] || { echo "wine-bench: fresh needs --name" >&2; exit 2; }
    fresh_prefix "$arch" "$name"
    echo "$root/$name"
    ;;
  run)
    [ $# -gt 0 ] || { echo "wine-bench: run needs a program" >&2; exit 2; }
    [ -n "$name" ] || name=$arch
    if [ "$only64" = 1 ] && [ -e "$1" ] && ! is_pe64 "$1"; then no32 "$1"; fi
    # A display whose Xvfb has ended (killed, or its socket cleared from /tmp) is started
    # again rather than handed to a program that would find no screen.
    if [ ! -f "$root/display" ] || { [ -f "$root/xvfb.pid" ] && ! kill -0 "$(cat "$root/xvfb.pid")" 2>/dev/null; }; then
      start_display
    fi
    if [ "$fresh" = 1 ] || [ ! -d "$root/$name" ]; then fresh_prefix "$arch" "$name" >&2; fi
    use_display
    export WINEPREFIX="$root/$name"
    WINEARCH=$(cat "$WINEPREFIX/.tolvane-arch" 2>/dev/null || echo "$arch"); export WINEARCH
    export TOLVANE_WINE_ROOT="$root"
    # Xlib ends a Wine process on an X protocol error that Wine's own handler does not
    # expect ("X Error of failed request", then exit status 1): a fault between Wine and
    # the virtual display, not in the program run. It was seen in about one full test run
    # in six (BadMatch on X_CreateGC, in a different test each time). Such a run is made
    # once more, and says so; a second one stands.
    # The program's standard error goes to a file, never through a pipe: Wine's own
    # processes that it starts keep it open after the program has ended. When ours is a
    # file (a test's log that it reads as it runs), the program writes there directly;
    # otherwise to a file of our own, passed on at the end.
    err=$(mktemp)
    trap 'rm -f "$err"' EXIT
    for attempt in 1 2; do
      rc=0
      if [ -f "/proc/$$/fd/2" ]; then
        from=$(stat -L -c %s "/proc/$$/fd/2")
        "${norandom[@]}" "$wine" "$@" || rc=$?
        tail -c +$((from + 1)) "/proc/$$/fd/2" >"$err"
      else
        "${norandom[@]}" "$wine" "$@" 2>"$err" || rc=$?
        cat "$err" >&2
      fi
      if [ "$rc" = 0 ] || [ "$attempt" = 2 ] || ! grep -q '^X Error of failed request' "$err"; then break; fi
      echo "wine-bench: an X protocol error ended Wine (above); running $1 once more" >&2
      if [ "$fresh" = 1 ]; then fresh_prefix "$arch" "$name" >&2; fi
    done
    exit "$rc"
    ;;
  shot)
    [ $# -gt 0 ] || { echo "wine-bench: shot needs a file" >&2; exit 2; }
    use_display
    import -window root "$1"
    ;;
  teardown)
    if [ -f "$root/prefixes" ]; then
      sort -u "$root/prefixes" | while read -r n; do
        [ -d "$root/$n" ] && WINEPREFIX="$root/$n" wineserver -k 2>/dev/null || true
      done
      rm -f "$root/prefixes"
    fi
    for a in win32 win64; do
      [ -d "$root/template-$a" ] && WINEPREFIX="$root/template-$a" wineserver -k 2>/dev/null || true
    done
    if [ -f "$root/xvfb.pid" ]; then
      kill "$(cat "$root/xvfb.pid")" 2>/dev/null || true
      rm -f "$root/xvfb.pid" "$root/display" "$root/display.num"
    fi
    ;;
  *)
    sed -n '2,22p' "$0" >&2; exit 2 ;;
esac
