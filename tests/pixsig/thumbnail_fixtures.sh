#!/usr/bin/env bash
# Images for the thumbnail tests, made with ImageMagick and libvips:
#   thumbnail_fixtures.sh <dir>
set -euo pipefail
export LC_ALL=C
dir=$1
script=$(realpath "$0")
mkdir -p "$dir"
cd "$dir"
# Made once, and again whenever this script changes.
[[ -f done && done -nt $script ]] && exit 0

# RGB in the common containers; a palette PNG is RGB too.
convert -size 640x480 gradient:red-blue -quality 90 rgb.jpg
convert -size 640x480 gradient:red-blue PNG24:rgb.png
convert -size 64x48 gradient:red-blue -colors 16 PNG8:palette.png
convert -size 300x200 xc:green small.jpg
convert -size 200x150 xc:green r200x150.jpg
vips black big.jpg 4000 3000 --bands 3

# Kinds the renderer declines.
convert -size 64x48 gradient:black-white -colorspace Gray -type Grayscale gray.jpg
convert rgb.jpg -colorspace CMYK cmyk.jpg
vips colourspace rgb.png lab.tif lab
vips colourspace rgb.png xyz.tif xyz  # a colour model of none of the four kinds
convert -size 64x48 xc:'rgba(255,0,0,0.5)' PNG32:alpha.png
convert -size 64x48 xc:red -fill white -draw 'rectangle 0,0 10,10' -transparent white PNG8:trns.png
convert -size 64x48 gradient:red-blue -depth 16 PNG48:deep.png
vips cast rgb.png float.tif float

# A 300x200 landscape whose EXIF says "rotate 90 degrees clockwise to view"
# (orientation 6) and names a camera maker; red square at the stored top left.
convert -size 300x200 xc:blue -fill red -draw 'rectangle 0,0 59,59' -quality 95 plain.jpg
exif='\xff\xe1\x00\x2eExif\x00\x00II*\x00\x08\x00\x00\x00\x02\x00'
exif+='\x0f\x01\x02\x00\x04\x00\x00\x00Cam\x00'   # Make "Cam"
exif+='\x12\x01\x03\x00\x01\x00\x00\x00\x06\x00\x00\x00'  # Orientation 6
exif+='\x00\x00\x00\x00'
{ head -c 2 plain.jpg; printf "$exif"; tail -c +3 plain.jpg; } >o6.jpg

# A flat sRGB colour (200, 100, 50) stored in Display P3 with that profile.
convert -size 64x48 xc:'rgb(200,100,50)' PNG24:flat.png
vips icc_transform flat.png p3.jpg p3

# Files that are not thumbnails to be: half a JPEG, text, and a small JPEG
# whose header declares 60000 x 60000 pixels.
head -c $(($(stat -c %s rgb.jpg) / 2)) rgb.jpg >truncated.jpg
echo "not an image" >text.txt
cp small.jpg bomb.jpg
sof=$(grep -obUaP '\xff\xc0' bomb.jpg | head -1 | cut -d: -f1)
printf '\xea\x60\xea\x60' | dd of=bomb.jpg bs=1 seek=$((sof + 5)) conv=notrunc status=none
mkdir -p folder.jpg

touch done
