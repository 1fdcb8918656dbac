#!/usr/bin/env bash
# HDR and wide-gamut videos for the colour tests, made from one SDR source with
# the ffmpeg CLI (zscale, x265 10-bit), so that a correct conversion back to
# SDR BT.709 gives the source again.
#   sdr.mp4         a photo panning for 1.2 s, 640x360, H.264 lossless, BT.709
#   hlg.mp4         the same in HLG, BT.2020, SDR white at 100 cd/m2
#   pq.mp4          the same in PQ, BT.2020, reference white at 203 cd/m2, with
#                   mastering-display (1000 cd/m2) and content-light metadata
#   bt2020.mp4      the same in SDR with BT.2020 primaries, 10-bit
#   *_rot.mp4       each of these turned upright by a display matrix (90 degrees)
#   pq_bright.mp4   pq.mp4 with two orange patches at 5 and 10 times reference
#                   white (1015 and 2030 cd/m2), MaxCLL 2030
#   sdr10.mp4       10-bit SDR BT.709 (the transcode keeps it SDR, in 8 bits)
set -euo pipefail
fixtures="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$fixtures/folder.sh"
fixture_folder "$1"
photo=/usr/share/backgrounds/mate/nature/LadyBird.jpg

ff -loop 1 -framerate 25 -i "$photo" -t 1.2 \
    -vf "scale=720:405:force_original_aspect_ratio=increase,crop=640:360:x='t*50':y=20,format=yuv420p" \
    -c:v libx264 -preset veryfast -qp 0 -colorspace bt709 -color_primaries bt709 -color_trc bt709 \
    -color_range tv sdr.mp4

x265() {  # out zscale-target x265-extra
    ff -i sdr.mp4 -vf "zscale=t=linear:npl=$2,format=gbrpf32le,$3,format=yuv420p10le" \
        -c:v libx265 -preset ultrafast -x265-params "crf=6:log-level=error${4:+:$4}" \
        -tag:v hvc1 "${@:5}" "$1"
}
x265 hlg.mp4 100 "zscale=p=bt2020:t=arib-std-b67:m=bt2020nc:r=tv:npl=100" "" \
    -colorspace bt2020nc -color_primaries bt2020 -color_trc arib-std-b67
master="G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50)"
x265 pq.mp4 203 "zscale=p=bt2020:t=smpte2084:m=bt2020nc:r=tv:npl=203" \
    "hdr10=1:master-display=$master:max-cll=1000,400" \
    -colorspace bt2020nc -color_primaries bt2020 -color_trc smpte2084
x265 bt2020.mp4 100 "zscale=p=bt2020:t=bt2020-10:m=bt2020nc:r=tv:npl=100" "" \
    -colorspace bt2020nc -color_primaries bt2020 -color_trc bt2020-10
for name in sdr hlg pq bt2020; do
    ff -i $name.mp4 -c copy -metadata:s:v:0 rotate=90 ${name}_rot.mp4
done

# Patches: the source's orange made 5 and 10 times brighter by encoding its
# white at 1015 and 2030 cd/m2 instead of 203.
ff -i sdr.mp4 -f lavfi -i "color=c=0xff8000:s=160x90:r=25:d=1.2" \
    -filter_complex "[0]zscale=t=linear:npl=203,format=gbrpf32le,zscale=p=bt2020:t=smpte2084:m=bt2020nc:r=tv:npl=203,format=yuv420p10le[bg];
        [1]format=yuv420p,setparams=colorspace=bt709:color_primaries=bt709:color_trc=bt709:range=tv,split[c1][c2];
        [c1]zscale=t=linear:npl=1015,format=gbrpf32le,zscale=p=bt2020:t=smpte2084:m=bt2020nc:r=tv:npl=1015,format=yuv420p10le[p1];
        [c2]zscale=t=linear:npl=2030,format=gbrpf32le,zscale=p=bt2020:t=smpte2084:m=bt2020nc:r=tv:npl=2030,format=yuv420p10le[p2];
        [bg][p1]overlay=x=40:y=40[t];[t][p2]overlay=x=440:y=230,format=yuv420p10le" \
    -c:v libx265 -preset ultrafast \
    -x265-params "crf=6:log-level=error:hdr10=1:master-display=$master:max-cll=2030,400" \
    -tag:v hvc1 -colorspace bt2020nc -color_primaries bt2020 -color_trc smpte2084 -t 1.2 pq_bright.mp4

ff -i sdr.mp4 -c:v libx264 -preset veryfast -qp 0 -pix_fmt yuv420p10le -colorspace bt709 \
    -color_primaries bt709 -color_trc bt709 -color_range tv sdr10.mp4

fixture_done
