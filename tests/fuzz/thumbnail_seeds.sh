#!/usr/bin/env bash
# Seed images for the thumbnail harness: small images of many formats and
# colour kinds, every image the thumbnail and hardening tests' fixture
# scripts make (named <group>-<file>: among them every kind read, whole and
# cut in half, GIF, WebP, PNG, JPEG and TIFF bombs, an MP4, FITS, matrix,
# PPM, SVG and CSV files no allowed loader reads), camera RAWs (small DNGs and
# the RAW tests' cases) and the real-world images of
# tests/data/real/images (under 400 KB). The harness reads four request bytes
# before the file (box, orientation and transform, exact size); each image
# gets one of the requests below in turn, the small made ones all of them.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
# The real-world images are written last.
compgen -G "$out/real-*" >/dev/null && exit 0
requests=(
    '\x10\x36\x00\x00'  # box 17, orientation 6, transform on
    '\x3f\x13\x00\x00'  # box 64, orientation 3 written into the JPEG
    '\x1f\x20\x00\x00'  # box 32, the file's own orientation applied
    '\x20\x40\x1e\x0a'  # box 33, exactly 30 x 10
    '\x08\x7c\x05\x2f'  # box 9, orientation 12 (none), transform on, exactly 5 x 47
    '\x00\x40\x00\x07'  # box 1, an exact size with no width (ignored)
)
n=0
seed() {  # file name [all]: the file behind the next request (or every one)
    local i
    if [[ ${3:-} == all ]]; then
        for i in "${!requests[@]}"; do
            { printf "${requests[i]}"; cat "$1"; } >"$out/$2-r$i"
        done
    else
        i=$((n++ % ${#requests[@]}))
        { printf "${requests[i]}"; cat "$1"; } >"$out/$2-r$i"
    fi
}
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
vips colourspace "$tmp/a.png" "$tmp/lab.tif" lab
vips colourspace "$tmp/a.png" "$tmp/hsv.v" hsv
vips cast "$tmp/a.png" "$tmp/float.tif" float
vips cast "$tmp/a.png" "$tmp/int.tif" int
convert "$tmp/a.png" -depth 16 "$tmp/deep.tif"
printf '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><rect width="20" height="10" fill="red"/></svg>' >"$tmp/a.svg"
for f in "$tmp"/*; do
    name=${f##*/}
    seed "$f" "${name//./-}" all
done
for group in thumbnail hardening; do
    made=${FIXTURE_ROOT:-$tmp}/pixsig/$group
    bash "$here/../pixsig/${group}_fixtures.sh" "$made" >/dev/null
    while IFS= read -r -d '' f; do
        name=${f##*/}
        seed "$f" "$group-${name//./-}"
    done < <(find "$made" -type f -size -2M ! -name '.*' ! -name done -print0 | sort -z)
done
# Camera RAWs: small DNGs as the RAW tests write them (a 12-bit CFA turned by
# its orientation, a JPEG preview, cut, a forged size) behind every request,
# and the RAW tests' own cases (not their pictures and answers).
convert -size 24x16 gradient:red-blue -depth 8 "$tmp/raw.ppm"
convert "$tmp/raw.ppm" -quality 90 "$tmp/rawpreview.jpg"
dng() { python3 "$here/../pixsig/make_dng.py" "$tmp/raw.ppm" "$tmp/$1" "${@:2}"; }
dng cfa12.dng --bits 12 --orientation 6
dng preview.dng --preview "$tmp/rawpreview.jpg" --orientation 8
dng absurd.dng --declare 60000x60000
head -c 400 "$tmp/cfa12.dng" >"$tmp/truncated.dng"
for name in cfa12 preview absurd truncated; do
    seed "$tmp/$name.dng" "rawsmall-$name-dng" all
done
bash "$here/../pixsig/raw_fixtures.sh" "$tmp/raw" >/dev/null
while IFS= read -r -d '' f; do
    name=${f##*/}
    seed "$f" "raw-${name//./-}"
done < <(find "$tmp/raw" -type f -size -2M \( -name '*.dng' -o -name '*.nef' -o -name '*.cr2' \
    -o -name '*.tif' \) -print0 | sort -z)
while IFS= read -r -d '' f; do
    name=${f##*/}
    seed "$f" "real-${name//./-}"
done < <(find "$here/../data/real/images" -type f -size -400k ! -name '*.md' -print0 | sort -z)
