#!/usr/bin/env bash
# Small media files covering what probe must tell apart. $1: output folder.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
matrix="$here/../../tools/fixtures/set_track_matrix.py"
stamp=$(sha256sum "$0" | cut -d' ' -f1)
mkdir -p "$out"
cd "$out"
[[ -f .done && "$(cat .done)" == "$stamp" ]] && exit 0

ff() { ffmpeg -nostdin -v error -y "$@"; }
src="-f lavfi -i testsrc2=size=320x240:rate=30:duration=2"
tone="-f lavfi -i sine=frequency=440:duration=2"

ff $src $tone -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest \
    -metadata creation_time=2024-03-01T09:15:00.250000Z h264_aac.mp4
ff $src -c:v libx264 -preset ultrafast -pix_fmt yuv420p silent.mp4
ff -f lavfi -i testsrc2=size=320x240:rate=30000/1001:duration=1 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p ntsc.mp4
ff -f lavfi -i testsrc2=size=160x120:rate=2997/100:duration=1 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p -video_track_timescale 2997 r2997.mp4
ff -i silent.mp4 -c copy -metadata:s:v:0 rotate=90 rotated90.mp4
ff -i silent.mp4 -c copy -metadata:s:v:0 rotate=180 rotated180.mp4
cp silent.mp4 mirrored.mp4 && python3 "$matrix" mirrored.mp4 -1 0 0 1
cp silent.mp4 transposed.mp4 && python3 "$matrix" transposed.mp4 0 1 1 0
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -vf setsar=3/2 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p anamorphic.mp4
ff -f lavfi -i testsrc2=size=1280x720:rate=30:duration=1 -vf setsar=sar=9997/10000:max=10000 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p fractional.mp4
ff $src $tone -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest \
    -metadata creation_time=2023-12-31T23:59:59Z h264.mkv
ff $src -c:v libx264 -preset ultrafast -pix_fmt yuv420p h264.mov
ff $src -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p hev1.mp4
ff $src -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1 \
    hvc1.mp4
ff $src -c:v mpeg4 mpeg4.mp4
ff -f lavfi -i testsrc2=size=64x48:rate=30:duration=0.2 -c:v rawvideo -pix_fmt rgb24 raw.mov
ff -f lavfi -i testsrc2=size=160x120:rate=30:duration=1 -c:v libvpx-vp9 -deadline realtime \
    -cpu-used 8 vp9.webm
ff -f lavfi -i testsrc2=size=64x48:rate=30:duration=0.2 -c:v libaom-av1 -cpu-used 8 \
    -usage realtime av1.mkv
ff -f lavfi -i testsrc2=size=160x120:rate=30:duration=1 -c:v libvpx -deadline realtime \
    -cpu-used 8 vp8.webm
ff -f lavfi -i testsrc2=size=160x120:rate=30:duration=1 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264 raw.h264
ff -f lavfi -i testsrc2=size=160x120:rate=30:duration=1 -f lavfi -i testsrc=size=640x360:rate=30:duration=1 \
    -map 0:v -map 1:v -c:v libx264 -preset ultrafast -pix_fmt yuv420p two_video.mp4
ff $tone -c:a aac audio.m4a
ff -f lavfi -i sine=duration=1 -f lavfi -i testsrc2=size=64x64:duration=0.04 -map 0:a -map 1:v \
    -c:a libmp3lame -c:v mjpeg -frames:v 1 -disposition:v attached_pic cover.mp3
printf 'this is not a video\n' >notes.txt
head -c 3000 silent.mp4 >truncated.mp4
: >empty.mp4
mkdir -p folder.mp4
cp silent.mp4 'clip:1.mp4'
echo "$stamp" >.done
