#!/usr/bin/env bash
# A vendor's release against NSIS: `tolvane-pack setup` and makensis (tests/bench/nsis_peer.sh,
# solid zlib) each make an installer of the sample product's tree, in this run. Prints the
# two sizes, what our stub adds (the installer without its package, RCDATA 218 and 219,
# and the wizard's bitmaps 202 and 203), the payload against NSIS's compressed data, and
# both commands' times (best of three), then the ratio line.
#
#   release_bench.sh [HOST_BUILD]     (default: build; the Windows tree is HOST_BUILD/win)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
host=${1:-build}
tool=$host/tools/tolvane-pack
product=$host/win/package_data/product
work=$host/bench/release
for need in "$tool" "$host/tools/tolvane-setup-stub.exe" "$product/quavserver.exe"; do
  [ -e "$need" ] || { echo "release_bench: $need is missing: build the host and Windows trees first" >&2; exit 1; }
done
mkdir -p "$work"
echo 5B2E9D13A7C4F068 >"$work/key"

now() { date +%s%N; }
best_of_three() {  # best wall time in seconds of a command, run three times
  local best="" start end t
  for _ in 1 2 3; do
    start=$(now)
    "$@" >/dev/null
    end=$(now)
    t=$(( end - start ))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.2f", ns / 1e9 }'
}

ours_time=$(best_of_three "$tool" setup "$product" -o "$work/setup.exe" --key-file "$work/key")
nsis_time=$(best_of_three bash "$here/nsis_peer.sh" "$product" "$work/peer.exe")
bash "$here/nsis_peer.sh" --empty "$work/peer-empty.exe" >/dev/null
"$tool" inspect "$work/setup.exe" --json >"$work/inspect.json"

python3 - "$work" "$ours_time" "$nsis_time" <<'PY'
import json, os, sys
work, ours_time, nsis_time = sys.argv[1], sys.argv[2], sys.argv[3]
r = json.load(open(os.path.join(work, "inspect.json")))
setup = r["size"]
peer = os.path.getsize(os.path.join(work, "peer.exe"))
empty = os.path.getsize(os.path.join(work, "peer-empty.exe"))
overhead = r["stub_overhead"]
print("release: setup.exe %d bytes (manifest %d, payload %d, bitmaps %d)"
      % (setup, r["manifest_bytes"], r["payload_bytes"], r["bitmap_bytes"]))
print("release: stub overhead %d bytes = %.1f KB (aim <= 300 KB, hope 150 KB)" % (overhead, overhead / 1024))
print("release: NSIS installer %d bytes, of which its empty installer %d bytes" % (peer, empty))
print("release: payload %d bytes against NSIS's data %d bytes: %.3f"
      % (r["payload_bytes"], peer - empty, r["payload_bytes"] / (peer - empty)))
print("release: tolvane-pack setup %s s, makensis %s s (best of three)" % (ours_time, nsis_time))
print("ratio setup_size_vs_nsis %.3f aim <= 1.03" % (setup / peer))
PY
