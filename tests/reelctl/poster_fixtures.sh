#!/usr/bin/env bash
# Videos for the poster tests, made with the ffmpeg CLI.
#   counter_*.mp4  frame N has luma 16 + 2N (B-frames in a pyramid, one keyframe),
#                  4 s, 1.6 s and 2 s long; counter.h264 is a raw stream (no duration)
#   hd.mp4         1920x1080 test pattern tagged BT.709
#   portrait.mp4   1920x1080 stored, turned upright by its display matrix
#   bad.mp4        all-intra clip whose picture at 1.0 s is overwritten with noise
#   nodecoder.mp4  a sample entry no decoder knows; audio.m4a has no video
set -euo pipefail
fixtures="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$fixtures/damage.sh"
source "$fixtures/folder.sh"
fixture_folder "$1"

counter() {  # out seconds [format]
    ff -f lavfi -i "nullsrc=s=160x120:r=25:d=$2,geq=lum='16+2*N':cb=128:cr=128" \
        -c:v libx264 -preset veryfast -qp 4 -bf 3 -x264-params b-adapt=0:b-pyramid=normal \
        -g 250 -pix_fmt yuv420p -colorspace smpte170m -color_range tv "${@:3}" "$1"
}
counter counter_4s.mp4 4
counter counter_1.6s.mp4 1.6
counter counter_2s.mp4 2
counter counter.h264 2 -f h264

ff -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=2 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 -color_trc bt709 hd.mp4
ff -i hd.mp4 -c copy -metadata:s:v:0 rotate=90 portrait.mp4

ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -preset veryfast -g 1 \
    -pix_fmt yuv420p intra.mp4
damage_packet intra.mp4 bad.mp4 26

unknown_codec intra.mp4 nodecoder.mp4

ff -f lavfi -i sine=duration=1 -c:a aac audio.m4a

fixture_done
