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
# The tree whose Windows programs run here: the product's 32-bit one, or, on a machine
# that runs no 32-bit program, the x86_64 test build (set against a 64-bit NSIS peer).
# The lane's emulator (scripts/guest.sh) runs the 32-bit programs there for correctness,
# never for figures: times under a software CPU are not comparable with the host's.
run=$win arch=win32
if ! bash scripts/wine-bench.sh can-run32 --root "$wine_root" && bash scripts/wine-bench.sh can-run64 --root "$wine_root"; then
  run=$host/win64 arch=win64
  echo "bench: this machine runs no 32-bit program: the Windows programs run in $run under 64-bit Wine;"
  echo "bench: what only the 32-bit build measures is reported missing."
fi
wine_run="scripts/wine-bench.sh run --root $wine_root --arch $arch"

# One line per benchmark: name, build tree (host; win, the 32-bit tree; win32, the same
# when its programs run under Wine; run, the tree that runs here; or - for none), targets
# to build (- for none; several joined by commas, host:T for one of the host tree), and
# the command, run from the top folder ($host, $win, $run, $arch and $wine_run are expanded).
benchmarks=(
  'des      host bench_des           $host/tests/bench/bench_des 8 9'
  'des_win  win32 bench_des_win,host:bench_des  bash tests/bench/des_win_peer.sh --host $host/tests/bench/bench_des --win $win/tests/bench/bench_des_win.exe --wine-root $wine_root'
  'archive  host storage_bench       $host/tests/bench/storage_bench'
  'chunked  host chunked_bench       $host/tests/bench/chunked_bench'
  'journal  host journal_bench       $host/tests/bench/journal_bench'
  'extract  run  bench_extract       $wine_run $run/tests/bench/bench_extract.exe 5'
  'peer     run  bench_extract_cpu,bench_extract_bare  python3 tests/bench/extract_peer.py --win $run --wine-root $wine_root --arch $arch'
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

# Whether a benchmark's programs can run here.
runs_here() { [ "$1" != win32 ] || [ "$arch" = win32 ]; }

host_targets=() win_targets=() run_targets=()
for line in "${benchmarks[@]}"; do
  read -r name tree target _ <<<"$line"
  selected "$name" || continue
  [ "$target" = - ] && continue
  runs_here "$tree" || continue
  for t in ${target//,/ }; do
    case $t:$tree in
      host:*|*:host) host_targets+=("${t#host:}") ;;
      *:win|*:win32) win_targets+=("$t") ;;
      *:run) run_targets+=("$t") ;;
    esac
  done
done
# Here the large product's install (large_bench.sh) runs in the x86_64 tree.
if [ "$arch" = win64 ] && selected large; then run_targets+=(tolvane-drive); fi

# Builds targets one by one, so that one that does not exist leaves the others built.
build_each() {
  local dir=$1 t; shift
  for t in "$@"; do
    cmake --build "$dir" --target "$t" -j"$(nproc)" >>"$logs/build.log" 2>&1 ||
      echo "bench: building $t failed or it does not exist (see $logs/build.log)" >&2
  done
}

: >"$logs/build.log"
if [ ! -f "$host/CMakeCache.txt" ] || { [ "$arch" = win64 ] && ! grep -q '^TOLVANE_WITH_WIN64_TESTS:BOOL=ON' "$host/CMakeCache.txt"; }; then
  with64=()
  [ "$arch" = win64 ] && with64=(-DTOLVANE_WITH_WIN64_TESTS=ON)
  cmake -S . -B "$host" -G "Unix Makefiles" "${with64[@]}" >>"$logs/build.log" 2>&1 || { echo "bench: configuring $host failed" >&2; exit 1; }
fi
build_each "$host" "${host_targets[@]}"
# The Windows trees are configured by the host build (they need the packaging tool and
# the sample product first); then only the benchmarks' targets are built in them.
for tree in win run; do
  if [ "$tree" = win ]; then dir=$win targets=("${win_targets[@]}"); else dir=$run targets=("${run_targets[@]}"); fi
  [ ${#targets[@]} -gt 0 ] || continue
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake --build "$host" --target "$(basename "$dir")-configure" -j"$(nproc)" >>"$logs/build.log" 2>&1 ||
      echo "bench: configuring $dir failed (see $logs/build.log)" >&2
  fi
  [ -f "$dir/CMakeCache.txt" ] && build_each "$dir" "${targets[@]}"
done

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
  case $tree in
    run) [ "$arch" = win64 ] && where=x86_64 || where=win32 ;;
    # The large product's install runs in the x86_64 tree here too (large_bench.sh).
    win) [ "$name" = large ] && [ "$arch" = win64 ] && where=x86_64 || where=win32 ;;
    win32) where=win32 ;;
    *) where=host ;;
  esac
  if ! runs_here "$tree"; then
    echo "== $name: missing (its programs are 32-bit)"
    rows+=("$name|missing|||$where")
    continue
  fi
  if [ ! -e "$program" ] || { [ "$target" != - ] && case $tree in win | win32) [ ! -f "$win/CMakeCache.txt" ] ;; run) [ ! -f "$run/CMakeCache.txt" ] ;; *) false ;; esac; }; then
    echo "== $name: missing ($program)"
    rows+=("$name|missing|||$where")
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
      'BEGIN { print ((o == "<=" && v + 0 <= b + 0) || (o == ">=" && v + 0 >= b + 0)) ? "yes" : "NO" }')|$where")
    found=1
  done < <(tr -d '\r' <"$logs/$name.log" | grep -E '^ratio [A-Za-z0-9_]+ [-+0-9.eE]+ aim (<=|>=) [-+0-9.eE]+$')
  [ "$found" = 1 ] || rows+=("$name|no figures|||$where")
  [ "$rc" -eq 0 ] || rows+=("$name|failed ($rc)|||$where")
done

[ "$wine_root" ] && [ -d "$wine_root" ] && scripts/wine-bench.sh teardown --root "$wine_root" >/dev/null 2>&1

echo
# "where": host (a Linux program), win32 (the product's 32-bit build under Wine), or x86_64
# (its x86_64 test build under 64-bit Wine, against a 64-bit NSIS peer).
printf '%-34s %10s %10s  %-4s %s\n' figure measured aim met where
for row in "${rows[@]}"; do
  IFS='|' read -r figure value aim met where <<<"$row"
  printf '%-34s %10s %10s  %-4s %s\n' "$figure" "$value" "$aim" "$met" "$where"
done
if [ "$arch" = win64 ]; then
  echo "bench: x86_64 figures stand for the 32-bit build's on this machine, which runs no 32-bit code;"
  echo "bench: the lane's emulator runs the 32-bit programs for correctness only (its times are not comparable)."
fi
exit $status
