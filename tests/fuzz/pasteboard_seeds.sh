#!/usr/bin/env bash
# Seed paths for the pasteboard harness (0x01 separates paths).
set -euo pipefail
mkdir -p "$1"
printf '/tmp/a b.jpg\001relative/clip.mov\001/tmp/100%%.png' >"$1/plain"
printf '/tmp/caf\xc3\xa9 #1?.jpg\001\001/x\r\ny' >"$1/odd"
printf '/tmp/\xff\xfe broken utf8\001./dots/../x' >"$1/bytes"
printf 'file:///tmp/x.jpg\001/tmp/%%2F%%00.png\001//double//slash/\001~/home.mov\001/' >"$1/url-like"
printf '/tmp/\t tab\001/tmp/\x7f del\001/tmp/\xe2\x80\xae rtl.mov\001%s' "$(printf '/deep%.0s' {1..900})" >"$1/long"
printf '\001\001\001' >"$1/empty-paths"
# Paths of PATH_MAX (4096) bytes and one byte more, and a path of 64 KiB.
printf '/%s\001/%s\001/%s' "$(printf 'p%.0s' {1..4095})" "$(printf 'q%.0s' {1..4096})" \
    "$(printf 'r%.0s' {1..65535})" >"$1/path-max"
