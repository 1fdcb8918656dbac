#!/usr/bin/env bash
# Images derived from the real-world set (tests/data/real/images) with the
# vips command-line tools, for the real-world tests:
#   crop224-6.jpg   a 224x224 crop of a photo stored with EXIF orientation 6:
#                   a feature print needs no resize at all
#   crop896-6.jpg   an 896x896 crop: the JPEG shrink-on-load lands exactly on 224
#   huge.png        a 20000x20000 PNG (400 megapixels), no shrink-on-load
#   realworld_fixtures.sh <dir>
set -euo pipefail
export LC_ALL=C
dir=$1
real=$(cd "$(dirname "$0")/../data/real/images" && pwd)
script=$(realpath "$0")
mkdir -p "$dir"
cd "$dir"
[[ -f done && done -nt $script ]] && exit 0
vips crop "$real/exif-portrait_6.jpg" "crop224-6.jpg[Q=95]" 700 300 224 224
vips crop "$real/exif-portrait_6.jpg" "crop896-6.jpg[Q=95]" 300 100 896 896
# Diagonal colour stripes, written row by row: a wrong turn or a lost row
# would show in the thumbnail.
python3 - <<'PY'
import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w = h = 20000
base = bytes((i * 7) % 256 for i in range(3 * w + 3 * 1024))
z = zlib.compressobj(1)
with open("huge.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
    for y in range(h):
        offset = 3 * ((y // 16) % 1024)
        data = z.compress(b"\0" + base[offset:offset + 3 * w])
        if data:
            f.write(chunk(b"IDAT", data))
    f.write(chunk(b"IDAT", z.flush()) + chunk(b"IEND", b""))
PY
touch done
