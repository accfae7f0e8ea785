#!/usr/bin/env bash
# Scale benchmark: converts a generated 1 GiB ANSI store to Unicode and a
# generated 4 GiB Unicode store to ANSI (which must stop at the ANSI ceiling)
# and whole to Unicode, plus a 256 MiB store each way and a 256 MiB store of
# many small messages, a store with one 100-million-character body each way,
# and a folder of 70,000 small messages; and times 100,000 folders made in one
# update (then converted both ways). Peak memory must stay at or under 64 MiB
# in every conversion.
# Each conversion runs under /usr/bin/time -v beside a `cp` of the
# same source (with its sync) in the same run; its output must pass
# `quillmar-cli check`. Prints a Markdown report and writes it into
# bench/RESULTS.md between the scale markers.
#
# usage: bench/scale.sh BUILD_DIR [WORK_DIR]
#   BUILD_DIR  a Release build with quillmar-cli and make_store
#   WORK_DIR   where the stores go (default: a new folder in BUILD_DIR, on the
#              same disk); needs twice the large store's size plus 2 GiB free
# Environment, for trying the script out on small sizes:
#   SCALE_ANSI_SIZE (1G), SCALE_UNICODE_SIZE (4G), SCALE_SMALL_SIZE (256M)
#   SCALE_MAX_SIZE   passed as --max-size to the Unicode->ANSI runs of the
#                    large store, so that a small store reaches a limit too
#                    (default: none; the format's own ceiling applies)
#   SCALE_RESULTS    the file to update (default bench/RESULTS.md)
#   SCALE_SEED       generator seed (1)
#   SCALE_BODY_CHARS (100000000), SCALE_BULK_MESSAGES (70000), SCALE_FOLDERS (100000)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
# The ANSI ceiling, as the engine defines it.
kAnsiCeiling=$(sed -n 's/.*kAnsiMaxFileSize = \([0-9]*\);.*/\1/p' "$repo/pst/ndb/types.h")
readonly kAnsiCeiling

usage() { sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; }
for arg in "$@"; do
  case $arg in
    -h|--help) usage; exit 0 ;;
    -*) echo "scale.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  usage >&2
  exit 2
fi
build=$(cd "$1" && pwd)
cli=$build/bin/quillmar-cli
gen=$build/bench/make_store
for tool in "$cli" "$gen" /usr/bin/time; do
  [ -x "$tool" ] || { echo "scale.sh: $tool is missing; build quillmar-cli and make_store first" >&2; exit 2; }
done

ansi_size=${SCALE_ANSI_SIZE:-1G}
unicode_size=${SCALE_UNICODE_SIZE:-4G}
small_size=${SCALE_SMALL_SIZE:-256M}
max_size=${SCALE_MAX_SIZE:-}
results=${SCALE_RESULTS:-$here/RESULTS.md}
seed=${SCALE_SEED:-1}
body_chars=${SCALE_BODY_CHARS:-100000000}
bulk_messages=${SCALE_BULK_MESSAGES:-70000}
many_folders=${SCALE_FOLDERS:-100000}
readonly kMaxPeakMiB=64

bytes_of() {  # 4G -> bytes, as make_store reads it
  awk -v s="$1" 'BEGIN { n = s + 0; u = toupper(substr(s, length(s)));
    if (u == "K") n *= 1024; else if (u == "M") n *= 1048576; else if (u == "G") n *= 1073741824;
    printf "%.0f\n", n }'
}
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# Room: the large source, its copy, and margin for the output (at most the
# ANSI ceiling) and the small runs.
need=$(( 2 * $(bytes_of "$unicode_size") + 2 * 1073741824 ))
parent=${2:-$build}
mkdir -p "$parent"
free=$(( $(df -Pk "$parent" | awk 'NR == 2 { print $4 }') * 1024 ))
if [ "$free" -lt "$need" ]; then
  echo "scale.sh: $parent has $(mib "$free") MiB free; this run needs $(mib "$need") MiB" \
       "(twice the ${unicode_size} store plus 2 GiB). Free some space or name another WORK_DIR." >&2
  exit 2
fi
work=$(mktemp -d "$parent/quillmar-scale.XXXXXX")
trap 'rm -rf "$work"' EXIT

