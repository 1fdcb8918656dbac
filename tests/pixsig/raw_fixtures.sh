#!/usr/bin/env bash
# Camera RAWs for the RAW tests, written as DNGs by make_dng.py from pictures
# made with ImageMagick, and their answers from LibRaw's own dcraw_emu and
# the pictures themselves:
#   blocks.ppm      600x400: red top left, yellow bottom right, white centre on blue
#   cfa12.dng       blocks, 12-bit packed CFA (as cinema cameras write), orientation 6
#   preview.dng     blocks, 16-bit CFA, orientation 8, a 300x200 JPEG preview whose
#                   bottom ten rows are black (preview.jpg): it covers 256, not 512
#   photo.dng       a real photo's 600x400 crop, orientation 6, its camera JPEG twin
#                   (twin.jpg, tagged 6) as a full-size preview
#   bare.dng        the same photo with no preview: developed
#   dev-*.png       dcraw_emu's development of each (camera white balance, sRGB,
#                   pixels as stored), -half.png at half size; up-*.png turned upright
#   truncated.dng   cfa12.dng cut in half; absurd.dng declares 60000x60000 over
#                   the blocks' data; renamed.nef a PNG; text.cr2 text; tiffjunk.tif
#                   a TIFF header and nothing else
#   huge.dng        a 9504x6336 (60-megapixel) sparse DNG of zeros, no preview;
#   toolarge.dng    a 20000x15000 one
#   raw_fixtures.sh <dir>
set -euo pipefail
export LC_ALL=C
dir=$1
here=$(cd "$(dirname "$0")" && pwd)
script=$(realpath "$0")
mkdir -p "$dir"
cd "$dir"
[[ -f done && done -nt $script && done -nt $here/make_dng.py ]] && exit 0
dng() { python3 "$here/make_dng.py" "$@"; }

convert -size 600x400 xc:blue -fill red -draw 'rectangle 0,0 199,199' \
    -fill yellow -draw 'rectangle 400,200 599,399' -fill white -draw 'rectangle 250,150 349,249' \
    -depth 8 blocks.ppm
convert blocks.ppm -resize 300x200 -fill black -draw 'rectangle 0,190 299,199' -quality 95 preview.jpg
dng blocks.ppm cfa12.dng --bits 12 --orientation 6
dng blocks.ppm preview.dng --orientation 8 --preview preview.jpg

vips crop "$here/../data/real/images/exif-landscape_1.jpg" photo.ppm 600 400 600 400
convert photo.ppm -quality 92 stored.jpg
python3 "$here/tag_orientation.py" stored.jpg twin.jpg 6
dng photo.ppm photo.dng --orientation 6 --preview stored.jpg
dng photo.ppm bare.dng --orientation 6

for f in cfa12 preview bare; do
    dcraw_emu -w -o 1 -g 2.4 12.92 -t 0 -T -Z "$f.tiff" "$f.dng"
    dcraw_emu -w -o 1 -g 2.4 12.92 -t 0 -h -T -Z "$f-half.tiff" "$f.dng"
    dcraw_emu -w -o 1 -g 2.4 12.92 -T -Z "up-$f.tiff" "$f.dng"
    vips copy "$f.tiff" "dev-$f.png"
    vips copy "$f-half.tiff" "dev-$f-half.png"
    vips copy "up-$f.tiff" "up-$f.png"
    rm "$f.tiff" "$f-half.tiff" "up-$f.tiff"
done

head -c $(($(stat -c %s cfa12.dng) / 2)) cfa12.dng >truncated.dng
dng blocks.ppm absurd.dng --declare 60000x60000
convert blocks.ppm PNG24:renamed.nef
echo "not a camera RAW" >text.cr2
printf 'II*\0\10\0\0\0' >tiffjunk.tif
dng blocks.ppm huge.dng --sparse 9504x6336
dng blocks.ppm toolarge.dng --sparse 20000x15000
touch done
