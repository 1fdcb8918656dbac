#!/usr/bin/env bash
# Configures and builds into a folder (default build/), warnings as errors.
#   tools/build.sh [DIR] [extra cmake -D options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
if [[ ! -f $dir/build.ninja ]]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON "$@" >/dev/null
fi
cmake --build "$dir" -- --quiet
