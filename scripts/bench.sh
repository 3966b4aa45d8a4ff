#!/usr/bin/env bash
# Builds and runs every benchmark program and prints one table of their figures.
#
#   bash scripts/bench.sh [NAME ...]     all benchmarks, or only those named
#
# Each program ends with lines `ratio FIGURE VALUE aim <= BOUND` (or `>=`): a ratio to a
# reference measured in the same run. The table shows each figure, what was measured, its
# aim and whether it was met. A benchmark that is not built here is reported missing and
# the others still run. Each program's whole output is kept in BUILD/bench/NAME.log.
# Exit status: 0 when every benchmark that exists ran and checked its own outputs, else 1
# (an aim not met is a finding, not a failure).
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

host=${TOLVANE_BUILD:-build}
win=$host/win
# A Wine bench of its own, so that a test run in the same build folder is not disturbed.
wine_root=$host/bench/wine
wine_run="scripts/wine-bench.sh run --root $wine_root --arch win32"

# One line per benchmark: name, build tree (host, win, or - for none), targets to build
# (- for none; several joined by commas, host:T for one of the host tree), and the command, run from the top folder ($host, $win and $wine_run are
# expanded).
benchmarks=(
  'des      host bench_des           $host/tests/bench/bench_des 8 9'
  'des_win  win  bench_des_win,host:bench_des  bash tests/bench/des_win_peer.sh --host $host/tests/bench/bench_des --win $win/tests/bench/bench_des_win.exe --wine-root $wine_root'
  'archive  host storage_bench       $host/tests/bench/storage_bench'
  'chunked  host chunked_bench       $host/tests/bench/chunked_bench'
  'journal  host journal_bench       $host/tests/bench/journal_bench'
  'extract  win  bench_extract       $wine_run $win/tests/bench/bench_extract.exe 5'
  'peer     win  bench_extract_cpu   python3 tests/bench/extract_peer.py --win $win --wine-root $wine_root'
  'release  win  tolvane-setup-stub  bash tests/bench/release_bench.sh $host'
  'large    win  tolvane-setup-stub  bash tests/bench/large_bench.sh $host'
)

wanted=("$@")
selected() {
  [ ${#wanted[@]} -eq 0 ] && return 0
  local w
  for w in "${wanted[@]}"; do [ "$w" = "$1" ] && return 0; done
  return 1
}

bash scripts/install-deps.sh >/dev/null || exit 1
mkdir -p "$host/bench"
logs=$host/bench

host_targets=() win_targets=()
for line in "${benchmarks[@]}"; do
  read -r name tree target _ <<<"$line"
  selected "$name" || continue
  [ "$target" = - ] && continue
  for t in ${target//,/ }; do
    case $t:$tree in
      host:*|*:host) host_targets+=("${t#host:}") ;;
      *:win) win_targets+=("$t") ;;
    esac
  done
done

# Builds targets one by one, so that one that does not exist leaves the others built.
build_each() {
  local dir=$1 t; shift
  for t in "$@"; do
    cmake --build "$dir" --target "$t" -j"$(nproc)" >>"$logs/build.log" 2>&1 ||
      echo "bench: building $t failed or it does not exist (see $logs/build.log)" >&2
  done
}

: >"$logs/build.log"
if [ ! -f "$host/CMakeCache.txt" ]; then
  cmake -S . -B "$host" -G "Unix Makefiles" >>"$logs/build.log" 2>&1 || { echo "bench: configuring $host failed" >&2; exit 1; }
fi
build_each "$host" "${host_targets[@]}"
if [ ${#win_targets[@]} -gt 0 ]; then
  # The Windows tree is configured by the host build (it needs the packaging tool and the
  # sample product first); then only the benchmarks' targets are built in it.
  if [ ! -f "$win/CMakeCache.txt" ]; then
    cmake --build "$host" --target win-configure -j"$(nproc)" >>"$logs/build.log" 2>&1 ||
      echo "bench: configuring $win failed (see $logs/build.log)" >&2
  fi
  [ -f "$win/CMakeCache.txt" ] && build_each "$win" "${win_targets[@]}"
fi

status=0
rows=()
for line in "${benchmarks[@]}"; do
  read -r name tree target command <<<"$line"
  selected "$name" || continue
  command=$(eval echo "$command")
  program=${command#bash }
  program=${program#python3 }
  program=${program#"$wine_run "}
  program=${program%% *}
  if [ ! -e "$program" ] || { [ "$target" != - ] && [ "$tree" = win ] && [ ! -f "$win/CMakeCache.txt" ]; }; then
    echo "== $name: missing ($program)"
    rows+=("$name|missing||")
    continue
  fi
  echo "== $name: $command"
  $command 2>&1 | tee "$logs/$name.log"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ]; then
    echo "bench: $name exited with status $rc" >&2
    status=1
  fi
  found=0
  while read -r _ figure value _ op bound; do
    rows+=("$figure|$value|$op $bound|$(awk -v v="$value" -v o="$op" -v b="$bound" \
      'BEGIN { print ((o == "<=" && v + 0 <= b + 0) || (o == ">=" && v + 0 >= b + 0)) ? "yes" : "NO" }')")
    found=1
  done < <(tr -d '\r' <"$logs/$name.log" | grep -E '^ratio [A-Za-z0-9_]+ [-+0-9.eE]+ aim (<=|>=) [-+0-9.eE]+$')
  [ "$found" = 1 ] || rows+=("$name|no figures||")
  [ "$rc" -eq 0 ] || rows+=("$name|failed ($rc)||")
done

[ "$wine_root" ] && [ -d "$wine_root" ] && scripts/wine-bench.sh teardown --root "$wine_root" >/dev/null 2>&1

echo
printf '%-34s %10s %10s  %s\n' figure measured aim met
for row in "${rows[@]}"; do
  IFS='|' read -r figure value aim met <<<"$row"
  printf '%-34s %10s %10s  %s\n' "$figure" "$value" "$aim" "$met"
done
exit $status
