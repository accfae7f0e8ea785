#!/usr/bin/env bash
# Write benchmark: the store writer against `cp` of the store it wrote, in
# the same run and on the same disk. `cp` is followed by `sync` of the copy
# since the writer makes every commit durable.
# usage: bench/write_bench.sh [BUILD_DIR] [MESSAGES] [--ansi]
set -euo pipefail
usage() { echo "usage: bench/write_bench.sh [BUILD_DIR] [MESSAGES] [--ansi]"; }
for arg in "$@"; do
  case $arg in
    -h|--help) usage; exit 0 ;;
    --ansi) ;;
    -*) echo "write_bench.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
build=${1:-build}
messages=${2:-2000}
shift $(( $# < 2 ? $# : 2 )) || true
dir=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-write-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT

line=$("$build/bench/write_bench" --messages "$messages" "$@" "$dir/out.pst")
ours=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$line")
mbps=$(sed -E 's/.*MB\/s=([0-9.]+).*/\1/' <<<"$line")
t0=$(date +%s.%N)
cp "$dir/out.pst" "$dir/copy.pst"
sync "$dir/copy.pst"
t1=$(date +%s.%N)
size=$(stat -c %s "$dir/out.pst")
python3 - "$ours" "$mbps" "$t0" "$t1" "$size" "$line" <<'PY'
import sys
ours, mbps, t0, t1, size, line = float(sys.argv[1]), sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
cp = t1 - t0
print(line)
print("%-10s %10s %10s" % ("", "seconds", "MB/s"))
print("%-10s %10.3f %10s" % ("writer", ours, mbps))
print("%-10s %10.3f %10.1f" % ("cp+sync", cp, size / cp / 1e6))
print("writer takes %.1fx the time of cp+sync" % (ours / cp))
PY
