#!/usr/bin/env bash
# Files whose containers say things their bitstreams do not, made with the
# ffmpeg CLI (and a byte patch where no option writes the box wanted).
#   h264_aac.ts     H.264 + AAC 48 kHz in MPEG-TS, 2.5 s, no track flagged default
#   early_audio.ts  320x240 video starting 0.74 s after its sound (2.5 s of 25 fps)
#   h264.avi        H.264 in AVI ("H264" there); mpeg4.avi MPEG-4 Part 2 ("FMP4")
#   h263.3gp        H.263 176x144 whose picture header says 12:11 while the track
#                   header says 176x144 and the 'pasp' box 1:1
#   aspect.mkv      320x240 square-pixel H.264 shown 16:9 by Matroska's display size
#   captured.mov    creation time 11:48:30Z, capture item 12:41:46+0100 (11:41:46Z)
#   userdate.mp4    a user-data date (\251day) and a creation time
#   baddate.mov     a capture item that is no date, and a user-data date
#   live.webm, live.mkv  written to a pipe: no duration in the header (3.1 s)
#   default2.mkv    two audio tracks, the second flagged default (440 Hz, 1 kHz)
#   edit.mp4        a 4 s counter (luma 16 + 2N, B-frames, keyframes 2 s apart) cut
#                   at 1.3 s without re-encoding: all 100 samples stay, the edit
#                   list presents frames 33 to 99 (2.68 s)
#   init.mp4        the init segment of a fragmented MP4: a track without samples
#   hevc_cut.ts     an HEVC transport stream (keyframes 2 s apart) cut 30% in, as
#                   a segment that starts with pictures whose references are gone
#   noaud.ts        H.264 (B-frames) + AAC in MPEG-TS, 2.5 s, without access-unit
#                   delimiters (the muxer's are blanked into leading zero bytes)
#   msmpeg4.asf     MPEG-4 v3 ("MP43" in the ASF) + WMA, 3 s
#   flv1.flv        Sorenson Spark in FLV (a codec number, no code)
#   raw.avi         uncompressed BGRA in AVI
#   aspect.mxf      MPEG-2 720x576 whose sequence header says 16:15 (shown 768x576)
#   wide.3gp        H.263 352x288 (picture header 12:11) with a 'pasp' of 63:44,
#                   shown 504x288
set -euo pipefail
fixtures="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$fixtures/folder.sh"
fixture_folder "$1"
pattern() { echo "-f lavfi -i testsrc2=size=${1}:rate=25:duration=${2}"; }

ff $(pattern 320x240 2.5) -f lavfi -i sine=duration=2.5:sample_rate=48000 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p -c:a aac -f mpegts h264_aac.ts
ff -f lavfi -i sine=duration=3.2:sample_rate=48000 -itsoffset 0.7 $(pattern 320x240 2.5) \
    -map 1:v -map 0:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -f mpegts early_audio.ts
ff $(pattern 320x240 2.5) -c:v libx264 -preset ultrafast -pix_fmt yuv420p h264.avi
ff $(pattern 320x240 2.5) -c:v mpeg4 mpeg4.avi

ff $(pattern 176x144 2) -vf setsar=12/11 -c:v h263 h263.3gp
python3 - h263.3gp <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
p = data.index(b"pasp")
data[p + 4:p + 12] = struct.pack(">II", 1, 1)
t = data.index(b"tkhd")
assert data[t + 4] == 0  # version 0: width at 76 bytes after the flags
data[t + 80:t + 88] = struct.pack(">II", 176 << 16, 144 << 16)
open(path, "wb").write(data)
PY

ff $(pattern 320x240 1) -c:v libx264 -preset ultrafast -pix_fmt yuv420p square.mp4
ff -i square.mp4 -c copy -aspect 16:9 aspect.mkv

ff $(pattern 320x240 1) -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
    -metadata creation_time=2023-05-09T11:48:30Z \
    -metadata com.apple.quicktime.creationdate=2023-05-09T12:41:46+0100 \
    -movflags use_metadata_tags captured.mov
