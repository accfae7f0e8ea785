#!/usr/bin/env bash
# Installs what the project needs, builds it, and runs every test: unit and
# integration tests (ctest, including the oracle comparisons against readpst
# and pypff) and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quillmar_install_packages

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$jobs" --timeout 900

if [ -f fuzz/run_fuzzers.sh ]; then
  bash fuzz/run_fuzzers.sh "${QUILLMAR_FUZZ_SECONDS:-60}"
fi
