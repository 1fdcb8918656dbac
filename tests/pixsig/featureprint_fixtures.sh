#!/usr/bin/env bash
# Photos-like images of different content, their near-duplicates, and images
# in the formats and layouts the decoder must normalise. $1: output folder.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
mkdir -p "$1"
cd "$1"
[[ -f .done ]] && exit 0

# Six different scenes, 640x480, saved as high-quality JPEG originals.
convert -seed 7 -size 640x480 plasma:fractal -blur 0x1 scene1.png
convert logo: -resize 640x480! scene2.png
convert rose: -resize 640x480! scene3.png
convert -size 640x480 radial-gradient:yellow-navy -fill red -draw "circle 200,200 260,300" \
    -fill white -draw "rectangle 400,60 600,200" scene4.png
convert -size 640x480 pattern:checkerboard -fill green -tint 60 -fill black \
    -draw "polygon 100,400 320,40 540,400" scene5.png
convert -seed 3 -size 640x480 plasma:green-tan -swirl 180 scene6.png
for i in 1 2 3 4 5 6; do
    convert scene$i.png -quality 95 photo$i.jpg
    convert photo$i.jpg -resize 50% half$i.jpg
    convert photo$i.jpg -quality 30 q30_$i.jpg
    rm scene$i.png
done

# Real photos from the Debian package mate-backgrounds, at 800 pixels wide.
n=0
for f in /usr/share/backgrounds/mate/nature/*.jpg; do
    n=$((n + 1))
    convert "$f" -resize 800x -quality 92 real$n.jpg
    convert real$n.jpg -resize 50% realhalf$n.jpg
    convert real$n.jpg -quality 30 realq30_$n.jpg
done
echo $n >real.count

# Orientation: the pixels stored turned, with the EXIF tag that turns them
# back (6: rotate 90 degrees clockwise to display).
convert photo1.jpg -rotate 90 upright_rotated.png
convert photo1.jpg -rotate -90 -quality 95 stored.jpg
python3 "$here/tag_orientation.py" stored.jpg tagged.jpg 6

# Transparency flattened onto white: half transparent-black, half opaque.
convert photo3.jpg -alpha set -region 320x480+0+0 -channel A -evaluate set 0 +channel \
    +region transparent.png
convert transparent.png -background white -alpha remove -alpha off flat_white.png

# Greyscale and CMYK versions of photo2, a 16-bit PNG and a two-page TIFF.
convert photo2.jpg -colorspace Gray -quality 95 grey.jpg
convert grey.jpg -type TrueColor -quality 95 grey_rgb.jpg
convert photo2.jpg -colorspace CMYK -quality 95 cmyk.jpg
convert photo4.jpg -depth 16 deep.png
convert photo5.jpg photo6.jpg pages.tif
convert photo5.jpg page0.png

# Not images.
echo "hello" >text.jpg
head -c 2000 photo1.jpg >truncated.jpg
mkdir -p folder.jpg
touch .done