ff -i square.mp4 -c copy -metadata creation_time=2023-05-09T11:48:30Z \
    -metadata date=2021-02-03T04:05:06Z userdate.mp4
ff -i square.mp4 -c copy -metadata creation_time=2023-05-09T11:48:30Z \
    -metadata com.apple.quicktime.creationdate=yesterday -movflags use_metadata_tags baddate.mov

ff $(pattern 320x240 3.1) -c:v libvpx -deadline realtime -cpu-used 8 -f webm - >live.webm
ff $(pattern 320x240 3.1) -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f matroska - >live.mkv

ff $(pattern 320x240 1) -f lavfi -i sine=frequency=440:duration=1 \
    -f lavfi -i sine=frequency=1000:duration=1 -map 0 -map 1 -map 2 -c:v libx264 \
    -preset ultrafast -pix_fmt yuv420p -c:a aac -disposition:a:0 0 -disposition:a:1 default \
    default2.mkv

ff -f lavfi -i "nullsrc=s=160x120:r=25:d=4,geq=lum='16+2*N':cb=128:cr=128" -c:v libx264 \
    -preset veryfast -qp 4 -bf 3 -g 50 -pix_fmt yuv420p -colorspace smpte170m counter.mp4
ff -ss 1.3 -i counter.mp4 -c copy edit.mp4

ff $(pattern 320x240 2) -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
    -movflags frag_keyframe+empty_moov -f mp4 fragmented.mp4
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d[:d.index(b"moof") - 4])' \
    fragmented.mp4 init.mp4

ff $(pattern 320x240 6) -c:v libx265 -preset ultrafast \
    -x265-params keyint=50:min-keyint=50:log-level=error -pix_fmt yuv420p -f mpegts hevc.ts
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); n = len(d) // 188; open(sys.argv[2], "wb").write(d[n * 3 // 10 * 188:])' \
    hevc.ts hevc_cut.ts

ff $(pattern 320x240 2.5) -f lavfi -i sine=duration=2.5:sample_rate=48000 -c:v libx264 \
    -preset veryfast -bf 2 -g 25 -pix_fmt yuv420p -c:a aac -f mpegts aud.ts
python3 - aud.ts noaud.ts <<'PY'
import sys
# Blank each access-unit delimiter at the start of a video PES payload
# (00 00 00 01 09 xx) into zero bytes, which an Annex B byte stream allows
# before a start code: packet and PES sizes stay as they are.
data = bytearray(open(sys.argv[1], "rb").read())
blanked = 0
for at in range(0, len(data) - 187, 188):
    p = data[at:at + 188]
    if p[0] != 0x47 or not p[1] & 0x40 or (((p[1] & 0x1f) << 8) | p[2]) != 0x100:
        continue
    start = 4 + (1 + p[4] if p[3] & 0x20 else 0)
    if p[start:start + 3] != b"\x00\x00\x01":
        continue
    payload = start + 9 + p[start + 8]
    for code in (b"\x00\x00\x00\x01\x09", b"\x00\x00\x01\x09"):
        if p[payload:payload + len(code)] == code:
            data[at + payload:at + payload + len(code) + 1] = bytes(len(code) + 1)
            blanked += 1
            break
if blanked == 0:
    sys.exit("no access-unit delimiter to blank")
open(sys.argv[2], "wb").write(data)
PY
ff $(pattern 352x288 3) -f lavfi -i sine=duration=3:sample_rate=44100 -c:v msmpeg4v3 -c:a wmav2 \
    msmpeg4.asf
ff $(pattern 352x288 2) -c:v flv1 flv1.flv
ff $(pattern 160x120 0.4) -c:v rawvideo -pix_fmt bgra raw.avi
ff $(pattern 720x576 2) -vf setsar=16/15 -c:v mpeg2video -pix_fmt yuv422p -b:v 5M aspect.mxf
ff $(pattern 352x288 2) -vf setsar=63/44 -c:v h263 wide.3gp

fixture_done
