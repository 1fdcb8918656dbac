#!/usr/bin/env bash
# Seed videos for the frame grabber harness: a few tiny frames in several
# containers, codecs and colour encodings (each well under 200 KB), files
# that name other files (HLS playlists and an ffconcat script from the inputs
# fixtures, an SDP session, a DASH manifest), the
# real-world videos of tests/data/real/video (under 600 KB each) and every
# kind of video the media tests' fixture scripts make (those under LIMIT,
# named <group>-<file>).
#   frames_seeds.sh OUT [LIMIT]   (LIMIT as find -size takes it, default 300k)
set -euo pipefail
out=$1
limit=${2:-300k}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
find "$here/../data/real/video" -maxdepth 1 -type f ! -name '*.md' -size -600k \
    -exec cp {} "$out/" \;
# The last seed made below: the others are there too.
[[ -f $out/pal8.nut ]] && exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for group in containers frames layouts poster hardening service_failures inputs; do
    made=${FIXTURE_ROOT:-$tmp}/reelctl/$group
    bash "$here/../reelctl/${group}_fixtures.sh" "$made" >/dev/null
    while IFS= read -r -d '' file; do
        cp "$file" "$out/$group-${file##*/}"
    done < <(find "$made" -type f -size "-$limit" ! -name '.*' ! -path '*/reproducers/*' -print0)
done
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

# Pictures that need colour management, made from one SDR clip with zscale
# and 10-bit x265: HLG, PQ at reference white and far above it (with
# mastering-display and content-light metadata, or neither), BT.2020 SDR,
# odd sizes, full range, 4:2:2 and 4:4:4 chroma, 12 bits, planar RGB, and a
# display matrix turning them upright.
ff -f lavfi -i testsrc2=size=64x36:rate=10:duration=0.3 -c:v libx264 -qp 0 -pix_fmt yuv420p \
    -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv "$out/sdr.mp4"
master="G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50)"
hdr() {  # out white(cd/m2) zscale-target format x265-params ffmpeg-options...
    ff -i "$out/sdr.mp4" -vf "zscale=t=linear:npl=$2,format=gbrpf32le,$3,format=$4" \
        -c:v libx265 -preset ultrafast -x265-params "crf=16:log-level=error${5:+:$5}" \
        -tag:v hvc1 "${@:6}" "$out/$1"
}
pq="zscale=p=bt2020:t=smpte2084:m=bt2020nc:r=tv"
hlg="zscale=p=bt2020:t=arib-std-b67:m=bt2020nc:r=tv"
tags2020=(-colorspace bt2020nc -color_primaries bt2020)
hdr hlg.mp4 100 "$hlg:npl=100" yuv420p10le "" "${tags2020[@]}" -color_trc arib-std-b67
hdr hlg422.mkv 400 "$hlg:npl=400" yuv422p10le "" "${tags2020[@]}" -color_trc arib-std-b67
hdr pq.mp4 203 "$pq:npl=203" yuv420p10le "hdr10=1:master-display=$master:max-cll=1000,400" \
    "${tags2020[@]}" -color_trc smpte2084
hdr pq_bright.mp4 2030 "$pq:npl=2030" yuv420p10le "hdr10=1:master-display=$master:max-cll=2030,400" \
    "${tags2020[@]}" -color_trc smpte2084
hdr pq_untagged_peak.mkv 4000 "$pq:npl=4000" yuv444p10le "" "${tags2020[@]}" -color_trc smpte2084
hdr pq12.mkv 1000 "$pq:npl=1000" yuv420p12le "" "${tags2020[@]}" -color_trc smpte2084
hdr pq_full.mkv 600 "zscale=p=bt2020:t=smpte2084:m=bt2020nc:r=full:npl=600" yuv420p10le "" \
    "${tags2020[@]}" -color_trc smpte2084 -color_range pc
hdr bt2020.mp4 100 "zscale=p=bt2020:t=bt2020-10:m=bt2020nc:r=tv:npl=100" yuv420p10le "" \
    "${tags2020[@]}" -color_trc bt2020-10
hdr pq_rot.mp4 1000 "$pq:npl=1000" yuv420p10le "" "${tags2020[@]}" -color_trc smpte2084 \
    -metadata:s:v:0 rotate=90
ff -f lavfi -i testsrc2=size=62x34:rate=10:duration=0.3 \
    -vf "setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709,zscale=t=linear:npl=100,format=gbrpf32le,$pq:npl=1500,format=yuv420p10le" \
    -c:v libx265 -preset ultrafast -x265-params log-level=error -tag:v hvc1 "${tags2020[@]}" \
    -color_trc smpte2084 "$out/pq_odd.mp4"
ff -i "$out/pq.mp4" -vf format=gbrp10le -c:v ffv1 -color_primaries bt2020 -color_trc smpte2084 \
    -colorspace rgb "$out/pq_rgb.mkv"
ff -i "$out/sdr.mp4" -c:v libx264 -qp 0 -pix_fmt yuv420p10le -colorspace bt709 \
    -color_primaries bt709 -color_trc bt709 "$out/sdr10.mp4"
ff -i "$out/sdr.mp4" -c:v libx264 -pix_fmt yuvj420p -color_range pc "$out/full.mp4"
ff -i "$out/sdr.mp4" -c:v ffv1 -pix_fmt gray16le "$out/gray16.mkv"
ff -i "$out/sdr.mp4" -c:v ffv1 -pix_fmt bgr0 "$out/bgr0.mkv"
# Descriptions that name other files or URLs beside the playlists and concat
# script of the inputs fixtures: an SDP session and a DASH manifest.
printf 'v=0\no=- 0 0 IN IP4 127.0.0.1\ns=-\nc=IN IP4 127.0.0.1\nt=0 0\nm=video 5004 RTP/AVP 96\n' \
    >"$out/rtp.sdp"
printf '<?xml version="1.0"?>\n<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" profiles="urn:mpeg:dash:profile:isoff-on-demand:2011" type="static"><Period><AdaptationSet><Representation id="1" bandwidth="1"><BaseURL>seg.mp4</BaseURL></Representation></AdaptationSet></Period></MPD>\n' \
    >"$out/manifest.mpd"
ff -i "$out/sdr.mp4" -c:v rawvideo -pix_fmt pal8 -f nut "$out/pal8.nut"
