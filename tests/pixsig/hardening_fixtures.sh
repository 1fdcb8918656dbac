#!/usr/bin/env bash
# Images for the hardening tests. $1: output folder.
#   photo.jpg      a small ordinary photo
#   other.png      a different small image, swapped in for photo.jpg
#   bomb.png       a 5 KB PNG declaring 100000 x 100000 pixels (its first rows only)
#   bomb.jpg       a JPEG declaring 65000 x 65000 pixels (the data of a 64 x 64 one)
#   bomb.gif       a 40-byte GIF declaring a 60000 x 60000 screen and image
#   bomb.tif       a 260-byte deflated TIFF declaring 60000 x 60000 pixels in one strip
#   gifbomb.gif    a 35-byte GIF declaring 16383 x 16383 pixels whose data ends after one
#   webpbomb.webp  a lossy WebP of 64 x 48 pixels whose frame header says 16383 x 16383
#   kind.EXT       one 320 x 240 picture in every kind pixsig reads (jpg png webp tif gif
#                  heic avif jxl); half.EXT its first half (all but tif, whose directory
#                  comes last)
#   clip.jpg       an MP4 video named as a JPEG
#   over.png       a PNG declaring 32769 x 32768 RGB pixels (one column over 2^30), its
#                  IDAT as long as deflate's best case for them (junk: never decoded)
#   image.fits, matrix.mat, photo.ppm, drawing.svg, table.csv
#                  files of kinds that only loaders pixsig blocks would read
set -euo pipefail
mkdir -p "$1"
cd "$1"
# Made once, and again whenever this script changes.
[[ -f .done && .done -nt $(realpath "$0") ]] && exit 0
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240 -frames:v 1 -q:v 4 photo.jpg
convert -size 200x100 gradient:yellow-navy other.png
convert -size 64x64 gradient:red-blue -quality 80 small64.jpg
python3 - <<'PY'
import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w = h = 100000
rows = b"".join(b"\0" + b"\x80" * (w * 3) for _ in range(16))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
open("bomb.png", "wb").write(png)
# The frame header (SOF0..SOF2) of a 64 x 64 JPEG, with its size raised.
jpeg = bytearray(open("small64.jpg", "rb").read())
at = 2
while at < len(jpeg):
    marker, length = jpeg[at + 1], struct.unpack(">H", jpeg[at + 2:at + 4])[0]
    if marker in (0xC0, 0xC1, 0xC2):
        jpeg[at + 5:at + 9] = struct.pack(">HH", 65000, 65000)
        break
    at += 2 + length
open("bomb.jpg", "wb").write(jpeg)
# GIF89a: a 60000 x 60000 screen with a two-colour palette, one image of that
# size whose LZW data is a single code.
gif = b"GIF89a" + struct.pack("<HHBBB", 60000, 60000, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
gif += b"," + struct.pack("<HHHHB", 0, 0, 60000, 60000, 0) + b"\x02\x02\x44\x01\x00;"
open("bomb.gif", "wb").write(gif)
# Baseline TIFF: one IFD, RGB, deflate, the whole image one strip whose data
# is 100 kB of zeros compressed.
data = zlib.compress(b"\0" * 100000, 9)
entries = [(256, 4, 60000), (257, 4, 60000), (258, 3, None), (259, 3, 8), (262, 3, 2),
           (273, 4, None), (277, 3, 3), (278, 4, 60000), (279, 4, len(data)), (284, 3, 1)]
bps = 8 + 2 + len(entries) * 12 + 4
tif = b"II*\0" + struct.pack("<IH", 8, len(entries))
for tag, kind, value in entries:
    count = 3 if tag == 258 else 1
    value = bps if tag == 258 else bps + 6 if tag == 273 else value
    tif += struct.pack("<HHI", tag, kind, count)
    tif += struct.pack("<HH", value, 0) if kind == 3 and count == 1 else struct.pack("<I", value)
tif += struct.pack("<I", 0) + struct.pack("<HHH", 8, 8, 8) + data
open("bomb.tif", "wb").write(tif)
PY
# Every kind read, whole and cut in half.
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240 -frames:v 1 kind.png
for ext in jpg webp tif gif heic avif jxl; do vips copy kind.png kind.$ext; done
for ext in jpg png webp gif heic avif jxl; do
    head -c $(($(stat -c %s kind.$ext) / 2)) kind.$ext >half.$ext
done
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=64x48 -frames:v 1 -c:v libwebp small64.webp
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=64x48 -t 1 -f mp4 clip.jpg
printf '2 2 1 0\n1 2\n3 4\n' >matrix.mat
printf '1,2,3\n4,5,6\n' >table.csv
convert -size 12x9 xc:orange photo.ppm
printf '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><rect width="20" height="10" fill="red"/></svg>' >drawing.svg
python3 - <<'PY'
import struct
# GIF89a: a 16383 x 16383 screen and image whose LZW data is a single code.
w = h = 16383
gif = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
gif += b"," + struct.pack("<HHHHB", 0, 0, w, h, 0) + b"\x02\x02\x44\x01\x00;"
open("gifbomb.gif", "wb").write(gif)
# A simple lossy WebP ("VP8 " chunk) with 14-bit frame sizes raised to the most.
webp = bytearray(open("small64.webp", "rb").read())
assert webp[12:16] == b"VP8 " and webp[23:26] == b"\x9d\x01\x2a"
webp[26:30] = struct.pack("<HH", 16383, 16383)
open("webpbomb.webp", "wb").write(webp)
import zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w, h = 32769, 32768
open("over.png", "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                             + chunk(b"IDAT", bytes(w * h * 3 // 1032 + 1)) + chunk(b"IEND", b""))
# FITS: one 2880-byte header block of 80-character cards, then the data.
cards = ["SIMPLE  =                    T", "BITPIX  =                    8",
         "NAXIS   =                    2", "NAXIS1  =                    4",
         "NAXIS2  =                    4", "END"]
header = "".join(c.ljust(80) for c in cards).ljust(2880).encode()
open("image.fits", "wb").write(header + bytes(range(16)).ljust(2880, b"\0"))
PY
rm small64.jpg small64.webp
touch .done
