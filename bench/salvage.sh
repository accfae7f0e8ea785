#!/bin/sh
# Salvage benchmark: makes damaged copies of sample stores (a flipped byte,
# 64 random bytes, a zeroed sector, a zeroed 8 KiB run, a cut file; fixed
# seeds) in a temporary folder, converts each with quillmar-cli and reads it
# with readpst and pypff, and prints per copy what each carried as a share
# of its own count on the undamaged store, with totals, crashes, hangs and
# unsound outputs. The samples are only read.
#
# usage: bench/salvage.sh [BUILD_DIR] [SEEDS]   (defaults: build, 3)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
seeds=${2:-3}
samples=${SALVAGE_SAMPLES:-/work/shared/testdata/pst}
cli="$build/bin/quillmar-cli"
[ -x "$cli" ] || { echo "no $cli; build first" >&2; exit 2; }
command -v readpst >/dev/null || { echo "readpst (pst-utils) is needed" >&2; exit 2; }
/usr/bin/python3 -c "import pypff" 2>/dev/null || { echo "pypff (python3-pypff) is needed" >&2; exit 2; }
exec /usr/bin/python3 "$here/salvage_run.py" "$cli" "$seeds" \
  "$samples/ansi-outlook97-passworded-294msgs.pst" \
  "$samples/unicode-dfrws2009-forensic.pst" \
  "$samples/unicode-enron-13mb.pst" \
  "$samples/unicode-high-encryption.pst" \
  "$samples/unicode-follow-up-flags.pst"
