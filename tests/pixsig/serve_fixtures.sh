#!/usr/bin/env bash
# Small images for the serve-loop tests. $1: output folder.
set -euo pipefail
mkdir -p "$1"
cd "$1"
[[ -f .done && -f thumb.jpg ]] && exit 0
convert -size 96x64 gradient:red-blue small.png
# An 8-bit RGB picture of the same size that thumbnails are made of.
convert -size 96x64 gradient:red-blue -quality 90 thumb.jpg
touch .done
