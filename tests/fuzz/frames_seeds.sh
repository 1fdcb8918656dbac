#!/usr/bin/env bash
# Seed videos for the frame grabber harness: a few tiny frames in several
# containers and codecs (each well under 200 KB).
set -euo pipefail
out=$1
mkdir -p "$out"
[[ -f $out/h264.mp4 ]] && exit 0
ff() { ffmpeg -v error -nostdin -y "$@"; }
src=(-f lavfi -i testsrc2=size=32x24:rate=10:duration=0.5)
ff "${src[@]}" -c:v libx264 -g 3 -bf 2 -pix_fmt yuv420p "$out/h264.mp4"
ff "${src[@]}" -c:v libx264 -g 3 -pix_fmt yuv420p -metadata:s:v rotate=90 "$out/rotated.mov"
ff "${src[@]}" -c:v mpeg4 -g 2 "$out/mpeg4.avi"
ff "${src[@]}" -c:v libvpx -g 3 -b:v 50k "$out/vp8.webm"
ff "${src[@]}" -c:v mjpeg -pix_fmt yuvj422p "$out/mjpeg.mkv"
ff "${src[@]}" -c:v mpeg2video -g 3 -bf 1 "$out/mpeg2.ts"
ff "${src[@]}" -c:v libx264 -pix_fmt yuv444p -vf setsar=2/1 "$out/sar.mkv"
ff -f lavfi -i testsrc2=size=16x16:rate=5:duration=0.4 -c:v gif "$out/anim.gif"
ff -f lavfi -i testsrc2=size=16x16:rate=5:duration=0.4 -c:v rawvideo -pix_fmt yuv420p "$out/raw.nut"
ff -f lavfi -i testsrc2=size=24x16:rate=5:duration=0.4 -c:v png -f matroska "$out/png.mkv"
