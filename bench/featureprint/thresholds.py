#!/usr/bin/env python3
"""Measures the cosine thresholds of pixsig's feature prints.

Originals: the JPEG pictures (12 nature photos and 2 others) of the Debian
package mate-backgrounds (resized to 800 pixels wide) and six generated scenes. For
each, seven near-duplicates: 50% downscale, JPEG quality 30, 80% centre crop,
horizontal flip, greyscale, 5 degree rotation, brightness/contrast +15%.
Prints, per kind of copy, the lowest and the 5th-percentile cosine to its own
original, and for pairs of different pictures the highest and the 99th and
99.9th percentile cosine.

   bench/featureprint/thresholds.py [BUILD_DIR] [WORK_DIR]
"""
import base64
import glob
import json
import os
import struct
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build"))
work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(build, "bench-thresholds"))
pixsig = os.path.join(build, "bin", "pixsig")
os.makedirs(work, exist_ok=True)

VARIANTS = {
    "half": ["-resize", "50%"],
    "q30": ["-quality", "30"],
    "crop80": ["-gravity", "center", "-crop", "80%x80%+0+0", "+repage"],
    "flip": ["-flop"],
    "grey": ["-colorspace", "Gray"],
    "rot5": ["-rotate", "5", "-gravity", "center", "-crop", "85%x85%+0+0", "+repage"],
    "bright": ["-brightness-contrast", "15x15"],
}
GENERATED = [
    ["-seed", "7", "-size", "800x600", "plasma:fractal", "-blur", "0x1"],
    ["logo:", "-resize", "800x600!"],
    ["rose:", "-resize", "800x600!"],
    ["-size", "800x600", "radial-gradient:yellow-navy", "-fill", "red", "-draw", "circle 250,250 320,380"],
    ["-size", "800x600", "pattern:checkerboard", "-fill", "green", "-tint", "60"],
    ["-seed", "3", "-size", "800x600", "plasma:green-tan", "-swirl", "180"],
]


def convert(*args):
    subprocess.run(["convert", *args], check=True)


originals = []
# The JPEG pictures; the PNGs are mostly transparent overlays.
sources = sorted(glob.glob("/usr/share/backgrounds/mate/nature/*.jpg")) + [
    "/usr/share/backgrounds/mate/abstract/Elephants.jpg",
    "/usr/share/backgrounds/mate/desktop/GreenTraditional.jpg"]
for i, src in enumerate(sources):
    out = os.path.join(work, f"o{i}.jpg")
    if not os.path.exists(out):
        convert(src, "-resize", "800x", "-quality", "92", out)
    # Some pictures of the package come out the same at this size; keep one.
    if all(open(out, "rb").read() != open(o, "rb").read() for o in originals):
        originals.append(out)
for i, args in enumerate(GENERATED):
    out = os.path.join(work, f"g{i}.jpg")
    if not os.path.exists(out):
        convert(*args, "-quality", "92", out)
    originals.append(out)

copies = {}
for o in originals:
    for kind, args in VARIANTS.items():
        out = o[:-4] + f"_{kind}.jpg"
        if not os.path.exists(out):
            convert(o, *args, "-quality", args[1] if kind == "q30" else "92", out)
        copies[(o, kind)] = out

paths = originals + list(copies.values())
lines = subprocess.run([pixsig, *paths], check=True, capture_output=True, text=True).stdout.splitlines()
prints = {}
for line in lines:
    r = json.loads(line)
    assert r["ok"], r
    prints[r["id"]] = struct.unpack(f"<{r['dim']}f", base64.b64decode(r["b64"]))


def cos(a, b):
    return sum(x * y for x, y in zip(prints[a], prints[b]))


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


print(f"{len(originals)} originals ({len(originals) - len(GENERATED)} from mate-backgrounds), "
      f"{len(copies)} copies")
print("copy kind   lowest cosine to own original   5th percentile   top-1")
for kind in VARIANTS:
    own = [cos(copies[(o, kind)], o) for o in originals]
    top1 = sum(1 for o in originals if max(originals, key=lambda x: cos(copies[(o, kind)], x)) == o)
    print(f"  {kind:8s}  {min(own):.4f}                          {pct(own, 5):.4f}           "
          f"{top1}/{len(originals)}")
source_of = {o: o for o in originals}
source_of.update({c: o for (o, _), c in copies.items()})
different = []
for i, a in enumerate(paths):
    for b in paths[i + 1:]:
        if source_of[a] != source_of[b]:
            different.append(cos(a, b))
print(f"different pictures ({len(different)} pairs): highest {max(different):.4f}, "
      f"99.9th percentile {pct(different, 99.9):.4f}, 99th {pct(different, 99):.4f}, "
      f"median {pct(different, 50):.4f}")
