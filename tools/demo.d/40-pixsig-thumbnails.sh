#!/usr/bin/env bash
# pixsig thumbnails in serve mode: a 12-megapixel photo-like JPEG whose EXIF
# says "turn 90 degrees clockwise", thumbnailed as stored (orientation tag kept),
# turned upright, redrawn to an exact size; a greyscale image (declined) and a
# missing file (failed) in the same session; then a real phone-style portrait
# photo (tests/data/real) stored on its side with EXIF orientation 6, turned
# upright at full size (no resize at all) and at exactly half size (the JPEG
# shrink lands on it), a given orientation only tagging the file.
set -euo pipefail
dir=$DEMO_DIR/thumbnails
real=$(cd "$(dirname "$0")/../../tests/data/real/images" && pwd)/exif-portrait_6.jpg
mkdir -p "$dir"
cd "$dir"
if [[ ! -f photo.jpg ]]; then
    vips gaussnoise r.v 64 48 --sigma 50 --seed 1
    vips gaussnoise g.v 64 48 --sigma 50 --seed 2
    vips gaussnoise b.v 64 48 --sigma 50 --seed 3
    vips bandjoin "r.v g.v b.v" c.v
    vips resize c.v s.v 64 --kernel cubic
    vips crop s.v u.v 0 0 4000 3000
    vips cast u.v "plain.jpg[Q=90]" uchar
    rm -f r.v g.v b.v c.v s.v u.v
    # EXIF segment with orientation 6 only.
    { head -c 2 plain.jpg
      printf '\xff\xe1\x00\x22Exif\x00\x00II*\x00\x08\x00\x00\x00\x01\x00\x12\x01\x03\x00\x01\x00\x00\x00\x06\x00\x00\x00\x00\x00\x00\x00'
      tail -c +3 plain.jpg; } >photo.jpg
    rm plain.jpg
    vips colourspace photo.jpg grey.jpg b-w
fi
echo "\$ pixsig --thumb-protocol"
"$BIN/pixsig" --thumb-protocol
requests=$(cat <<JSON
{"op":"thumb","id":"as-stored","path":"photo.jpg","out":"thumb.jpg"}
{"op":"thumb","id":"upright","path":"photo.jpg","out":"upright.jpg","transform":true,"size":256}
{"op":"thumb","id":"exact","path":"photo.jpg","out":"exact.jpg","size":300,"width":320,"height":320,"quality":0.6}
{"op":"thumb","id":"grey","path":"grey.jpg","out":"grey-thumb.jpg"}
{"op":"thumb","id":"missing","path":"missing.jpg","out":"missing-thumb.jpg"}
{"op":"thumb","id":"portrait-full","path":"$real","out":"portrait-full.jpg","transform":true,"size":2000}
{"op":"thumb","id":"portrait-half","path":"$real","out":"portrait-half.jpg","transform":true,"orientation":3,"size":900}
{"op":"thumb","id":"portrait-tagged","path":"$real","out":"portrait-tagged.jpg","orientation":3,"size":900}
JSON
)
echo "\$ pixsig --serve   (in $dir)"
echo "$requests" | sed 's/^/> /'
echo "$requests" | "$BIN/pixsig" --serve
for f in thumb.jpg upright.jpg exact.jpg portrait-full.jpg portrait-half.jpg portrait-tagged.jpg; do
    printf '%-20s %sx%s, orientation tag: %s\n' "$f" "$(vipsheader -f width "$f")" "$(vipsheader -f height "$f")" \
        "$(vipsheader -f orientation "$f" 2>/dev/null || echo none)"
done
