#!/bin/sh
# Starts the real program under a virtual X server and saves screenshots of
# its windows into the folder given: the splash, the main window as first
# shown, after choosing a sample store, after a conversion, and the about
# window. Needs xvfb-run, xdotool and ImageMagick's import.
#
#   scripts/gui_screenshots.sh OUTPUT_FOLDER [PROGRAM] [SAMPLE_STORE]
set -eu

if [ $# -lt 1 ]; then
  echo "usage: $0 OUTPUT_FOLDER [PROGRAM] [SAMPLE_STORE]" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
program=${2:-$repo/build/bin/quillmar}
sample=${3:-$repo/../shared/testdata/pst/ansi-pstsdk-sample2.pst}

if [ -z "${QUILLMAR_SCREENSHOTS_INNER:-}" ]; then
  for tool in xvfb-run xdotool import; do
    command -v $tool >/dev/null || { echo "$0: $tool is missing" >&2; exit 1; }
  done
  [ -x "$program" ] || { echo "$0: no program at $program" >&2; exit 1; }
  QUILLMAR_SCREENSHOTS_INNER=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$out" "$program" "$sample"
fi

work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$sample" "$work/sample.pst"  # the sample stays untouched
chmod u+w "$work/sample.pst"
mkdir "$work/converted"

# Waits up to 10 s for a visible window whose title matches $1; prints its id.
find_window() {
  for _ in $(seq 1 100); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  echo "$0: no window named '$1'" >&2
  return 1
}
shot() {  # window id, file name
  sleep 0.5  # let it paint
  import -window "$1" "$out/$2"
  echo "saved $out/$2"
}
focus() { xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"; }

"$program" &
pid=$!

# The splash has no caption: find it by its size.
for _ in $(seq 1 50); do
  splash=$(for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
             xdotool getwindowgeometry "$id" | grep -q 'Geometry: 341x209' && echo "$id"
           done | head -n 1)
  [ -n "$splash" ] && break
  sleep 0.1
done
[ -n "$splash" ] && shot "$splash" splash.png

main=$(find_window '^QUILLMAR v2.0 Build 1108$')
shot "$main" main-first.png

# Open a store: Ctrl+O, type its path into the file dialog.
focus "$main"
xdotool key ctrl+o
dialog=$(find_window '^Open$')
focus "$dialog"
xdotool type --delay 5 "$work/sample.pst"
xdotool key Return
sleep 1.5
shot "$main" main-store-chosen.png

# Convert: "Start Conversion >", then the destination folder.
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 336 + 70)) $((Y + 464 + 12)) click 1
picker=$(find_window '^Select Path to Save Converted PST File$')
focus "$picker"
xdotool type --delay 5 "$work/converted"
xdotool key Return
# The run ends with a message box titled QUILLMAR.
notice=$(find_window '^QUILLMAR$')
shot "$notice" conversion-notice.png
focus "$notice"
xdotool key Return
sleep 1
shot "$main" main-converted.png

# Help > About...
focus "$main"
xdotool key alt+h
sleep 0.5
xdotool key a
about=$(find_window '^About - Brantwick QUILLMAR$')
shot "$about" about.png
ls "$work/converted"
