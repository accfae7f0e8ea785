#!/usr/bin/env bash
# Installs what the project needs, builds it, and shows the program's main
# job on a sample store.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quillmar_install_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMAR_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"

sample=${1:-../shared/testdata/pst/unicode-tika-testpst-french-2mb.pst}
if [ ! -f "$sample" ]; then
  echo "No sample store at $sample; pass one as the argument." >&2
  exit 2
fi
echo "== quillmar-cli info $sample"
build/bin/quillmar-cli info "$sample"
echo
echo "== quillmar-cli ls $sample"
build/bin/quillmar-cli ls "$sample"
