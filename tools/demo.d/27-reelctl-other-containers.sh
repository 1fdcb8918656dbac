#!/usr/bin/env bash
# reelctl on containers other than MP4: a DVD program stream (MPEG-2 + MP2)
# and an ASF whose picture starts 0.6 s in. Probe, a poster, and the export's
# length against what ffprobe says of the input.
set -euo pipefail
vob=$DEMO_DIR/sample.vob asf=$DEMO_DIR/sample_late.asf
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=720x576:rate=25:duration=4 \
    -f lavfi -i sine=duration=4:sample_rate=48000 -c:v mpeg2video -q:v 3 -g 12 -bf 2 \
    -c:a mp2 -f vob "$vob"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=352x288:rate=25:duration=3 \
    -f lavfi -i sine=duration=3:sample_rate=44100 -c:v wmv2 -c:a wmav2 -output_ts_offset 0.6 \
    "$asf"
length() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }
frames() { ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames \
    -of default=nw=1:nk=1 "$1"; }

for src in "$vob" "$asf"; do
    name=$(basename "$src")
    echo "\$ reelctl probe $src"
    "$BIN/reelctl" probe "$src"
    echo "\$ reelctl poster $src $DEMO_DIR/poster_$name.jpg"
    "$BIN/reelctl" poster "$src" "$DEMO_DIR/poster_$name.jpg"
    echo "\$ reelctl transcode $src $DEMO_DIR/export_$name.mp4"
    "$BIN/reelctl" transcode "$src" "$DEMO_DIR/export_$name.mp4"
    echo "$name: ffprobe says $(length "$src") s, $(frames "$src") frames;" \
        "export $(length "$DEMO_DIR/export_$name.mp4") s, $(frames "$DEMO_DIR/export_$name.mp4") frames"
done
echo "(the ASF's own duration counts the 0.6 s before its picture: the export keeps every frame)"
