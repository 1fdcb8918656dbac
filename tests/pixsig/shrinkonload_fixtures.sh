#!/usr/bin/env bash
# Large JPEGs whose smallest DCT-scaled picture covering 224x224 is finer
# than the scale libvips's thumbnail decodes them at, made from a real photo
# of the Debian package mate-backgrounds. $1: output folder.
#   baseline.jpg     4000 x 3000 (libvips: 1/4; 1/8 would cover 224)
#   progressive.jpg  the same pixels saved progressive (the same coefficients)
#   tagged.jpg       3000 x 4000 stored, EXIF orientation 6, progressive
#   cmyk.jpg         4000 x 3000 CMYK (Adobe, inverted)
#   grey.jpg         4000 x 3000 greyscale, progressive
#   profile.jpg      4000 x 3000 with an embedded sRGB ICC profile
#   mid.jpg          1200 x 900 (libvips: 1/2; 1/4 would cover 224)
#   small.jpg        600 x 450 (libvips: whole; 1/2 would cover 224)
set -euo pipefail
here=$(dirname "$(realpath "$0")")
mkdir -p "$1"
cd "$1"
[[ -f .done && .done -nt $here/$(basename "$0") ]] && exit 0
src=$(ls /usr/share/backgrounds/mate/nature/*.jpg | sed -n 2p)
. "$here/photo_resize.sh"
big wide.v 4000 3000
vips jpegsave wide.v baseline.jpg --Q 90
vips jpegsave wide.v progressive.jpg --Q 90 --interlace
vips rot wide.v tall.v d270
vips jpegsave tall.v stored.jpg --Q 90 --interlace
python3 "$here/tag_orientation.py" stored.jpg tagged.jpg 6
vips copy wide.v wide.png
convert wide.png -colorspace CMYK -quality 90 cmyk.jpg
vips colourspace wide.v grey.v b-w
vips jpegsave grey.v grey.jpg --Q 90 --interlace
vips icc_transform wide.v profile.jpg[Q=90] srgb --input-profile srgb
vips resize baseline.jpg mid.jpg[Q=90] 0.3
vips resize baseline.jpg small.jpg[Q=90] 0.15
rm -f ./*.v wide.png stored.jpg
touch .done
