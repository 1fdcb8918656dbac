#!/usr/bin/env bash
# Large progressive JPEGs (libjpeg's progression: DC first at reduced
# precision, AC bands, then the DC refinement), made from a real photo of the
# Debian package mate-backgrounds. $1: output folder.
#   edge.jpg       3584 x 3584: the smallest that libvips decodes at 1/8 for 224
#   below.jpg      4000 x 3583: one row short, decoded at 1/4
#   tagged.jpg     3600 x 3600, EXIF orientation 6, chroma not subsampled
#   sub420.jpg     3600 x 3600, chroma subsampled 2x2 (read with its AC at 1/8)
#   sub422.jpg     3600 x 3600, chroma subsampled 2x1
#   grey.jpg       3600 x 3600 greyscale
#   cmyk.jpg       3600 x 3600 CMYK (Adobe, inverted)
#   restart.jpg    3600 x 3600 with a restart marker every 7 MCUs
#   profile.jpg    3600 x 3600 with an embedded sRGB ICC profile
#   truncated.jpg  edge.jpg cut in the middle of its scans
#   baseline.jpg   3600 x 3600, not progressive
#   progressive.jpg  the same pixels saved progressive (the same coefficients)
set -euo pipefail
here=$(dirname "$(realpath "$0")")
mkdir -p "$1"
cd "$1"
[[ -f .done && .done -nt $here/$(basename "$0") ]] && exit 0
src=$(ls /usr/share/backgrounds/mate/nature/*.jpg | head -1)
. "$here/photo_resize.sh"
big edge.v 3584 3584
vips jpegsave edge.v edge.jpg --Q 90 --interlace
big below.v 4000 3583
vips jpegsave below.v below.jpg --Q 90 --interlace
big square.v 3600 3600
vips jpegsave square.v stored.jpg --Q 90 --interlace --subsample-mode off
vips jpegsave square.v sub420.jpg --Q 90 --interlace --subsample-mode on
vips copy square.v square.png
convert square.png -sampling-factor 2x1 -interlace JPEG -quality 90 sub422.jpg
vips colourspace square.v grey.v b-w
vips jpegsave grey.v grey.jpg --Q 90 --interlace
convert square.png -colorspace CMYK -interlace JPEG -quality 90 cmyk.jpg
vips jpegsave square.v restart.jpg --Q 90 --interlace --restart-interval 7
vips icc_transform square.v profile.jpg[Q=90,interlace] srgb --input-profile srgb
vips jpegsave square.v baseline.jpg --Q 90
vips jpegsave square.v progressive.jpg --Q 90 --interlace
python3 "$here/tag_orientation.py" stored.jpg tagged.jpg 6
python3 - <<'PY'
# Cut edge.jpg halfway between its third scan and its end.
edge = open("edge.jpg", "rb").read()
sos = [i for i in range(len(edge) - 1) if edge[i] == 0xFF and edge[i + 1] == 0xDA]
open("truncated.jpg", "wb").write(edge[:(sos[2] + len(edge)) // 2])
PY
rm -f ./*.v stored.jpg square.png
touch .done
