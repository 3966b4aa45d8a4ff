#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# host unit tests, fuzz smoke runs, Windows-side tests and end-to-end tests under Wine.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
build=${TOLVANE_BUILD:-build}
bench=(bash scripts/wine-bench.sh)
win64=OFF skip=()
if ! "${bench[@]}" can-run32 --root "$build/win/wine"; then
  # setup.exe and the Windows-side tests are 32-bit: where the kernel runs no i386 code,
  # Wine cannot start them. They are still built and their files checked. Where 64-bit
  # Wine works, the same sources built for x86_64 run the Windows-side and end-to-end
  # tests instead (their tests are labelled wine64); otherwise what needs Wine is left out.
  echo "test.sh: THIS MACHINE CANNOT RUN 32-BIT PROGRAMS (IA-32 emulation is off in its kernel):"
  echo "test.sh: the tests labelled 'wine' (Windows-side and end-to-end, 32-bit) are left out of this run."
  if "${bench[@]}" can-run64 --root "$build/win64/wine"; then
    echo "test.sh: running the Windows-side tests in a 64-bit build instead ($build/win64, 64-bit Wine, tests x64_*);"
    echo "test.sh: the tests that only make sense for the 32-bit setup.exe are not in that build."
    win64=ON skip=(-LE '^wine$')
  else
    echo "test.sh: 64-bit Wine does not work here either: no Windows-side test runs."
    skip=(-LE wine)
  fi
fi
cmake -S . -B "$build" -G "Unix Makefiles" -DTOLVANE_WITH_WIN64_TESTS=$win64 >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"${TOLVANE_TEST_JOBS:-2}" "${skip[@]}" "$@"
