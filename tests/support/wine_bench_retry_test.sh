#!/usr/bin/env bash
# wine-bench.sh run makes a program that an X protocol error ended once more, only then,
# and only once: three batch files under Wine's cmd count their runs in a file.
#   wine_bench_retry_test.sh WINE_BENCH ROOT ARCH
set -euo pipefail
bench=$1 root=$2 arch=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
win() { echo "Z:${1//\//\\}"; }
fail=0

# $1: name; $2: what the batch does on its first run (later runs end with 0).
case_for() {
  printf '@echo off\r\necho run>>"%s"\r\nif exist "%s" exit /b 0\r\necho done>"%s"\r\n%s\r\n' \
    "$(win "$dir/$1.count")" "$(win "$dir/$1.once")" "$(win "$dir/$1.once")" "$2" >"$dir/$1.bat"
}
# $1: name; $2: exit status wanted; $3: runs wanted; $4: "pipe" for a standard error
# that is a pipe (as under ctest), else it is a file (a test's own log).
expect() {
  local rc=0
  if [ "${4:-}" = pipe ]; then
    bash "$bench" run --root "$root" --arch "$arch" cmd /c "$(win "$dir/$1.bat")" 2>&1 >/dev/null | cat >"$dir/$1.err" ||
      rc=${PIPESTATUS[0]}
  else
    bash "$bench" run --root "$root" --arch "$arch" cmd /c "$(win "$dir/$1.bat")" >/dev/null 2>"$dir/$1.err" || rc=$?
  fi
  local runs; runs=$(grep -c run "$dir/$1.count" || true)
  if [ "$rc" != "$2" ] || [ "$runs" != "$3" ]; then
    echo "FAIL $1: exit $rc after $runs runs, wanted exit $2 after $3"; cat "$dir/$1.err"; fail=1
  else
    echo "ok   $1: exit $rc after $runs runs"
  fi
}

case_for xerror 'echo X Error of failed request:  BadMatch 1>&2 & exit /b 1'
expect xerror 0 2
grep -q 'running cmd once more' "$dir/xerror.err" || { echo "FAIL xerror: the second run is not said"; fail=1; }
case_for piped 'echo X Error of failed request:  BadMatch 1>&2 & exit /b 1'
expect piped 0 2 pipe
grep -q 'running cmd once more' "$dir/piped.err" || { echo "FAIL piped: the second run is not said"; fail=1; }
case_for other 'echo some other failure 1>&2 & exit /b 1'
expect other 1 1
# Ended so on every run: the second failure stands.
printf '@echo off\r\necho run>>"%s"\r\necho X Error of failed request:  BadMatch 1>&2\r\nexit /b 1\r\n' \
  "$(win "$dir/always.count")" >"$dir/always.bat"
expect always 1 2
exit $fail
