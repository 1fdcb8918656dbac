#!/usr/bin/env bash
# Media for the output tests, made with the ffmpeg CLI.
#   clip.mp4      2 s, 160x120, moov first
#   damaged.mp4   its first 40%: the header promises pictures that are not there
#   long.mp4      40 s at 320x240, for a transcode or frames run still under way when signalled
set -euo pipefail
dir=$1
sum=$(sha256sum <"$0" | cut -d' ' -f1)
[[ -f $dir/.stamp && "$(cat "$dir/.stamp")" == "$sum" ]] && exit 0
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
ff() { ffmpeg -nostdin -v error -y "$@"; }

ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -c:v libx264 -preset veryfast -g 25 \
    -pix_fmt yuv420p -movflags +faststart clip.mp4
head -c $(($(stat -c %s clip.mp4) * 4 / 10)) clip.mp4 >damaged.mp4
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=40 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p long.mp4

echo "$sum" >.stamp
