#!/usr/bin/env bash
# Seed files for the imaging harness: a real photo (from the Debian package
# mate-backgrounds) at 320 x 256, large enough for the harness's square to
# take the DC-scan path, saved progressive every way the scan walk tells
# apart (sampling, greyscale, CMYK, restart markers, an ICC profile, an EXIF
# turn, hand-made scan sequences: DC per component, DC only, AC bands left
# incomplete, DC refined twice, arithmetic coding), cut short, one row too
# small, baseline; small files of other formats (every kind read, whole and
# cut, bombs, and kinds no allowed loader reads: the hardening fixtures');
# small camera RAWs (DNGs: CFA, preview, cut, forged); the real-world images of
# tests/data/real/images (under 400 KB; of the EXIF sets, turns 1 and 6
# only), and two of them made progressive.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
src=$(ls /usr/share/backgrounds/mate/nature/*.jpg | head -1)
. "$here/../pixsig/photo_resize.sh"
big photo.v 320 256
vips jpegsave photo.v "$out/p420.jpg" --Q 85 --interlace
vips jpegsave photo.v p444.jpg --Q 85 --interlace --subsample-mode off
cp p444.jpg "$out/p444.jpg"
vips colourspace photo.v grey.v b-w
vips jpegsave grey.v "$out/pgrey.jpg" --Q 85 --interlace
vips copy photo.v photo.png
convert photo.png -colorspace CMYK -interlace JPEG -quality 85 "$out/pcmyk.jpg"
vips jpegsave photo.v "$out/prestart.jpg" --Q 85 --interlace --restart-interval 3
vips icc_transform photo.v "$out/pprofile.jpg[Q=85,interlace]" srgb --input-profile srgb
python3 "$here/../pixsig/tag_orientation.py" p444.jpg "$out/pturned.jpg" 6
vips jpegsave photo.v baseline.jpg --Q 85
cp baseline.jpg "$out/baseline.jpg"
big narrow.v 320 255
vips jpegsave narrow.v "$out/pnarrow.jpg" --Q 85 --interlace
head -c 9000 "$out/p420.jpg" >"$out/ptruncated.jpg"
# Scan sequences libjpeg's default progression never writes.
script() {  # name lines...: baseline.jpg recoded with that scan script
    local name=$1
    shift
    printf '%s\n' "$@" >"$name.scans"
    jpegtran -scans "$name.scans" -outfile "$out/$name.jpg" baseline.jpg
}
script dcapart '0: 0-0, 0, 0;' '1: 0-0, 0, 0;' '2: 0-0, 0, 0;' \
    '0: 1-63, 0, 0;' '1: 1-63, 0, 0;' '2: 1-63, 0, 0;'
script dconly '0,1,2: 0-0, 0, 0;'
script acpart '0,1,2: 0-0, 0, 0;' '0: 1-5, 0, 0;' '1: 1-63, 0, 1;' '2: 1-63, 0, 0;'
script dctwice '0,1,2: 0-0, 0, 2;' '0: 1-63, 0, 0;' '1: 1-63, 0, 0;' '2: 1-63, 0, 0;' \
    '0,1,2: 0-0, 2, 1;' '0,1,2: 0-0, 1, 0;'
jpegtran -progressive -arithmetic -outfile "$out/parith.jpg" baseline.jpg
# Other formats, small.
ff() { ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=24x16 -frames:v 1 "$@"; }
ff "$out/small.png"
ff -pix_fmt rgba "$out/alpha.png"
ff -pix_fmt gray "$out/gray.png"
ff "$out/small.gif"
ff -c:v libwebp "$out/small.webp"
ff "$out/small.tiff"
printf '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><rect width="20" height="10" fill="red"/></svg>' >"$out/small.svg"
made=${FIXTURE_ROOT:-$PWD}/pixsig/hardening
bash "$here/../pixsig/hardening_fixtures.sh" "$made" >/dev/null
for name in kind.heic kind.avif kind.jxl half.jpg half.png half.webp half.gif half.heic half.avif \
    half.jxl gifbomb.gif webpbomb.webp bomb.png bomb.tif clip.jpg image.fits matrix.mat photo.ppm \
    table.csv; do
    cp "$made/$name" "$out/hardening-${name//./-}"
done
# Camera RAWs as the RAW tests write them, small: a 12-bit CFA DNG turned by
# its orientation, one with a JPEG preview, one cut in half, one whose header
# declares 60000 x 60000.
convert -size 24x16 gradient:red-blue -depth 8 raw.ppm
convert raw.ppm -quality 90 rawpreview.jpg
dng() { python3 "$here/../pixsig/make_dng.py" raw.ppm "$out/raw-$1" "${@:2}"; }
dng cfa12.dng --bits 12 --orientation 6
dng preview.dng --preview rawpreview.jpg --orientation 8
dng absurd.dng --declare 60000x60000
head -c 400 "$out/raw-cfa12.dng" >"$out/raw-truncated.dng"
while IFS= read -r -d '' f; do
    name=${f##*/}
    cp "$f" "$out/real-${name//./-}"
done < <(find "$here/../data/real/images" -type f -size -400k ! -name '*.md' \
    ! -name 'exif-*_[2-57-8].jpg' -print0 | sort -z)
for name in exif-portrait_6 pillow-flower; do
    jpegtran -copy all -progressive -outfile "$out/real-progressive-$name.jpg" \
        "$here/../data/real/images/$name.jpg"
done
