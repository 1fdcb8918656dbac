#!/usr/bin/env bash
# One small image for the serve-loop tests. $1: output folder.
set -euo pipefail
mkdir -p "$1"
cd "$1"
[[ -f .done ]] && exit 0
convert -size 96x64 gradient:red-blue small.png
touch .done
