#!/usr/bin/env bash
# Sets up, builds, makes sample media and shows every tool at work on it.
# Output goes to demo-out/ (sample media, posters, frames, thumbnails, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build.sh build
export DEMO_DIR=$PWD/demo-out BIN=$PWD/build/bin LIB=$PWD/build/lib
mkdir -p "$DEMO_DIR"
for step in tools/demo.d/*.sh; do
    bash "$step"
done
echo
echo "demo: all outputs are in $DEMO_DIR"
