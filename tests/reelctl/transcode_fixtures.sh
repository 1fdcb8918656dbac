#!/usr/bin/env bash
# Short inputs for transcode: sizes, rotations, frame timing, audio layouts,
# extra tracks and damaged files. $1: output folder.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[[ -f .done-3 ]] && exit 0  # bump when fixtures are added

ff() { ffmpeg -nostdin -v error -y "$@"; }
x264="-c:v libx264 -preset ultrafast -pix_fmt yuv420p"
src() { echo "-f lavfi -i testsrc2=size=$1:rate=${2:-30}:duration=${3:-2}"; }

# 320x240 with stereo 48 kHz sound and a creation date.
ff $(src 320x240) -f lavfi -i "sine=frequency=440:duration=2:sample_rate=48000" -ac 2 \
    $x264 -c:a aac -metadata creation_time=2024-03-01T09:15:00Z h264_aac.mp4
ff $(src 320x240) $x264 silent.mp4
ff -i silent.mp4 -c copy -metadata:s:v:0 rotate=90 rotated90.mp4
ff -i silent.mp4 -c copy -metadata:s:v:0 rotate=270 rotated270.mp4
# Larger than the box, in several shapes, and sizes that must not grow.
ff $(src 3840x2160 10 1) $x264 uhd.mp4
ff $(src 2560x1600 10 1) $x264 wide1610.mp4
ff $(src 1080x2400 10 1) $x264 tall.mp4
ff $(src 720x480 25 1) -vf setsar=32/27 $x264 anamorphic.mp4
ff $(src 323x243 25 1) -c:v ffv1 -pix_fmt yuv444p odd.mkv
# Variable frame rate: 30 frames at 30 fps, then 15 frames at 10 fps.
ff $(src 320x240 30 1.5) -vf "setpts='if(lt(N,30),N/30/TB,1+(N-30)/10/TB)'" -vsync vfr $x264 vfr.mp4
# Audio: mono 44.1 kHz, 5.1, a rate AAC lacks (PCM in Matroska), sound starting late.
ff $(src 320x240 30 1) -f lavfi -i "sine=duration=1:sample_rate=44100" $x264 -c:a aac mono.mp4
ff $(src 320x240 30 1) -f lavfi -i "sine=duration=1,pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0" \
    $x264 -c:a aac surround.mp4
ff $(src 320x240 30 1) -f lavfi -i "sine=duration=1:sample_rate=37800" $x264 -c:a pcm_s16le pcm37800.mkv
ff $(src 320x240 30 2) -itsoffset 0.5 -f lavfi -i "sine=duration=1.5:sample_rate=48000" \
    $x264 -c:a aac late_audio.mp4
# Subtitles and cover art beside the video and sound.
printf '1\n00:00:00,000 --> 00:00:01,000\nhello\n' >subs.srt
ff $(src 320x240 30 1) -f lavfi -i "sine=duration=1" -i subs.srt \
    -f lavfi -i "testsrc2=size=64x64:duration=0.04" -map 0:v -map 1:a -map 2 -map 3:v \
    -c:v:0 libx264 -preset ultrafast -pix_fmt yuv420p -c:v:1 mjpeg -frames:v:1 1 \
    -disposition:v:1 attached_pic -c:a aac -c:s mov_text extras.mp4
# Long enough to be interrupted: 1280x720, 2 s.
ff $(src 1280x720 30 2) -f lavfi -i "sine=duration=2" $x264 -c:a aac hd720.mp4
ff -f lavfi -i "sine=duration=1" -c:a aac audio.m4a
# Written to a pipe, as a recorder writes: no duration in the header.
ff $(src 640x360 30 3) -c:v libvpx -deadline realtime -cpu-used 8 -f webm - >live.webm
# Index first, media data cut off half-way.
ff $(src 320x240 30 2) $x264 -movflags +faststart whole.mp4
head -c $(($(stat -c %s whole.mp4) / 2)) whole.mp4 >truncated.mp4
# A video track in a codec no decoder knows (the Matroska codec name renamed).
ff $(src 160x120 30 1) $x264 avc.mkv
python3 -c 'import sys; d = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(d.replace(b"V_MPEG4/ISO/AVC", b"V_QQQQQ/ISO/QQQ", 1))' \
    avc.mkv unknown_codec.mkv
touch .done-3
