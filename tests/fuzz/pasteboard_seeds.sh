#!/usr/bin/env bash
# Seed paths for the pasteboard harness (0x01 separates paths).
set -euo pipefail
mkdir -p "$1"
printf '/tmp/a b.jpg\001relative/clip.mov\001/tmp/100%%.png' >"$1/plain"
printf '/tmp/caf\xc3\xa9 #1?.jpg\001\001/x\r\ny' >"$1/odd"
printf '/tmp/\xff\xfe broken utf8\001./dots/../x' >"$1/bytes"
