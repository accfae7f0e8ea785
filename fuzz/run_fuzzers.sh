#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan + libFuzzer) and runs each
# in turn. Fails on any crash, leak or timeout.
#
#   fuzz/run_fuzzers.sh [SECONDS [LAYER_SECONDS]]
#
# Whole-store targets (store_fuzzer, check_fuzzer, convert_fuzzer) run
# SECONDS each (default 60), seeded with the smaller sample stores and
# fuzz/corpus/<target>/. Layer targets (block, tree, heap, pc, tc, name_map,
# codepage) take small inputs and run thousands of times faster; they run
# LAYER_SECONDS each (default SECONDS / 6, so the default run stays near four
# minutes), seeded with fuzz/corpus/<target>/ and using fuzz/<target>.dict.
# QUILLMAR_FUZZ_TARGETS="heap_fuzzer tc_fuzzer" picks targets; a long run
# of one layer: QUILLMAR_FUZZ_TARGETS=heap_fuzzer fuzz/run_fuzzers.sh 3600 3600.
# New inputs found are kept in the working copy (a temporary folder) only;
# finds worth keeping go into fuzz/corpus/<target>/ by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
layer_seconds=${2:-$(( seconds / 6 > 0 ? seconds / 6 : 1 ))}
testdata=${QUILLMAR_TESTDATA_DIR:-../shared/testdata/pst}
store_targets="store_fuzzer check_fuzzer convert_fuzzer"
layer_targets="block_fuzzer tree_fuzzer heap_fuzzer pc_fuzzer tc_fuzzer name_map_fuzzer codepage_fuzzer"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMAR_FUZZ=ON -DQUILLMAR_GUI=OFF -DQUILLMAR_TESTS=OFF -DQUILLMAR_BENCH=OFF >/dev/null
targets=${QUILLMAR_FUZZ_TARGETS:-$store_targets $layer_targets}
cmake --build build-fuzz -j"$(nproc)" --target $targets

for target in $targets; do
  work=$(mktemp -d)
  mkdir -p "$work/corpus"
  if [ -d "fuzz/corpus/$target" ]; then cp fuzz/corpus/$target/* "$work/corpus/" 2>/dev/null || true; fi
  options=(-rss_limit_mb=2048 -print_final_stats=1)
  case " $store_targets " in
    *" $target "*)
      time=$seconds
      # Seeds: the smaller sample stores (the input size cap keeps it fast).
      find "$testdata" -maxdepth 1 -type f \( -name '*.pst' -o -name '*.ost' -o -name '*.bin' \) \
        -size -1024k -exec cp {} "$work/corpus/" \; 2>/dev/null || true
      options+=(-max_len=1048576 -timeout=20)
      ;;
    *)
      time=$layer_seconds
      options+=(-max_len=16384 -timeout=5)
      if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
      ;;
  esac
  echo "== $target: ${time}s"
  log="$work/log"
  status=0
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build-fuzz/fuzz/$target" "$work/corpus" -max_total_time="$time" "${options[@]}" \
    >"$log" 2>&1 || status=$?
  tail -n 25 "$log"
  # The last status line: executions, coverage (cov: edges, ft: features), corpus.
  grep -E '^#[0-9]+' "$log" | tail -n 1 || true
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$target failed (exit $status)" >&2
    exit "$status"
  fi
done
