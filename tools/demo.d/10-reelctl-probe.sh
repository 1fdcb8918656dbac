#!/usr/bin/env bash
# reelctl probe on a generated 1080p H.264 clip with audio and a creation date.
set -euo pipefail
src=$DEMO_DIR/sample.mp4
if [[ ! -f $src ]]; then
    ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=6 \
        -f lavfi -i sine=frequency=440:duration=6 -c:v libx264 -preset veryfast \
        -pix_fmt yuv420p -c:a aac -shortest -metadata creation_time=2024-03-01T09:15:00Z "$src"
fi
echo "\$ reelctl probe $src"
"$BIN/reelctl" probe "$src"
