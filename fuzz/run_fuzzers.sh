#!/usr/bin/env bash
# Builds the fuzz targets (opening and walking a store, checking one,
# converting one) with clang (ASan + UBSan + libFuzzer) and runs each
# for the given number of seconds (default 60), seeded with the sample stores
# and the corpus kept in fuzz/corpus/. Fails on any crash, leak or timeout.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
testdata=${QUILLMAR_TESTDATA_DIR:-../shared/testdata/pst}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMAR_FUZZ=ON -DQUILLMAR_GUI=OFF -DQUILLMAR_TESTS=OFF -DQUILLMAR_BENCH=OFF >/dev/null
targets=${QUILLMAR_FUZZ_TARGETS:-store_fuzzer check_fuzzer convert_fuzzer}
cmake --build build-fuzz -j"$(nproc)" --target $targets

for target in $targets; do
  work=$(mktemp -d)
  mkdir -p "$work/corpus"
  if [ -d "fuzz/corpus/$target" ]; then cp fuzz/corpus/$target/* "$work/corpus/" 2>/dev/null || true; fi
  # Seeds: the smaller sample stores (the fuzzer's input size cap keeps it fast).
  find "$testdata" -maxdepth 1 -type f \( -name '*.pst' -o -name '*.bin' \) -size -1024k \
    -exec cp {} "$work/corpus/" \; 2>/dev/null || true
  echo "== $target: ${seconds}s"
  log="$work/log"
  status=0
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build-fuzz/fuzz/$target" "$work/corpus" -max_total_time="$seconds" -max_len=1048576 \
    -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 >"$log" 2>&1 || status=$?
  tail -n 25 "$log"
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$target failed (exit $status)" >&2
    exit "$status"
  fi
done
