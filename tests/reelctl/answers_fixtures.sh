#!/usr/bin/env bash
# Media of the kinds people have whose answers came out wrong: each file
# carries what reelctl must say about it (in its name, or in what ffprobe and
# ffmpeg read from it). $1: output folder.
#   dts.ts            H.264 + DTS sound in MPEG-TS (stream type 0x82: only
#                     the packets say it is DTS)
#   pal.dv            raw PAL DV, 0.4 s, with PCM sound (announced only by
#                     the first frame)
#   frag_ones.mp4     fragmented MP4 (no mehd) whose track headers say all
#                     ones for "unknown length", no 'pasp' (so the export
#                     analyses it); 2 s of video and sound
#   vfr.asf           WMV at 30 fps for 1 s, then 5 fps for 4 s: no rate in
#                     the ASF headers, millisecond timestamps
#   date_utc.mkv      Matroska DateUTC 2021-04-05 06:07:08 and a track tag of
#                     another day (DateUTC wins)
#   date_segment.mkv  segment tag CREATION_TIME 2022-05-06 07:08:09, no DateUTC
#   date_video.mkv    CREATION_TIME 2023-06-07 08:09:10 on the video track only
#   date_audio.mkv    CREATION_TIME 2024-07-08 09:10:11 on the audio track only
#   rv10.rm, rv20.rm  RealVideo 1.0 and 2.0 (no MPEG-4 code)
#   sar4445.ts        640x352 H.264 with 44:45 pixels: 625.8 wide
#   sar1011.mkv       720x480 with 10:11 pixels: 654.5 wide
#   early_audio.ts    320x240 counter video starting 0.5 s after its sound
set -euo pipefail
fixtures="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$fixtures/folder.sh"
fixture_folder "$1"
x264="-c:v libx264 -preset ultrafast -pix_fmt yuv420p"
src() { echo "-f lavfi -i testsrc2=size=$1:rate=${2:-25}:duration=${3:-1}"; }
sine() { echo "-f lavfi -i sine=duration=${1:-1}:sample_rate=48000"; }

ff $(src 320x240) $(sine) -ac 2 $x264 -c:a dca -strict -2 dts.ts
ff $(src 720x576 25 0.4) $(sine 0.4) -ac 2 -target pal-dv pal.dv

ff $(src 320x240 30 2) $(sine 2) $x264 -g 15 -c:a aac -movflags frag_keyframe+empty_moov frag.mp4
python3 - frag.mp4 frag_ones.mp4 <<'EOF'
import struct, sys
d = bytearray(open(sys.argv[1], "rb").read())
def boxes(a, b):
    while a + 8 <= b:
        size, kind = struct.unpack(">I4s", d[a:a + 8])
        yield a, size, kind
        a += size
def find(a, b, path):
    for at, size, kind in boxes(a, b):
        if kind == path[0]:
            if len(path) == 1:
                yield at
            else:
                yield from find(at + 8, at + size, path[1:])
assert not list(find(0, len(d), [b"mehd"]))
for at in find(0, len(d), [b"moov", b"trak", b"tkhd"]):
    d[at + 28:at + 32] = b"\xff" * 4  # version 0: duration after the times and track id
for at in find(0, len(d), [b"moov", b"trak", b"mdia", b"mdhd"]):
    d[at + 24:at + 28] = b"\xff" * 4  # version 0: duration after the timescale
d = d.replace(b"pasp", b"free", 1)
open(sys.argv[2], "wb").write(d)
EOF
rm frag.mp4

# The pictures keep their own times: 30 frames 1/30 s apart, then 20 frames
# 0.2 s apart (49 intervals over 4.8 s).
ff $(src 320x240 30 5) -vf "select='lt(t,1)+not(mod(n,6))'" -vsync vfr -c:v wmv2 vfr.asf

# FFmpeg's Matroska writer keeps no CREATION_TIME tag (it writes DateUTC from
# creation_time): the tags are written under a name of the same length and
# renamed in the bytes.
tag() { python3 -c 'import sys; p = sys.argv[1]; d = open(p, "rb").read()
open(p, "wb").write(d.replace(b"CREATION_TIMX", b"CREATION_TIME"))' "$1"; }
ff $(src 160x120 10) $x264 -metadata creation_time=2021-04-05T06:07:08Z \
    -metadata:s:v:0 CREATION_TIMX="2020-01-01 00:00:00" date_utc.mkv
ff $(src 160x120 10) $x264 -metadata CREATION_TIMX="2022-05-06 07:08:09" date_segment.mkv
ff $(src 160x120 10) $(sine) $x264 -c:a aac -metadata:s:v:0 CREATION_TIMX="2023-06-07 08:09:10" \
    date_video.mkv
ff $(src 160x120 10) $(sine) $x264 -c:a aac -metadata:s:a:0 CREATION_TIMX="2024-07-08 09:10:11" \
    date_audio.mkv
for f in date_*.mkv; do tag "$f"; done

ff $(src 176x144 15) -c:v rv10 rv10.rm
ff $(src 176x144 15) -c:v rv20 rv20.rm

ff $(src 640x352) -vf setsar=44/45 $x264 -f mpegts sar4445.ts
ff $(src 720x480) -vf setsar=10/11 $x264 sar1011.mkv

# Sound from 0, the picture from 0.5 s.
ff $(sine 2.5) -itsoffset 0.5 $(src 320x240 25 2) -map 1:v -map 0:a $x264 -c:a aac -f mpegts \
    early_audio.ts
fixture_done
