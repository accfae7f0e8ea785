#!/bin/sh
# Repaints the pictures in assets/pictures/ from assets/painter/paint_assets.cc.
# Needs g++, Qt 6 (qt6-base-dev) and ImageMagick. The results are committed;
# run this only after changing the painter, then look at them and commit.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/pictures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck disable=SC2046
g++ -std=c++20 -O1 -fPIC -o "$work/paint_assets" "$here/painter/paint_assets.cc" \
  $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$work/paint_assets" "$work/png"

im=/usr/bin/convert
png="$work/png"
mkdir -p "$out" "$out/small"

# GIF has one-bit transparency: pictures with a background of their own stay
# opaque; the little arrow keeps a transparent surround.
$im "$png/splash.png" -alpha off -dither FloydSteinberg -colors 256 "$out/splash.gif"
$im "$png/about.png" -alpha off -dither FloydSteinberg -colors 256 "$out/about.gif"
$im "$png/side.png" -background '#f0f0f0' -alpha remove -colors 256 "$out/side.gif"
$im "$png/reading_arrow.png" -channel A -threshold 50% +channel "$out/reading_arrow.gif"
# The thin strip is a plain 24-bit Windows bitmap.
$im "$png/strip.png" -alpha off -type TrueColor "BMP3:$out/strip.bmp"

# Window icon: a 16 x 16 and a 32 x 32 image of 16 colours each.
# Sixteen-colour icon images keep a one-bit mask, so the edge is cut at half
# opacity before the colours are reduced.
pal16() { $im "$1" -channel A -threshold 50% +channel -colors 15 "PNG32:$2"; }
ico() { QT_QPA_PLATFORM=offscreen "$work/paint_assets" --ico "$@"; }
pal16 "$png/quillmar16.png" "$work/q16.png"
pal16 "$png/quillmar32.png" "$work/q32.png"
ico "$out/quillmar.ico" "$work/q16.png" "$work/q32.png"
# The mail-program icon: six images, 16/32/48 in 16 colours and in full colour.
for n in 16 32 48; do pal16 "$png/mail$n.png" "$work/m$n.png"; done
ico "$out/mail.ico" "$work/m16.png" "$work/m32.png" "$work/m48.png" \
    "$png/mail16.png" "$png/mail32.png" "$png/mail48.png"
# A large logo for desktop launchers.
cp "$png/quillmar256.png" "$out/quillmar.png"
# The logo at the top of every help page.
$im "$png/quillmar256.png" -resize 48x48 "$here/help/logo.png"

# Toolbar and menu images (16 x 16, 32-bit colour), named by their number.
for n in 37 47 48 61; do
  cp "$png/small_$n.png" "$out/small/$n.png"
done
cp "$png/browse.png" "$out/small/browse.png"
echo "pictures written to $out"
