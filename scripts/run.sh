#!/usr/bin/env bash
# Installs what the project needs, builds it, and shows the program's main
# job: the desktop program when a display is available; otherwise a sample
# store is converted with quillmar-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quillmar_install_packages

# Every option is stated, so whatever configured build/ before (the test
# command builds it with tests) does not carry over.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMAR_TESTS=OFF -DQUILLMAR_GUI=ON \
  -DQUILLMAR_BENCH=ON -DQUILLMAR_SANITIZE=OFF -DQUILLMAR_FUZZ=OFF >/dev/null
cmake --build build -j"$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting build/bin/quillmar"
  exec build/bin/quillmar
fi

echo "No display here, so the desktop program cannot start; converting a sample store with quillmar-cli instead."
sample=${1:-../shared/testdata/pst/ansi-pstsdk-sample2.pst}
if [ ! -f "$sample" ]; then
  sample=build/sample-ansi.pst
  rm -f "$sample"
  echo "== making a sample ANSI store: $sample"
  build/bench/make_store --format ansi --size 5M --max-attachment 256K "$sample"
fi
out=$(mktemp -d)
echo "== quillmar-cli info $sample"
build/bin/quillmar-cli info "$sample"
echo
echo "== quillmar-cli ls $sample"
build/bin/quillmar-cli ls "$sample"
echo
echo "== quillmar-cli convert $sample -o $out"
build/bin/quillmar-cli convert "$sample" -o "$out"
converted=$(ls "$out"/*.pst | head -n 1)
echo
echo "== quillmar-cli info $converted"
build/bin/quillmar-cli info "$converted"
echo
echo "== quillmar-cli check $converted"
build/bin/quillmar-cli check "$converted"
