#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# host unit tests, fuzz smoke runs, Windows-side tests and end-to-end tests under Wine.
#
# setup.exe and the Windows-side tests are 32-bit programs. Where the kernel runs no 32-bit
# code, the tests labelled wine run in the lane's guest instead (scripts/guest.sh: Debian
# with 32-bit Wine under qemu), each under its own name, while the same Windows sources
# built for x86_64 run their tests here under 64-bit Wine (build/win64, tests x64_*).
# TOLVANE_LANE=1 takes the lane where the kernel would run them itself.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
build=${TOLVANE_BUILD:-build}
mkdir -p "$build"
lane=OFF win64=OFF
if [ "${TOLVANE_LANE:-}" = 1 ] || ! bash scripts/guest.sh can-run32; then
  lane=ON
  if bash scripts/wine-bench.sh can-run64 --root "$build/win64/wine"; then win64=ON; fi
  echo "test.sh: this machine's kernel runs no 32-bit code: the tests labelled 'wine' (the 32-bit"
  echo "test.sh: setup.exe and the Windows-side tests) run in the lane's guest, a Debian system under"
  echo "test.sh: qemu (scripts/guest.sh); the x86_64 build's tests (x64_*) run here under 64-bit Wine."
  # The guest image is made (or checked) while the build runs; the first takes 10 to 15
  # minutes. Its words go to a log, and the test run waits for it.
  image_log=$build/guest-image.log
  bash scripts/guest.sh image >"$image_log" 2>&1 &
  image_pid=$!
  trap 'kill $image_pid 2>/dev/null || true; bash scripts/guest.sh stop --state "$build/guest"' EXIT
elif ! bash scripts/wine-bench.sh can-run32 --root "$build/win/wine"; then
  echo "test.sh: 32-bit Wine does not start here although the kernel runs 32-bit code" >&2
  echo "test.sh: (is wine32:i386 installed? scripts/install-deps.sh installs it)" >&2
  exit 1
fi
cmake -S . -B "$build" -G "Unix Makefiles" -DTOLVANE_WITH_WIN64_TESTS=$win64 -DTOLVANE_LANE=$lane >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$lane" = ON ]; then
  if ! wait "$image_pid"; then
    tail -n 30 "$image_log" >&2
    echo "test.sh: the lane's guest image could not be made (log: $image_log)" >&2
    exit 1
  fi
  sed -n 's/^guest: //p' "$image_log"
fi
# The lane's software CPU runs a test 2 to 4 times slower than a machine that runs 32-bit
# code itself, and all of them would take more than an hour. There it runs the tests of the
# 32-bit program that the x86_64 build has no twin of (releases made by tolvane-pack, the
# large installs, the field scenarios of the safe upgrade, the planted DLL, the cipher and
# extraction benchmarks), the WoW64 state tests (default folder, 32-bit registry view) and
# one keyboard install, upgrade and uninstall per prefix kind; TOLVANE_LANE_ALL=1 runs all.
leave_out=()
if [ "$lane" = ON ] && [ "$win64" = ON ] && [ "${TOLVANE_LANE_ALL:-}" != 1 ]; then
  # Names as ctest lists them; a fixture's own set-up and clean-up stay (others need them).
  mapfile -t left < <(ctest --test-dir "$build" --show-only=json-v1 | python3 -c '
import json, re, sys
tests = json.load(sys.stdin)["tests"]
def props(t): return {p["name"]: p["value"] for p in t.get("properties", [])}
twins = {t["name"] for t in tests if "wine64" in props(t).get("LABELS", [])}
keep = re.compile(r"e2e_win(32|64)_keyboard_flow|win64_state_.*")
for t in tests:
    p, name = props(t), t["name"]
    if "wine" not in p.get("LABELS", []) or "FIXTURES_SETUP" in p or "FIXTURES_CLEANUP" in p or keep.fullmatch(name):
        continue
    m = re.fullmatch(r"(?:win|win64)_(.*)", name) or re.fullmatch(r"e2e_win(?:32|64)_(.*)", name)
    twin = ("x64_e2e_" if name.startswith("e2e_win") else "x64_") + m.group(1) if m else None
    if twin in twins or "x64_" + name in twins:
        print(name)')
  if [ "${#left[@]}" -gt 0 ]; then
    echo "test.sh: left out of the lane, their x86_64 twins run here: ${left[*]}"
    joined=$(IFS='|'; echo "${left[*]}")
    leave_out=(-E "^($joined)$")
  fi
fi
ctest --test-dir "$build" --output-on-failure -j"${TOLVANE_TEST_JOBS:-2}" "${leave_out[@]}" "$@"
