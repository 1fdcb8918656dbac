#!/usr/bin/env bash
# pixsig feature prints: a photo, a half-size copy, a quality-30 copy and a
# different picture; the copies' prints lie near the original's, the other
# picture's far away. Also the serve loop with an identifier and a bad line,
# and the same print with the network's kernels held to AVX2.
set -euo pipefail
dir=$DEMO_DIR/prints
mkdir -p "$dir"
cd "$dir"
convert -seed 5 -size 1600x1200 plasma:fractal -blur 0x2 -quality 92 photo.jpg
convert photo.jpg -resize 50% half.jpg
convert photo.jpg -quality 30 q30.jpg
convert logo: -resize 1600x1200! -quality 92 other.jpg

echo "\$ pixsig --model"
"$BIN/pixsig" --model
echo "\$ pixsig photo.jpg half.jpg q30.jpg other.jpg missing.jpg   (b64 shortened)"
"$BIN/pixsig" photo.jpg half.jpg q30.jpg other.jpg missing.jpg | tee prints.jsonl |
    sed -E 's/("b64":"[^"]{40})[^"]*"/\1..."/'
echo "cosine similarity to photo.jpg (dot product of the unit-length prints):"
python3 - <<'PY'
import base64, json, struct
lines = [json.loads(l) for l in open("prints.jsonl")]
vec = {l["id"]: struct.unpack(f"<{l['dim']}f", base64.b64decode(l["b64"])) for l in lines if l["ok"]}
for name in ("half.jpg", "q30.jpg", "other.jpg"):
    print(f"  {name:10s} {sum(a * b for a, b in zip(vec['photo.jpg'], vec[name])):.4f}")
PY
echo "\$ printf '{\"path\":\"q30.jpg\",\"id\":\"r1\"}\\n[]\\n' | pixsig --serve"
printf '{"path":"q30.jpg","id":"r1"}\n[]\n' | "$BIN/pixsig" --serve |
    sed -E 's/("b64":"[^"]{40})[^"]*"/\1..."/'
echo "the same binary with the network's kernels held to AVX2 (a processor without AVX-512):"
echo "\$ ONEDNN_MAX_CPU_ISA=AVX2 pixsig photo.jpg"
ONEDNN_MAX_CPU_ISA=AVX2 "$BIN/pixsig" photo.jpg >avx2.jsonl
python3 - <<'PY'
import base64, json, struct
vec = lambda l: struct.unpack(f"<{l['dim']}f", base64.b64decode(l["b64"]))
full = vec(json.loads(open("prints.jsonl").readline()))
held = vec(json.loads(open("avx2.jsonl").readline()))
print(f"  cosine to the print above: {sum(a * b for a, b in zip(full, held)):.7f}")
PY
echo "a 4000x3600 photo saved baseline and progressive (the same coefficients): libvips"
echo "decodes both at 1/8, the progressive one from its DC scans alone, to the same print:"
vips resize photo.jpg big.v 2.5 --vscale 3
vips jpegsave big.v big.jpg --Q 90
vips jpegsave big.v big-progressive.jpg --Q 90 --interlace
rm big.v
echo "\$ pixsig big.jpg big-progressive.jpg"
"$BIN/pixsig" big.jpg big-progressive.jpg >big.jsonl
python3 - <<'PY'
import json
a, b = (json.loads(l) for l in open("big.jsonl"))
print(f"  same print: {a['ok'] and b['ok'] and a['b64'] == b['b64']}")
PY
