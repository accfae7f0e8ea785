#!/usr/bin/env bash
# The window during a conversion: the longest gap between event-loop turns
# while the real main window converts a generated store (bench/window_gap),
# best of RUNS, beside `quillmar-cli convert` of the same store in the same
# run (the window should cost little more than the command line).
# usage: bench/window_gap.sh [BUILD_DIR] [SIZE] [RUNS]     (SIZE e.g. 1G)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
size=${2:-1G}
runs=${3:-3}
for tool in bench/window_gap bench/make_store bin/quillmar-cli; do
  [ -x "$build/$tool" ] || { echo "no $build/$tool; build first" >&2; exit 2; }
done
dir=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-window-gap-XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$build/bench/make_store" --format ansi --size "$size" --seed 3 "$dir/source.pst" >/dev/null 2>&1
cat "$dir/source.pst" >/dev/null  # from the page cache, as the other benchmarks
best_gap="" best_line=""
for _ in $(seq "$runs"); do
  rm -rf "$dir/out" && mkdir "$dir/out"
  line=$(QT_QPA_PLATFORM=offscreen "$build/bench/window_gap" "$dir/source.pst" "$dir/out" 2>/dev/null | tail -n 1)
  gap=$(sed -E 's/.*longest gap ([0-9.]+) ms.*/\1/' <<<"$line")
  if [ -z "$best_gap" ] || awk -v a="$gap" -v b="$best_gap" 'BEGIN { exit !(a < b) }'; then
    best_gap=$gap best_line=$line
  fi
done
cli_best=""
for _ in $(seq "$runs"); do
  rm -rf "$dir/out" && mkdir "$dir/out"
  t0=$(date +%s.%N)
  "$build/bin/quillmar-cli" convert "$dir/source.pst" -o "$dir/out" >/dev/null 2>&1
  t1=$(date +%s.%N)
  t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  if [ -z "$cli_best" ] || awk -v a="$t" -v b="$cli_best" 'BEGIN { exit !(a < b) }'; then cli_best=$t; fi
done
window_s=$(sed -E 's/window conversion: ([0-9.]+) s.*/\1/' <<<"$best_line")
echo "$size ANSI store -> Unicode, best of $runs:"
echo "  $best_line"
echo "  quillmar-cli convert: $cli_best s; the window takes $(awk -v a="$window_s" -v b="$cli_best" 'BEGIN { printf "%.2f", a / b }')x its time"
echo "  longest gap ${best_gap} ms (goal: at most 100 ms)"
