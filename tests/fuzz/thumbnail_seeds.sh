#!/usr/bin/env bash
# Seed images for the thumbnail harness, each under a few KB. The harness
# reads four request bytes before the file; each seed gets the same four
# (box 17, orientation 6 and transform on, no exact size).
set -euo pipefail
out=$1
mkdir -p "$out"
[[ -f $out/jpeg ]] && exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=24x16 -frames:v 1 "$@"; }
ff "$tmp/a.jpg"
ff -pix_fmt yuvj444p "$tmp/b.jpg"
ff "$tmp/a.png"
ff -pix_fmt rgba "$tmp/alpha.png"
ff -pix_fmt pal8 "$tmp/pal.png"
ff -pix_fmt rgb48be "$tmp/deep.png"
ff "$tmp/a.gif"
ff -pix_fmt gray "$tmp/gray.png"
ff -c:v libwebp "$tmp/a.webp"
ff "$tmp/a.tiff"
ff "$tmp/a.bmp"
convert -size 12x9 xc:orange -set colorspace sRGB "$tmp/a.ppm"
convert -size 12x9 xc:teal -colorspace CMYK "$tmp/cmyk.jpg"
convert -size 12x9 gradient:red-blue -orient RightTop "$tmp/exif.jpg"
convert -size 12x9 xc:gold -interlace JPEG "$tmp/progressive.jpg"
printf '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><rect width="20" height="10" fill="red"/></svg>' >"$tmp/a.svg"
for f in "$tmp"/*; do
    name=${f##*/}
    { printf '\x10\x36\x00\x00'; cat "$f"; } >"$out/${name//./-}"
done
