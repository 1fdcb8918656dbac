#!/usr/bin/env bash
# reelctl on HDR: an SDR photo clip turned into HLG (x265 10-bit, BT.2020) by
# zscale, then its poster and its transcode; the poster is compared with the
# SDR source's (PSNR) and the export's colour tags are shown.
set -euo pipefail
sdr=$DEMO_DIR/hdr_source.mp4
hlg=$DEMO_DIR/sample_hlg.mp4
if [[ ! -f $hlg ]]; then
    ffmpeg -nostdin -v error -y -loop 1 -framerate 25 -i /usr/share/backgrounds/mate/nature/LadyBird.jpg \
        -t 2 -vf "scale=1280:720:force_original_aspect_ratio=increase,crop=1280:720,format=yuv420p" \
        -c:v libx264 -preset veryfast -qp 0 -colorspace bt709 -color_primaries bt709 \
        -color_trc bt709 "$sdr"
    ffmpeg -nostdin -v error -y -i "$sdr" -vf "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt2020:t=arib-std-b67:m=bt2020nc:r=tv:npl=100,format=yuv420p10le" \
        -c:v libx265 -preset ultrafast -x265-params crf=8:log-level=error -tag:v hvc1 \
        -colorspace bt2020nc -color_primaries bt2020 -color_trc arib-std-b67 "$hlg"
fi
psnr() {
    ffmpeg -nostdin -i "$1" -i "$2" -lavfi "[0]format=rgb24[a];[1]format=rgb24[b];[a][b]psnr" \
        -f null - 2>&1 | grep -o 'average:[0-9.]*' | cut -d: -f2
}
echo "\$ reelctl poster $hlg $DEMO_DIR/poster_hlg.jpg"
"$BIN/reelctl" poster "$hlg" "$DEMO_DIR/poster_hlg.jpg"
"$BIN/reelctl" poster "$sdr" "$DEMO_DIR/poster_hlg_source.jpg"
echo "HLG poster against the SDR source's poster: $(psnr "$DEMO_DIR/poster_hlg.jpg" "$DEMO_DIR/poster_hlg_source.jpg") dB"
echo "\$ reelctl transcode $hlg $DEMO_DIR/sample_hlg_sdr.mp4"
"$BIN/reelctl" transcode "$hlg" "$DEMO_DIR/sample_hlg_sdr.mp4"
echo "export colour: $(ffprobe -v error -select_streams v:0 -show_entries \
    stream=pix_fmt,color_primaries,color_transfer,color_space,color_range -of csv=p=0 \
    "$DEMO_DIR/sample_hlg_sdr.mp4")"
