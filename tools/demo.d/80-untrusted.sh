#!/usr/bin/env bash
# Untrusted files and paths: a "video" that is a playlist naming another file,
# a FIFO handed over as an input, an export whose output is its own input, a
# failed re-export over a good one, and a thumbnail server asked for
# /dev/zero and a NUL-cut name before a real request. Each is refused with
# the tool's own message; the good files stay as they were.
set -euo pipefail
dir=$DEMO_DIR/untrusted
mkdir -p "$dir"
cd "$dir"
src=$DEMO_DIR/sample.mp4
status() { "$@" 2>&1 && echo "status 0" || echo "status $?"; }
printf '#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\n%s\n#EXT-X-ENDLIST\n' "$src" >holiday.mp4
echo "\$ reelctl probe holiday.mp4   # an HLS playlist naming another file"
status "$BIN/reelctl" probe holiday.mp4
rm -f pipe && mkfifo pipe
echo "\$ reelctl poster pipe out.jpg   # a FIFO nobody writes to"
status "$BIN/reelctl" poster pipe out.jpg
cp "$src" own.mp4
echo "\$ reelctl transcode own.mp4 own.mp4   # the output is the input"
status "$BIN/reelctl" transcode own.mp4 own.mp4
cmp -s "$src" own.mp4 && echo "own.mp4 unchanged"
"$BIN/reelctl" poster "$src" poster.jpg
before=$(sha256sum poster.jpg)
head -c 20000 "$src" >cut.mp4
echo "\$ reelctl poster cut.mp4 poster.jpg   # a damaged input over a good poster"
status "$BIN/reelctl" poster cut.mp4 poster.jpg
[[ $(sha256sum poster.jpg) == "$before" ]] && echo "poster.jpg unchanged"
vips black photo.jpg 64 48 --bands 3
echo "\$ pixsig --serve   # /dev/zero, a name cut by NUL, then a real photo"
printf '%s\n' '{"op":"thumb","id":"zero","path":"/dev/zero","out":"z.jpg"}' \
    '{"op":"thumb","id":"nul","path":"photo.jpg\u0000.png","out":"n.jpg"}' \
    '{"op":"thumb","id":"real","path":"photo.jpg","out":"t.jpg","size":32}' |
    "$BIN/pixsig" --serve
rm -f pipe
