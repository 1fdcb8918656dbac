#!/usr/bin/env bash
# Files laid out as other writers lay them out: program streams, transport
# streams with data before the picture, an elementary stream whose only rate
# is its bitstream's, phone track headers, an ASF that starts late.
# The counter clips show their frame number N as the luma 16 + 2N of a 64-row
# band on top of a moving test pattern (so that a grey or damaged picture
# shows against ffmpeg's own decode of the same frame).
#   counter.vob     MPEG-2 (open GOPs of 12, B-frames) + MP2 in a DVD program stream, 4 s
#   counter.mpg     MPEG-2 (GOPs of 15) + AC-3 in an MPEG-1 system stream, 4 s
#   klv.ts          H.264 counter (3 s) whose KLV data stream starts 0.73 s before it
#   scte35.ts       the same with an SCTE-35 cue stream 0.73 s before the picture
#   rate.m4v        raw MPEG-4 Part 2 at 25 fps: no container, the rate only in
#                   the bitstream's VOL header
#   phone.mp4       coded 240x320, track header 320x240, 'pasp' 3:4, turned 90 degrees
#   scaled.mp4      320x240 whose display matrix turns and scales: x by 0.75
#   late.asf        WMV 8 + WMA counter, 3 s, its picture starting 0.6 s in
set -euo pipefail
tools="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$tools/folder.sh"
fixture_folder "$1"

# The counter band over the test pattern, W x H in all, for D seconds at 25 fps.
counter() {
    echo "-f lavfi -i nullsrc=s=${1}x64:r=25:d=${3},geq=lum='16+2*N':cb=128:cr=128
          -f lavfi -i testsrc2=s=${1}x$(($2 - 64)):r=25:d=${3}"
}
band="[0][1]vstack,format=yuv420p[v]"

ff $(counter 320 240 4) -f lavfi -i sine=duration=4:sample_rate=48000 -filter_complex "$band" \
    -map '[v]' -map 2 -c:v mpeg2video -q:v 2 -g 12 -bf 2 -c:a mp2 -f vob counter.vob
ff $(counter 320 240 4) -f lavfi -i sine=duration=4:sample_rate=48000 -filter_complex "$band" \
    -map '[v]' -map 2 -c:v mpeg2video -q:v 2 -g 15 -bf 2 -c:a ac3 -f mpeg counter.mpg

ff -f lavfi -i "nullsrc=s=320x240:r=25:d=3,geq=lum='16+2*N':cb=128:cr=128" -c:v libx264 \
    -preset veryfast -qp 4 -bf 0 -g 25 -x264-params aud=1 -pix_fmt yuv420p -f h264 counter.h264
printf '\x06\x0e\x2b\x34\x02\x0b\x01\x01\x0e\x01\x03\x01\x01\x00\x00\x00\x04\x00\x00\x00\x01' >key.klv
python3 "$tools/ts_write.py" klv.ts h264:0x1b:counter.h264:1.73:0.04 klv:0x06:key.klv:1.0:0.5
# A cue section takes the time of the clock reference before it: 0.1 s earlier.
python3 "$tools/ts_write.py" scte35.ts h264:0x1b:counter.h264:1.73:0.04 scte35:0x86::1.1:0.5

ff -f lavfi -i testsrc2=s=176x144:r=25:d=3 -c:v mpeg4 -f m4v rate.m4v

ff -f lavfi -i testsrc2=s=240x320:r=25:d=2 -vf setsar=3/4 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p phone.mp4
python3 "$tools/set_track_matrix.py" phone.mp4 0 1 -1 0 320 240
ff -f lavfi -i testsrc2=s=320x240:r=25:d=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
    scaled.mp4
python3 "$tools/set_track_matrix.py" scaled.mp4 0 0.75 -1 0

ff $(counter 352 288 3) -f lavfi -i sine=duration=3:sample_rate=44100 -filter_complex "$band" \
    -map '[v]' -map 2 -c:v wmv2 -q:v 2 -c:a wmav2 -output_ts_offset 0.6 late.asf

fixture_done
