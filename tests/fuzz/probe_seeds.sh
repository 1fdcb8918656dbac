#!/usr/bin/env bash
# Seed media files for the probe harness: the frame grabber's seeds with
# every fixture of the media tests under 2 MB (the playlists, concat script,
# SDP session and DASH manifest no input may be read as among them), and the
# probe tests' own fixtures (named probe-<file>).
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
[[ -f $out/probe-silent.mp4 ]] && exit 0
bash "$here/frames_seeds.sh" "$out" 2M
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
made=${FIXTURE_ROOT:-$tmp}/reelctl/probe
bash "$here/../reelctl/probe_fixtures.sh" "$made" >/dev/null
while IFS= read -r -d '' file; do
    cp "$file" "$out/probe-${file##*/}"
done < <(find "$made" -type f -size -2M ! -name '.*' -print0)
