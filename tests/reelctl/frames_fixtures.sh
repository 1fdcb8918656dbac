#!/usr/bin/env bash
# Videos for the frame-grabbing and frames tests, made with the ffmpeg CLI.
#   counter*      frame N has luma 16 + 2N (B-frames in a pyramid): the frame
#                 shown at a time can be read back from its grey level
#   hd.mp4        1920x1080 test pattern tagged BT.709
#   quad*.mp4     four coloured quadrants, turned and mirrored by display matrices
#   colour_*.mp4  one colour (#C02040) through several matrices, ranges, depths
#   wide.mp4      1000x333 (4:4:4)
#   bad.mp4       all-intra clip with the picture at 2.0 s overwritten with noise
#   nodecoder.mp4 a sample entry no decoder knows
set -euo pipefail
fixtures="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$fixtures/damage.sh"
source "$fixtures/folder.sh"
fixture_folder "$1"

counter() {  # out gop
    ff -f lavfi -i "nullsrc=s=160x120:r=25:d=4,geq=lum='16+2*N':cb=128:cr=128" \
        -c:v libx264 -preset veryfast -qp 4 -bf 3 -x264-params b-adapt=0:b-pyramid=normal \
        -g "$2" -keyint_min "$2" -sc_threshold 0 -pix_fmt yuv420p -colorspace smpte170m \
        -color_range tv "$1"
}
counter counter_long.mp4 250
counter counter_gop.mp4 25
# The same stream in Matroska (keyframe cues) and MPEG-TS (no index, starts at 1.4 s).
ff -i counter_gop.mp4 -c copy counter_gop.mkv
ff -i counter_gop.mp4 -c copy counter_gop.ts
# A picture that changes size: the counter at 160x120 for 1 s, then at 320x240
# (frames 25 to 49), one MPEG-TS after the other as a broadcast switches.
for part in "160x120 0 0" "320x240 25 1"; do
    read -r size from offset <<<"$part"
    ff -f lavfi -i "nullsrc=s=$size:r=25:d=1,geq=lum='16+2*(N+$from)':cb=128:cr=128" \
        -c:v libx264 -preset veryfast -qp 4 -bf 0 -pix_fmt yuv420p -colorspace smpte170m \
        -color_range tv -output_ts_offset "$offset" "resize_$from.ts"
done
cat resize_0.ts resize_25.ts >counter_resize.ts
rm resize_0.ts resize_25.ts

ff -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=2 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 -color_trc bt709 hd.mp4

ff -f lavfi -i "color=red:s=160x90:d=1:r=25[a];color=0x00ff00:s=160x90:d=1:r=25[b];\
color=blue:s=160x90:d=1:r=25[c];color=white:s=160x90:d=1:r=25[d];\
[a][b][c][d]xstack=inputs=4:layout=0_0|w0_0|0_h0|w0_h0" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p quad.mp4
for r in 90 180 270; do
    ff -i quad.mp4 -c copy -metadata:s:v:0 rotate=$r quad_rot$r.mp4
done
# The track header's matrix (a b u c d v x y w, 16.16 and 2.30 fixed point)
# sits 48 bytes into the version-0 tkhd box.
matrix() {  # file, nine 32-bit hex words
    local f=$1 off bytes=""
    shift
    off=$(grep -obUa tkhd "$f" | head -1 | cut -d: -f1)
    for w in "$@"; do bytes+=$(printf '\\x%s\\x%s\\x%s\\x%s' ${w:0:2} ${w:2:2} ${w:4:2} ${w:6:2}); done
    printf "$bytes" | dd of="$f" bs=1 seek=$((off - 4 + 48)) conv=notrunc status=none
}
cp quad.mp4 quad_mirror.mp4  # x' = -x + w
matrix quad_mirror.mp4 ffff0000 00000000 00000000 00000000 00010000 00000000 01400000 00000000 \
    40000000
cp quad.mp4 quad_transpose.mp4  # x' = y, y' = x
matrix quad_transpose.mp4 00000000 00010000 00000000 00010000 00000000 00000000 00000000 \
    00000000 40000000

colour() {  # out matrix range pix_fmt tag
    ff -f lavfi -i color=c=0xC02040:s=320x240:d=1:r=25 \
        -vf "scale=out_color_matrix=$2:out_range=$3,format=$4" -c:v libx264 -preset veryfast \
        -qp 0 -colorspace "$5" -color_range "$3" "$1"
}
colour colour_709tv.mp4 bt709 tv yuv420p bt709
colour colour_601tv.mp4 bt601 tv yuv420p smpte170m
colour colour_709pc.mp4 bt709 pc yuv420p bt709
colour colour_709tv10.mp4 bt709 tv yuv420p10le bt709

ff -f lavfi -i testsrc2=size=1000x334:rate=25:duration=1 -vf scale=1000:333 -c:v libx264 \
    -preset veryfast -pix_fmt yuv444p wide.mp4

ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=4 -c:v libx264 -preset veryfast -g 1 \
    -pix_fmt yuv420p intra.mp4
damage_packet intra.mp4 bad.mp4 51

unknown_codec quad.mp4 nodecoder.mp4

ff -f lavfi -i sine=duration=1 -c:a aac audio.m4a
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p -f h264 raw.h264

fixture_done
