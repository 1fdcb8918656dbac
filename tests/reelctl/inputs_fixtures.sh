#!/usr/bin/env bash
# Inputs that name other files, and names that look like patterns.
#   other.ts      176x144 H.264 in MPEG-TS, 2 s: what the playlists and the
#                 concat script point at (reading any of them as media would
#                 give this size)
#   holiday.mp4   an HLS media playlist listing other.ts by its absolute path,
#                 with #EXT-X-ENDLIST
#   live.mp4      the same without #EXT-X-ENDLIST (a live playlist, reloaded
#                 for ever by a reader that follows it), other.ts by relative name
#   master.mp4    an HLS master playlist whose one variant is itself
#   concat.mp4    an ffconcat script listing other.ts twice
#   clip.mp4      96x64 H.264, 1 s; copied as 100%.mp4 and clip%d.mp4
#   clip%d.jpg    a 48x32 JPEG, with clip0.jpg and clip1.jpg (64x48) beside it:
#                 read as an image sequence it would be 64x48
set -euo pipefail
dir=$1
sum=$(sha256sum "$0" | cut -d' ' -f1)
[[ -f $dir/.stamp && "$(cat "$dir/.stamp")" == "$sum" ]] && exit 0
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
ff() { ffmpeg -nostdin -v error -y "$@"; }

ff -f lavfi -i testsrc2=size=176x144:rate=25:duration=2 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p -f mpegts other.ts
printf '#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n%s\n#EXT-X-ENDLIST\n' \
    "$PWD/other.ts" >holiday.mp4
printf '#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\nother.ts\n' >live.mp4
printf '#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000,RESOLUTION=176x144\nmaster.mp4\n' >master.mp4
printf "ffconcat version 1.0\nfile 'other.ts'\nfile 'other.ts'\n" >concat.mp4

ff -f lavfi -i testsrc2=size=96x64:rate=25:duration=1 -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p clip.mp4
cp clip.mp4 '100%.mp4'
cp clip.mp4 'clip%d.mp4'
ff -f lavfi -i testsrc2=size=48x32 -frames:v 1 own.jpg
mv own.jpg 'clip%d.jpg'  # the image muxer would read the name as a pattern too
for i in 0 1; do
    ff -f lavfi -i testsrc2=size=64x48 -frames:v 1 "clip$i.jpg"
done

echo "$sum" >.stamp
