#!/usr/bin/env bash
# Packing a large product against NSIS: generates the large tree (make_large_tree.py, about
# 1 GiB from the sample product), then, alternating, makes the NSIS zlib-solid peer
# (nsis_peer.sh) and our setup.exe (`tolvane-pack setup`), at least two rounds each, and
# prints the median wall times, the median peak resident size of tolvane-pack, the figures
# of `inspect` on the result, then the ratio lines. Every round must give the same bytes.
# When tests/bench/install_large.py exists, it measures installing both files under Wine
# (where no 32-bit program runs, a 64-bit setup.exe of the same package and a 64-bit peer).
# What it generates lies in HOST_BUILD/bench/large; the large files are removed at the end.
#
#   large_bench.sh [HOST_BUILD]     (default: build; LARGE_ROUNDS=N for more rounds,
#                                    LARGE_SCALE=S for another tree size)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
host=${1:-build}
tool=$host/tools/tolvane-pack
product=$host/win/package_data/product
work=$host/bench/large
rounds=${LARGE_ROUNDS:-2}
scale=${LARGE_SCALE:-1}
for need in "$tool" "$host/tools/tolvane-setup-stub.exe" "$product/quavserver.exe"; do
  [ -e "$need" ] || { echo "large_bench: $need is missing: build the host and Windows trees first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "large_bench: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work/tree" "$work"/*.exe' EXIT
echo 5B2E9D13A7C4F068 >"$work/key"

python3 "$here/make_large_tree.py" "$work/tree" --base "$product" --scale "$scale"
echo "large: tree of $(du -sb "$work/tree" | cut -f1) bytes, $(find "$work/tree" -type f | wc -l) files"

# Runs a command under /usr/bin/time; prints "WALL_SECONDS MAX_RSS_KB".
timed() {
  local log=$1; shift
  /usr/bin/time -f '%e %M' -o "$log" "$@" >/dev/null
  tail -n 1 "$log"
}

ours=() peer=() rss=() sums=()
for ((r = 1; r <= rounds; ++r)); do
  read -r t _ < <(timed "$work/peer.time" bash "$here/nsis_peer.sh" "$work/tree" "$work/peer.exe")
  peer+=("$t")
  read -r t m < <(timed "$work/ours.time" "$tool" setup "$work/tree" -o "$work/setup.exe" --key-file "$work/key")
  ours+=("$t")
  rss+=("$m")
  sums+=("$(sha256sum "$work/setup.exe" | cut -d' ' -f1)")
  echo "large: round $r: makensis ${peer[-1]} s, tolvane-pack setup ${ours[-1]} s, peak RSS $((m / 1024)) MB"
done
for s in "${sums[@]}"; do
  [ "$s" = "${sums[0]}" ] || { echo "large_bench: the rounds gave different setup.exe files" >&2; exit 1; }
done
read -r t m < <(timed "$work/inspect.time" "$tool" inspect "$work/setup.exe" --json)
"$tool" inspect "$work/setup.exe" --json >"$work/inspect.json" || { echo "large_bench: inspect finds faults" >&2; exit 1; }

python3 - "$work" "$t" "$m" "${ours[*]}" "${peer[*]}" "${rss[*]}" <<'PY'
import json, os, statistics, sys
work, inspect_s, inspect_kb = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
ours, peer, rss = ([float(x) for x in a.split()] for a in sys.argv[4:7])
r = json.load(open(os.path.join(work, "inspect.json")))
print("large: setup.exe %d bytes, NSIS peer %d bytes" % (r["size"], os.path.getsize(os.path.join(work, "peer.exe"))))
print("large: inspect %.1f s, peak RSS %d MB; an install maps %d bytes and works in %d more"
      % (inspect_s, inspect_kb // 1024, r["image_bytes"], r["working_bytes"]))
print("large: tolvane-pack setup %.1f s, makensis %.1f s (medians of %d rounds, same bytes each round)"
      % (statistics.median(ours), statistics.median(peer), len(ours)))
print("ratio pack_large_vs_makensis %.3f aim <= 1.5" % (statistics.median(ours) / statistics.median(peer)))
print("ratio pack_large_rss_mb %.0f aim <= 256" % (statistics.median(rss) / 1024))
PY

[ -f "$here/install_large.py" ] || exit 0
bench="$here/../../scripts/wine-bench.sh"
if bash "$bench" can-run32 --root "$host/bench/wine"; then
  python3 "$here/install_large.py" "$work/setup.exe" "$work/peer.exe" "$work/tree" --wine-root "$host/bench/wine"
elif [ -f "$host/win64/CMakeCache.txt" ] && bash "$bench" can-run64 --root "$host/bench/wine"; then
  # No 32-bit program runs here: the same package goes into the x86_64 test build's
  # setup.exe, against a 64-bit NSIS peer of the same tree.
  echo "large: this machine runs no 32-bit program: installing with the x86_64 build of setup.exe and a 64-bit NSIS peer"
  exe=$host/win64/tests/bench/setup_bench_large.exe
  trap 'rm -rf "$work/tree" "$work"/*.exe "$work/pkg" "$exe" "$exe.debug"; rm -f "$host/win64/tests/bench/CMakeFiles/bench_large_rc.dir/"*.obj' EXIT
  # The version `tolvane-pack setup` gave the package: with a lower one, the upgrade would
  # leave the installed (newer) server alone and write nothing.
  version=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' "$work/inspect.json")
  "$tool" build "$work/tree" --version "$version" --key "$(cat "$work/key")" -o "$work/pkg" --quiet
  cmake --build "$host/win64" --target setup_bench_large tolvane-drive -j"$(nproc)" >"$work/build64.log" 2>&1 ||
    { echo "large_bench: building the x86_64 setup.exe failed (see $work/build64.log)" >&2; exit 1; }
  bash "$here/nsis_peer.sh" --amd64 "$work/tree" "$work/peer64.exe"
  python3 "$here/install_large.py" "$exe" "$work/peer64.exe" "$work/tree" --wine-root "$host/bench/wine" --arch win64 \
    --drive "$host/win64/tests/support/tolvane-drive.exe"
else
  echo "large: no Wine that runs setup.exe here: the install figures are not measured"
fi
