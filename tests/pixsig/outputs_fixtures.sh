#!/usr/bin/env bash
# Images for the thumbnail output tests. $1: output folder.
#   photo.jpg    a small ordinary photo
#   broken.jpg   text, no image
set -euo pipefail
mkdir -p "$1"
cd "$1"
[[ -f .done && .done -nt $(realpath "$0") ]] && exit 0
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240 -frames:v 1 -q:v 4 photo.jpg
echo "not an image" >broken.jpg
touch .done
