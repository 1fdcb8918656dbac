#!/usr/bin/env bash
# Media for the hardening tests, made with the ffmpeg CLI.
#   clip.mp4       2 s, 160x120, moov first (readable from a pipe)
#   long10h.mp4    one 64x48 frame whose duration is ten hours (the header says 36000 s)
#   big.mp4        8 s at 320x240, large enough to be truncated while being read
# The frame grabber fuzzer's kept findings (tests/fuzz/regressions/frames-*)
# are copied beside them, into reproducers/.
set -euo pipefail
dir=$1
kept="$(cd "$(dirname "$0")/../fuzz/regressions" && pwd)"
sum=$({ cat "$0"; cat "$kept"/frames-* 2>/dev/null || true; } | sha256sum | cut -d' ' -f1)
[[ -f $dir/.stamp && "$(cat "$dir/.stamp")" == "$sum" ]] && exit 0
rm -rf "$dir"
mkdir -p "$dir"
if compgen -G "$kept/frames-*" >/dev/null; then
    mkdir -p "$dir/reproducers"
    cp "$kept"/frames-* "$dir/reproducers/"
fi
cd "$dir"
ff() { ffmpeg -nostdin -v error -y "$@"; }

ff -f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -c:v libx264 -preset veryfast -g 25 \
    -pix_fmt yuv420p -movflags +faststart clip.mp4
ff -f lavfi -i "color=c=red:s=64x48:r=1/36000" -frames:v 1 -c:v libx264 -pix_fmt yuv420p \
    long10h.mp4
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=8 -c:v libx264 -preset veryfast -g 50 \
    -pix_fmt yuv420p big.mp4

echo "$sum" >.stamp
