#!/usr/bin/env bash
# dragbridge pasteboard: what a drag of three files puts on a pasteboard, read
# back from a private in-process pasteboard (no X server needed).
set -euo pipefail
if [[ ! -f $LIB/dragbridge.node ]]; then
    echo "dragbridge pasteboard: add-on not built, step skipped"
    exit 0
fi
files=("$DEMO_DIR/sample.mp4" "$DEMO_DIR/a file with spaces.jpg" "$DEMO_DIR/ünïcödé 100%.png")
echo "\$ node: dragbridge.pasteboard({files: [3 files, one of them twice, plus 5, \"\" and null]})"
ADDON=$LIB/dragbridge.node node -e '
const addon = require(process.env.ADDON);
const files = process.argv.slice(1);
const text = addon.pasteboard({ files: [files[0], 5, "", null, files[1], files[2], files[0]] });
console.log(text);
const r = JSON.parse(text);
console.log(`items: ${r.items}, sameByName: ${r.sameByName}`);
console.log("first item types:  " + r.firstTypes.join(", "));
console.log("second item types: " + r.secondTypes.join(", "));
for (const [i, url] of r.urlList.entries()) console.log(`  ${url}  ->  ${r.files[i]}`);
' "${files[@]}"
