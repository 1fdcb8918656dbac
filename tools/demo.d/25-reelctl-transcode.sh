#!/usr/bin/env bash
# reelctl transcode: a 4K clip with sound, turned a quarter (as a phone stores a
# portrait video), re-encoded to fit 1920x1080; ffprobe shows the result.
set -euo pipefail
src=$DEMO_DIR/sample_4k_rotated.mp4
out=$DEMO_DIR/transcoded.mp4
if [[ ! -f $src ]]; then
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=3840x2160:rate=30:duration=3 \
        -f lavfi -i sine=frequency=440:duration=3:sample_rate=48000 -ac 2 -c:v libx264 \
        -preset ultrafast -pix_fmt yuv420p -c:a aac "$src.tmp.mp4"
    ffmpeg -nostdin -v error -y -i "$src.tmp.mp4" -c copy -metadata:s:v:0 rotate=90 \
        -metadata creation_time=2024-03-01T09:15:00Z "$src"
    rm -f "$src.tmp.mp4"
fi
echo "\$ reelctl probe $src"
"$BIN/reelctl" probe "$src"
echo "\$ reelctl transcode $src $out"
"$BIN/reelctl" transcode "$src" "$out"
echo "\$ ffprobe $out"
ffprobe -v error -show_entries \
    stream=codec_name,profile,width,height,pix_fmt,sample_rate,channels:stream_side_data=rotation:format=duration:format_tags=creation_time \
    -of default=noprint_wrappers=1 "$out"
echo "\$ reelctl probe $out"
"$BIN/reelctl" probe "$out"