# /usr/bin/time -v fields.
tv_field() { sed -n "s/^[[:space:]]*$2: //p" "$1" | tail -n 1; }
tv_seconds() {  # "Elapsed (wall clock) time (h:mm:ss or m:ss): 1:02.35" -> 62.35
  tv_field "$1" 'Elapsed (wall clock) time (h:mm:ss or m:ss)' |
    awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }'
}
tv_rss_mib() { awk -v k="$(tv_field "$1" 'Maximum resident set size (kbytes)')" 'BEGIN { printf "%.1f", k / 1024 }'; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
busy() {  # processes using a fifth of a core or more, over two seconds
  top -b -n 2 -d 2 -w 256 | awk '/^ *PID / { block++; next }
    block == 2 && $9 + 0 >= 20 { printf "%s%s (%s%% CPU)", sep, $12, $9; sep = ", " }'
}

# Messages in the store generated last, as its summary line counts them
# (the generated stores' extra messages in their special folders included).
generated_messages() { "$cli" info "$last_generated" | awk '/^Messages:/ { print $2 }'; }

gen_rows=()
rows=()
failures=0

# make_store FORMAT SIZE FILE: generates a store, records its timing.
make_store() {
  local format=$1 size=$2 file=$3 tv=$work/gen.time
  shift 3
  echo "generating a $size $format store $* ..." >&2
  /usr/bin/time -v -o "$tv" "$gen" --format "$format" --size "$size" --seed "$seed" "$@" "$file" 2>"$work/gen.err" || {
    cat "$work/gen.err" >&2; echo "scale.sh: make_store failed" >&2; exit 1; }
  local bytes secs summary
  last_generated=$file
  bytes=$(stat -c %s "$file")
  secs=$(tv_seconds "$tv")
  summary=$(grep -v '^$' "$work/gen.err" | tail -n 1)
  gen_rows+=("| $format | $size${*:+ ($*)} | $(mib "$bytes") | $secs | $(awk -v b="$bytes" -v s="$secs" \
    'BEGIN { printf "%.1f", (s > 0 ? b / 1e6 / s : 0) }') | $(tv_rss_mib "$tv") | $summary |")
}

# run_one LABEL SRC DIRECTION EXPECT_LIMIT [CONVERT_ARGS...]: cp, then
# convert, then check. EXPECT_LIMIT: yes (must stop at the size limit), no
# (must copy everything), any (only memory and soundness are judged). With
# expect_messages set, the summary must count exactly that many messages.
expect_messages=
run_one() {
  local label=$1 src=$2 direction=$3 expect_limit=$4
  shift 4
  local src_bytes copy=$work/copy.pst out=$work/out tv=$work/convert.time
  src_bytes=$(stat -c %s "$src")
  sync  # nothing of the generator's left to flush inside a timed run

  echo "cp $label ..." >&2
  local t0 cp_secs
  t0=$(now)
  cp "$src" "$copy"
  sync "$copy"
  cp_secs=$(since "$t0")
  rm -f "$copy"
  sync

  echo "convert $label ($direction) ..." >&2
  rm -rf "$out"
  mkdir "$out"
  local extra=() rc=0 limit=$kAnsiCeiling
  if [ -n "$max_size" ] && { [ "$expect_limit" = yes ] || [[ " $* " == *" --split "* ]]; }; then
    extra=(--max-size "$max_size")
    limit=$max_size
  fi
  /usr/bin/time -v -o "$tv" "$cli" convert "$src" -o "$out" "${extra[@]}" "$@" >"$work/convert.out" 2>"$work/convert.err" ||
    rc=$?
  local secs rss
  secs=$(tv_seconds "$tv")
  rss=$(tv_rss_mib "$tv")
  # One output, or with --split its parts; each must pass check.
  local outputs=() out_file out_bytes=0 part_bytes=()
  for out_file in "$out"/*.pst; do
    [ -f "$out_file" ] || continue
    outputs+=("$out_file")
    part_bytes+=("$(stat -c %s "$out_file")")
    out_bytes=$((out_bytes + part_bytes[-1]))
  done

  echo "check $label ..." >&2
  local check_rc=0 check_secs check
  t0=$(now)
  [ ${#outputs[@]} -gt 0 ] || check_rc=none
  for out_file in "${outputs[@]}"; do
    "$cli" check "$out_file" >"$work/check.out" 2>&1 || { check_rc=$?; break; }
  done
  check_secs=$(since "$t0")
  check="exit $check_rc"
  [ "$check_rc" = 0 ] && check="sound (exit 0, ${check_secs} s)"
  [ "$check_rc" = 0 ] && [ ${#outputs[@]} -gt 1 ] && check="${#outputs[@]} parts, each sound (exit 0, ${check_secs} s)"

  # What this run must show.
  local faults=()
  [ "$check_rc" = 0 ] || faults+=("check failed")
  if [ "$expect_limit" = yes ]; then
    [ "$rc" = 1 ] || faults+=("exit $rc, expected 1")
    grep -q "size limit of $limit bytes" "$work/convert.out" || faults+=("no size-limit message")
    [ "$out_bytes" -gt 0 ] && [ "$out_bytes" -le "$limit" ] || faults+=("output size $out_bytes not in 1..$limit")
  elif [ "$expect_limit" = no ]; then
    [ "$rc" = 0 ] || faults+=("exit $rc, expected 0")
    if grep -q "size limit" "$work/convert.out"; then faults+=("unexpected size limit"); fi
  fi
  if [ -n "$expect_messages" ]; then
    local got
    got=$(awk '/^messages:/ { print $2 }' "$work/convert.out")
    [ "$got" = "$expect_messages" ] || faults+=("copied ${got:-no} messages, expected $expect_messages")
  fi
  if [[ $direction == *→ANSI ]]; then
    for b in "${part_bytes[@]}"; do
      [ "$b" -le "$limit" ] || faults+=("an output of $b bytes is past $limit")
    done
  fi
  awk -v r="$rss" -v m="$kMaxPeakMiB" 'BEGIN { exit !(r > m) }' && faults+=("peak RSS $rss MiB over $kMaxPeakMiB MiB")
  local verdict=ok
  if [ ${#faults[@]} -gt 0 ]; then
    verdict=$(IFS=';'; echo "${faults[*]}")
    failures=$((failures + 1))
    { echo "scale.sh: $label $direction: $verdict"; tail -n 20 "$work/convert.out" "$work/convert.err";
      head -n 20 "$work/check.out" 2>/dev/null; } >&2
  fi
  local copied
  copied=$(awk '/^messages:/ { m = $2 } /^attachments:/ { a = $2 } END { printf "%s msgs, %s att", m, a }' \
    "$work/convert.out")
  local continued
  continued=$(grep -c '^  continued: ' "$work/convert.out" || true)
  [ "$continued" -gt 0 ] && copied+=", $continued continuation folder(s)"
  if [ "$expect_limit" = yes ]; then
    copied+=", output $(awk -v b="$out_bytes" -v l="$limit" 'BEGIN { printf "%.1f", 100 * b / l }') % of the limit"
  fi
  if [ ${#outputs[@]} -gt 1 ]; then
    local sizes=() b
    for b in "${part_bytes[@]}"; do sizes+=("$(mib "$b")"); done
    copied+=", parts of $(IFS=/; echo "${sizes[*]}") MiB"
  fi

  rows+=("| $label | $direction | $(mib "$src_bytes") | $secs | $(awk -v b="$src_bytes" -v s="$secs" \
    'BEGIN { printf "%.1f", (s > 0 ? b / 1e6 / s : 0) }') | $rss | $cp_secs | $(awk -v a="$secs" -v b="$cp_secs" \
    'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }') | $(mib "$out_bytes") | $copied | $check | $rc | $verdict |")
  rm -rf "$out"
}

load_before=$(loadavg)
busy_before=$(busy)
started=$(date -u '+%Y-%m-%d %H:%M:%S UTC')

# Small stores first: their peak memory is the baseline for the large ones.
make_store ansi "$small_size" "$work/small-ansi.pst"
run_one "$small_size" "$work/small-ansi.pst" "ANSI→Unicode" no
rm -f "$work/small-ansi.pst"
make_store unicode "$small_size" "$work/small-unicode.pst"
run_one "$small_size" "$work/small-unicode.pst" "Unicode→ANSI" no
rm -f "$work/small-unicode.pst"
# The same bytes in ten times as many messages: memory follows the count of
# messages and blocks, not the bytes.
make_store ansi "$small_size" "$work/many.pst" --max-attachment 16K
run_one "$small_size, attachments ≤ 16K" "$work/many.pst" "ANSI→Unicode" no
rm -f "$work/many.pst"

make_store ansi "$ansi_size" "$work/ansi.pst"
run_one "$ansi_size" "$work/ansi.pst" "ANSI→Unicode" no
rm -f "$work/ansi.pst"
make_store unicode "$unicode_size" "$work/unicode.pst"
run_one "$unicode_size" "$work/unicode.pst" "Unicode→ANSI" yes
# --split: every message, in as many ANSI stores as it takes.
expect_messages=$(generated_messages)
run_one "$unicode_size, --split" "$work/unicode.pst" "Unicode→ANSI" no --split
run_one "$unicode_size" "$work/unicode.pst" "Unicode→Unicode" no --to unicode
expect_messages=
rm -f "$work/unicode.pst"

# One very large body each way: converted in pieces, never held whole.
make_store ansi 1M "$work/body-ansi.pst" --big-body "$body_chars"
run_one "body of $body_chars chars" "$work/body-ansi.pst" "ANSI→Unicode" no
rm -f "$work/body-ansi.pst"
make_store unicode 1M "$work/body-unicode.pst" --big-body "$body_chars"
run_one "body of $body_chars chars" "$work/body-unicode.pst" "Unicode→ANSI" no
rm -f "$work/body-unicode.pst"
# One folder of many small messages, and one folder of many subfolders:
# past 65,535 rows an ANSI output goes on in continuation folders, and
# every message arrives.
make_store unicode 1M "$work/bulk.pst" --bulk-messages "$bulk_messages"
expect_messages=$(generated_messages)
run_one "folder of $bulk_messages messages" "$work/bulk.pst" "Unicode→Unicode" no --to unicode
run_one "folder of $bulk_messages messages" "$work/bulk.pst" "Unicode→ANSI" no
rm -f "$work/bulk.pst"
make_store unicode 1M "$work/folders.pst" --folders "$many_folders"
expect_messages=$(generated_messages)
run_one "$many_folders subfolders of one folder" "$work/folders.pst" "Unicode→Unicode" no --to unicode
run_one "$many_folders subfolders of one folder" "$work/folders.pst" "Unicode→ANSI" no
expect_messages=
rm -f "$work/folders.pst"

finished=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
load_after=$(loadavg)
busy_after=$(busy)

command="bench/scale.sh $*"
for v in SCALE_ANSI_SIZE SCALE_UNICODE_SIZE SCALE_SMALL_SIZE SCALE_MAX_SIZE SCALE_SEED SCALE_BODY_CHARS \
         SCALE_BULK_MESSAGES SCALE_FOLDERS; do
  [ -n "${!v:-}" ] && command="$v=${!v} $command"
done

report() {
  echo "## Scale run, $started"
  echo
  local dirty=""
  git -C "$repo" diff --quiet HEAD -- pst cli core 2>/dev/null || dirty=" with uncommitted changes to pst/, cli/ or core/"
  echo "Command: \`$command\` (quillmar-cli at $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')$dirty," \
       "built in $(basename "$build"), build type" \
       "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || echo '?'))."
  echo
  echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
       "$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM," \
       "$(df -PT "$parent" | awk 'NR == 2 { print $2 }') on $(df -P "$parent" | awk 'NR == 2 { print $1 }')," \
       "Linux $(uname -r)."
  echo
  echo "Load averages (1, 5, 15 min): $load_before before, $load_after after (finished $finished)."
  echo "Other busy processes: before: ${busy_before:-none}; after: ${busy_after:-none}."
  echo
  echo "Generated stores:"
  echo
  echo "| format | asked | MiB | seconds | MB/s | peak RSS MiB | contents |"
  echo "|---|---|---|---|---|---|---|"
  printf '%s\n' "${gen_rows[@]}"
  echo
  echo "Conversions (time and peak RSS from /usr/bin/time -v; MB/s = source bytes / 10^6 / seconds;"
  echo "cp = \`cp\` of the same source on the same disk plus \`sync\` of the copy; ratio = convert time / cp time):"
  echo
  echo "| size | direction | source MiB | seconds | MB/s | peak RSS MiB | cp seconds | ratio to cp |" \
       "output MiB | copied | check | exit | verdict |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "The Unicode→ANSI run of the large store must stop at the limit: exit 1, the size-limit message," \
       "output ≤ ${max_size:-$kAnsiCeiling} bytes. Every run must peak at or under $kMaxPeakMiB MiB." \
       "The source stays in the page cache (it was just written), for cp and convert alike."
}

report
if [ "$results" != /dev/null ]; then
  new=$(report)
  if [ -f "$results" ] && grep -q '<!-- scale:begin -->' "$results"; then
    block=$new awk '
      /<!-- scale:begin -->/ { print; print ENVIRON["block"]; skip = 1; next }
      /<!-- scale:end -->/ { skip = 0 }
      !skip { print }' "$results" >"$results.tmp"
  else
    { [ -f "$results" ] && cat "$results" && echo
      [ -f "$results" ] || { echo "# Benchmark results"; echo; }
      echo '<!-- scale:begin -->'; echo "$new"; echo '<!-- scale:end -->'; } >"$results.tmp"
  fi
  mv "$results.tmp" "$results"
  echo "updated $results" >&2
fi
[ "$failures" -eq 0 ] || { echo "scale.sh: $failures run(s) did not show what they must" >&2; exit 1; }
