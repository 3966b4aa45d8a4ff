#!/usr/bin/env bash
# DecipherBuffer of the Windows build, run under Wine (32-bit prefix), against OpenSSL's
# DES-ECB on the host, measured in the same run: the two programs are run in turn, each
# timing the same buffer, and the figure is the median of the rounds' ratios. Fails when
# the two outputs' checksums differ.
#
#   des_win_peer.sh --host BENCH_DES --win BENCH_DES_WIN_EXE --wine-root ROOT
#                   [--rounds N] [--mib M] [--quick]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
host="" win="" root="" rounds=7 mib=8
while [ $# -gt 0 ]; do
  case "$1" in
    --host) host=$2; shift 2 ;;
    --win) win=$2; shift 2 ;;
    --wine-root) root=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --mib) mib=$2; shift 2 ;;
    --quick) rounds=1 mib=1; shift ;;
    *) echo "des_win_peer: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$host" ] && [ -n "$win" ] && [ -n "$root" ] || { echo "des_win_peer: --host, --win and --wine-root are required" >&2; exit 2; }

field() { tr -d '\r' | awk -v k="$1" '$1 == k { print $2 }'; }

ratios=()
for r in $(seq 1 "$rounds"); do
  w=$("$here/../../scripts/wine-bench.sh" run --root "$root" --arch win32 "$win" "$mib" 3)
  h=$("$host" --openssl-rate "$mib" 3)
  wr=$(field rate <<<"$w") hr=$(field rate <<<"$h")
  ws=$(field sum <<<"$w") hs=$(field sum <<<"$h")
  if [ -z "$wr" ] || [ -z "$hr" ] || [ "$ws" != "$hs" ]; then
    echo "des_win_peer: round $r: outputs differ or a program failed (Windows: ${ws:-none}, OpenSSL: ${hs:-none})" >&2
    exit 1
  fi
  ratio=$(awk -v a="$wr" -v b="$hr" 'BEGIN { printf "%.3f", a / b }')
  echo "round $r: DecipherBuffer (i686, Wine) $wr MiB/s | OpenSSL EVP (host) $hr MiB/s | ratio $ratio"
  ratios+=("$ratio")
done
median=$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
echo "ratio des_decipher_win_vs_openssl $median aim >= 2.5"
