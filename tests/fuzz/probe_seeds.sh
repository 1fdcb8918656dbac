#!/usr/bin/env bash
# Seed media files for the probe harness: the probe tests' fixtures (each
# under 2 MB).
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bash "$here/../reelctl/probe_fixtures.sh" "$tmp/probe" >/dev/null
find "$tmp/probe" -type f -size -2M ! -name .done -exec cp {} "$out/" \;
