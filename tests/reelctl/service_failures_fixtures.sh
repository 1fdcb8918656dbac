#!/usr/bin/env bash
# Inputs for the tests of the media services' failures.
#   clip.mp4       320x240, 1 s, H.264 with AAC sound
#   nodecoder.mp4  a sample entry no decoder knows; audio.m4a has no video
set -euo pipefail
fixtures="$(cd "$(dirname "$0")" && pwd)/../../tools/fixtures"
source "$fixtures/damage.sh"
source "$fixtures/folder.sh"
fixture_folder "$1"

ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -f lavfi -i sine=duration=1 \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac clip.mp4
unknown_codec clip.mp4 nodecoder.mp4
ff -f lavfi -i sine=duration=1 -c:a aac audio.m4a
fixture_done
