#!/usr/bin/env bash
# Read benchmark: our engine against readpst and pffexport on the same stores,
# in the same run. Prints each time and the ratio to the faster peer.
# usage: bench/read_bench.sh [BUILD_DIR] [STORE...]
set -euo pipefail
usage() { echo "usage: bench/read_bench.sh [BUILD_DIR] [STORE...]"; }
for arg in "$@"; do
  case $arg in
    -h|--help) usage; exit 0 ;;
    -*) echo "read_bench.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
testdata=${QUILLMAR_TESTDATA_DIR:-../shared/testdata/pst}
if [ $# -eq 0 ]; then
  set -- "$testdata/unicode-enron-13mb.pst" "$testdata/unicode-tika-testpst-french-2mb.pst" \
         "$testdata/unicode-high-encryption.pst" "$testdata/ansi-outlook97-passworded-294msgs.pst"
fi

best_of() {  # best wall time in seconds of 3 runs of a command
  local best=""
  for _ in 1 2 3; do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    best=$(python3 -c "t=$t1-$t0; b='$best'; print(t if b=='' or t<float(b) else b)")
  done
  echo "$best"
}

printf '%-45s %10s %10s %10s %10s %8s %10s\n' store ours_s MB/s readpst_s pffexport_s ratio items/s
for store in "$@"; do
  line=$("$build/bench/read_bench" --repeat 5 "$store")
  ours=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$line")
  mbps=$(sed -E 's/.*MB\/s=([0-9.]+).*/\1/' <<<"$line")
  ips=$(sed -E 's/.*items\/s=([0-9.]+).*/\1/' <<<"$line")
  tmp=$(mktemp -d)
  rp=$(best_of bash -c "rm -rf '$tmp/r'; mkdir -p '$tmp/r'; readpst -D -S -o '$tmp/r' '$store'")
  pf=$(best_of bash -c "rm -rf '$tmp/p' '$tmp/p.export'; pffexport -q -t '$tmp/p' '$store'")
  rm -rf "$tmp"
  ratio=$(python3 -c "print('%.1f' % (min($rp, $pf) / $ours))")
  printf '%-45s %10.4f %10s %10.4f %10.4f %7sx %10s\n' "$(basename "$store")" "$ours" "$mbps" "$rp" "$pf" "$ratio" "$ips"
done
