#!/bin/bash
# A migration spread over a Slurm job array: array task K converts shard K
# of N of the stores below $SOURCES into $DEST (a file system every node
# sees) and writes its own report. Submit with the array as large as N:
#   sbatch --array=1-16 deploy/convert.sbatch
# Resubmitting converts only what is not done yet. Exit codes: 0 all ok or
# skipped, 1 some store incomplete or failed (see the report), 2 usage.
#SBATCH --job-name=quillmar-convert
#SBATCH --cpus-per-task=2
#SBATCH --mem=2G
#SBATCH --time=12:00:00
#SBATCH --output=quillmar-convert-%A-%a.log

set -euo pipefail
SOURCES=${SOURCES:-/srv/pst}
DEST=${DEST:-/srv/converted}
SHARDS=${SLURM_ARRAY_TASK_COUNT:?submit as an array: sbatch --array=1-N}
K=${SLURM_ARRAY_TASK_ID:?submit as an array: sbatch --array=1-N}
# Tasks numbered from 0 (--array=0-15) are shard K+1.
if [ "${SLURM_ARRAY_TASK_MIN:-1}" = 0 ]; then K=$((K + 1)); fi

mkdir -p "$DEST"
args=(convert "$SOURCES" -o "$DEST" --shard "$K/$SHARDS" --jobs "${SLURM_CPUS_PER_TASK:-1}" --quiet
      --report "$DEST/report-$K-of-$SHARDS.json")
if [ -n "${PASSWORD_FILE:-}" ]; then args+=(--password-file "$PASSWORD_FILE"); fi
exec quillmar-cli "${args[@]}"
