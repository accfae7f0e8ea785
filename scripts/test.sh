#!/usr/bin/env bash
# Installs what the project needs, builds it, and runs every test: unit and
# integration tests (ctest, including the oracle comparisons against readpst
# and pypff), a short run of each fuzz target, and the whole ctest suite
# again built with AddressSanitizer and UndefinedBehaviorSanitizer
# (QUILLMAR_SANITIZED_TESTS=0 leaves that last step out).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quillmar_install_packages

jobs=$(nproc)
# Every option is stated, so whatever configured build/ before (the run
# command builds it without tests) does not carry over.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMAR_TESTS=ON -DQUILLMAR_GUI=ON \
  -DQUILLMAR_BENCH=ON -DQUILLMAR_SANITIZE=OFF -DQUILLMAR_FUZZ=OFF >/dev/null
cmake --build build -j"$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs" --timeout 900

if [ -f fuzz/run_fuzzers.sh ]; then
  bash fuzz/run_fuzzers.sh "${QUILLMAR_FUZZ_SECONDS:-60}"
fi

if [ "${QUILLMAR_SANITIZED_TESTS:-1}" != 0 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_TESTS=ON \
    -DQUILLMAR_GUI=ON -DQUILLMAR_BENCH=ON -DQUILLMAR_SANITIZE=ON -DQUILLMAR_FUZZ=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
  QT_QPA_PLATFORM=offscreen UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs" --timeout 1800
fi
