#!/usr/bin/env bash
# reelctl poster and frames on the generated 1080p clip (made by the probe step
# when it is not there yet) and on a portrait phone-style clip: a poster, a set
# of sampled frames with their manifest, and the sizes of what was written.
set -euo pipefail
src=$DEMO_DIR/sample.mp4
if [[ ! -f $src ]]; then
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=6 \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p "$src"
fi
portrait=$DEMO_DIR/sample_portrait.mp4
if [[ ! -f $portrait ]]; then
    # The turn is written by a stream copy (an encode would drop it).
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30:duration=3 \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p "$DEMO_DIR/landscape.mp4"
    ffmpeg -nostdin -v error -y -i "$DEMO_DIR/landscape.mp4" -c copy -metadata:s:v:0 rotate=90 \
        "$portrait"
    rm -f "$DEMO_DIR/landscape.mp4"
fi
size() { ffprobe -v error -show_entries stream=width,height -of csv=s=x:p=0 "$1"; }

echo "\$ reelctl poster $src $DEMO_DIR/poster.jpg"
"$BIN/reelctl" poster "$src" "$DEMO_DIR/poster.jpg"
echo "poster.jpg: $(size "$DEMO_DIR/poster.jpg")"
echo "\$ reelctl poster $portrait $DEMO_DIR/poster_portrait.jpg --max-edge 480"
"$BIN/reelctl" poster "$portrait" "$DEMO_DIR/poster_portrait.jpg" --max-edge 480
echo "poster_portrait.jpg: $(size "$DEMO_DIR/poster_portrait.jpg")"

rm -rf "$DEMO_DIR/frames"
echo "\$ reelctl frames $src $DEMO_DIR/frames --interval 1.5"
"$BIN/reelctl" frames "$src" "$DEMO_DIR/frames" --interval 1.5
for f in "$DEMO_DIR"/frames/frame_*.jpg; do echo "$(basename "$f"): $(size "$f")"; done
