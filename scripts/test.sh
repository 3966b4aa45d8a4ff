#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# host unit tests, fuzz smoke runs, Windows-side tests and end-to-end tests under Wine.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
build=${TOLVANE_BUILD:-build}
cmake -S . -B "$build" -G "Unix Makefiles" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"${TOLVANE_TEST_JOBS:-2}" "$@"
