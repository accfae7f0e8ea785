#!/usr/bin/env bash
# Read benchmark: our engine against readpst and pffexport on the same stores,
# in the same run, each timed the same way: a whole process, best of three,
# from the page cache. Prints each time, our MB/s and the ratio to the faster
# peer (which also writes its export: the ratio flatters them, if anything).
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
if [ $# -eq 0 ]; then  # every sample store
  set -- $(ls "$testdata"/*.pst "$testdata"/*.ost 2>/dev/null)
fi

# Best wall time in seconds of 3 runs of a command, timed around the process
# alone; OUT_DIR (if given) is emptied before each run, outside the timing.
best_of() {
  python3 - "$@" <<'PY'
import os, shutil, subprocess, sys, time
args = sys.argv[1:]
out_dir = None
if args[0] == "--fresh":
    out_dir, args = args[1], args[2:]
best = None
for _ in range(3):
    if out_dir:
        # readpst's children may still be finishing their files: retry.
        for _ in range(50):
            shutil.rmtree(out_dir, ignore_errors=True)
            if not os.path.exists(out_dir):
                break
            time.sleep(0.1)
        os.makedirs(out_dir, exist_ok=True)
    t = time.perf_counter()
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    t = time.perf_counter() - t
    best = t if best is None else min(best, t)
print(best)
PY
}

min_of() { python3 -c "print(min($1, $2))"; }

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
# The least a whole process takes here: no process, ours included, can run
# in less, so a goal below it cannot be met on this machine.
floor=$(best_of /bin/true)
printf '%-45s %10s %10s %10s %10s %8s %10s\n' store ours_s MB/s readpst_s pffexport_s ratio items/s
for store in "$@"; do
  cat "$store" >/dev/null
  line=$("$build/bench/read_bench" --repeat 1 "$store")
  items=$(sed -E 's/.*items=([0-9]+).*/\1/' <<<"$line")
  ours=$(best_of "$build/bench/read_bench" --repeat 1 "$store")
  size=$(stat -c %s "$store")
  mbps=$(python3 -c "print('%.1f' % ($size / $ours / 1e6))")
  ips=$(python3 -c "print('%.0f' % ($items / $ours))")
  tmp=$(mktemp -d)
  rp=$(best_of --fresh "$tmp/r" readpst -D -S -o "$tmp/r" "$store")
  pf=$(best_of --fresh "$tmp/p" pffexport -q -t "$tmp/p/x" "$store")
  rm -rf "$tmp"
  ratio=$(python3 -c "print('%.1f' % ($(min_of "$rp" "$pf") / $ours))")
  printf '%-45s %10.4f %10s %10.4f %10.4f %7sx %10s\n' "$(basename "$store")" "$ours" "$mbps" "$rp" "$pf" "$ratio" "$ips"
  echo "$ratio $size $mbps $(min_of "$rp" "$pf")" >>"$summary"
done
python3 - "$summary" "$floor" <<'PY'
import sys
rows = [line.split() for line in open(sys.argv[1])]
floor = float(sys.argv[2])
print("lowest ratio to the faster peer: %.1fx (goal: at least 10x)" % min(float(r[0]) for r in rows))
below = [r for r in rows if float(r[3]) / 10 < floor]
print("an empty process (/bin/true) takes %.4f s here; 10x the faster peer would take less than that on %d of %d stores"
      % (floor, len(below), len(rows)))
big = [float(r[2]) for r in rows if int(r[1]) > 10_000_000]
if big:
    print("lowest MB/s on stores above 10 MB: %.0f (goal: at least 1000)" % min(big))
PY
