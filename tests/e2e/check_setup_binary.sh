#!/usr/bin/env bash
# Checks the built setup executable as a file: a 32-bit Windows GUI program, importing
# only DLLs that every Windows has, and carrying the wizard's resources.
#   check_setup_binary.sh SETUP.EXE
set -euo pipefail
exe=${1:?usage: check_setup_binary.sh SETUP.EXE}
fail=0
bad() { echo "FAIL: $*"; fail=1; }

kind=$(file -b "$exe")
echo "file: $kind"
case "$kind" in
  "PE32 executable (GUI) Intel 80386"*) ;;
  *) bad "not a PE32 GUI Intel 80386 program" ;;
esac

# Imports: KnownDLLs only, which Windows never looks for beside the program (the C
# runtime msvcrt.dll is one; the C++ runtime and zlib are linked in), and comctl32.dll,
# which the manifest binds side by side. VERSION.dll and the like are loaded from the
# system folder by the program itself.
system="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll ole32.dll oleaut32.dll
        shell32.dll shlwapi.dll advapi32.dll msvcrt.dll"
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $dlls)"
[ -n "$dlls" ] || bad "no imports found"
for d in $dlls; do
  echo " $system " | tr -s ' \n' ' ' | grep -q " $d " || bad "imports $d, which is not a system DLL"
done

# Text goes to Windows only through the wide (W) functions, so that nothing depends on
# the system's ANSI code page. The one exception is the compiler's start-up code
# (crtbegin.o), which looks for its unwinder DLL by an ASCII name.
ansi=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*[0-9a-f]\+\s\+[0-9]\+\s\+\([A-Za-z0-9_]*[a-z0-9]A\)$/\1/p' |
       sort -u | grep -vx -e GetModuleHandleA -e LoadLibraryA || true)
echo "ANSI imports beyond the start-up code's: ${ansi:-none}"
[ -z "$ansi" ] || bad "imports ANSI functions: $(echo $ansi)"

# Resources, decompiled by windres.
rc=$(mktemp)
trap 'rm -f "$rc"' EXIT
i686-w64-mingw32-windres -i "$exe" -O rc -o "$rc"
python3 - "$rc" <<'PY' || fail=1
import re, sys
text = open(sys.argv[1], encoding="latin-1").read()
ok = True
def bad(msg):
    global ok
    print("FAIL:", msg)
    ok = False

dialogs = {int(m.group(1)): (int(m.group(2)), int(m.group(3)))
           for m in re.finditer(r"^(\d+) DIALOGEX 0, 0, (\d+), (\d+)", text, re.M)}
exterior = {206, 212, 214, 216}
for id in range(206, 217):
    want = (317, 193) if id in exterior else (317, 143)
    if dialogs.get(id) != want:
        bad("dialog %d: %s, expected %s" % (id, dialogs.get(id), want))
print("dialogs:", sorted(dialogs))

for id, size in ((202, (164, 314)), (203, (50, 50))):
    block = re.search(r"^%d 2 /\* RT_BITMAP \*/\s*BEGIN\s*(.*?)\n" % id, text, re.M)
    if not block:
        bad("bitmap %d missing" % id)
        continue
    header = [int(w, 16) for w in re.findall(r"0x([0-9a-f]+)L", block.group(1))]
    width, height, planes_bits = header[1], header[2], header[3]
    bits = planes_bits >> 16
    print("bitmap %d: %dx%d, %d-bit" % (id, width, height, bits))
    if (width, height) != size or bits != 24:
        bad("bitmap %d is %dx%d %d-bit, expected %dx%d 24-bit" % (id, width, height, bits, size[0], size[1]))

manifest = re.search(r"^1 24 /\* RT_MANIFEST \*/\s*BEGIN(.*?)^END", text, re.M | re.S)
if not manifest:
    bad("manifest (RT_MANIFEST 1) missing")
else:
    body = manifest.group(1)
    for needed in ('requireAdministrator', 'Microsoft.Windows.Common-Controls', 'version=""6.0.0.0""'):
        if needed not in body:
            bad("manifest lacks %s" % needed)
if not re.search(r"^206 RCDATA", text, re.M):
    bad("licence agreement (RCDATA 206) missing")
sys.exit(0 if ok else 1)
PY
[ "$fail" = 0 ] && echo "setup executable: ok"
exit $fail
