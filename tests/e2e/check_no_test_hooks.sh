#!/usr/bin/env bash
# Checks that a setup executable carries none of the tests' hooks. The file itself is
# stripped; the symbols of the linked image are in EXE.debug beside it (Release builds).
# Each NAME must not occur among them; each +NAME must, so that a missing or empty symbol
# table cannot pass.
#   check_no_test_hooks.sh SETUP.EXE +PRESENT... ABSENT...
set -euo pipefail
exe=${1:?usage: check_no_test_hooks.sh SETUP.EXE +PRESENT... ABSENT...}
shift
debug="$exe.debug"
[ -f "$debug" ] || { echo "FAIL: $debug missing (not a Release build?)"; exit 1; }
symbols=$(i686-w64-mingw32-nm -C "$debug")
# Whatever the stripped file still has (nothing, normally).
symbols+=$'\n'$(i686-w64-mingw32-objdump -t "$exe" 2>/dev/null || true)
fail=0
for name in "$@"; do
  if [[ $name == +* ]]; then
    grep -qF -- "${name#+}" <<<"$symbols" || { echo "FAIL: no ${name#+} in $exe"; fail=1; }
  elif grep -F -- "$name" <<<"$symbols"; then
    echo "FAIL: $exe carries $name"
    fail=1
  fi
done
[ "$fail" = 0 ] && echo "no test hooks in $exe"
exit $fail
