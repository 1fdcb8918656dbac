#!/usr/bin/env python3
"""Calibrates the cosine thresholds of pixsig's feature prints on real photos.

Photos: 32 distinct real photographs, each scaled to 1024 pixels on its
longer side: the 13 JPEG photos of Debian's mate-backgrounds (12 nature
pictures and one of elephants), 14 of lomiri-wallpapers-16.04 and
lomiri-wallpapers-20.04 (the photos among them; their renders and textures
are left out) and 5 of the repository's tests/data/real/images. The two
lomiri packages are installed by this script (apt-get) when missing.

Pairs:
- same picture: each photo against each of its copies, unedited (JPEG
  recompression at quality 90, 75, 50 and 30; 50% and 25% downscale) and
  edited (centre crops keeping 90%, 80% and 70% of each side, an 80% corner
  crop, 3 degree rotation cropped to the picture, quarter turn, mirror image,
  exposure +30% and -30%, contrast, saturation +50%, a warm cast, greyscale,
  a text watermark, a logo watermark);
- different pictures: every pair of two distinct photos; "similar scenes"
  are the pairs of two nature or landscape photos of one package.

Prints, for each kind of copy, the lowest and the 5th-percentile cosine to its
own photo; for different pictures the highest cosines; then precision and
recall of the verdict "same picture" (cosine at or above t) for a range of t,
and the thresholds picked from them:
- edited: the highest cosine of two different photos, rounded up to 0.01:
  no pair of different photos at or above it (at most 1% false verdicts);
- copy: the same above the highest pair of different photos a host has
  reported (0.866), rounded up to 0.05;
- different: the 99th percentile of the cosines of different photos; 99% of
  them fall below it.

   bench/featureprint/thresholds.py [BUILD_DIR]
"""
import base64
import concurrent.futures
import glob
import json
import math
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402
from common import install_debian  # noqa: E402

root = common.ROOT
bench = common.Bench("thresholds")
work, pixsig = bench.work, bench.pixsig

LOMIRI = ["lomiri-wallpapers-16.04", "lomiri-wallpapers-20.04"]
LOMIRI_DIR = "/usr/share/backgrounds"
# (file, scene): "nature" marks the landscapes and plant or animal pictures
# whose pairs within one package count as similar scenes.
PHOTOS = {
    "mate-backgrounds": [(f, "nature") for f in sorted(glob.glob("/usr/share/backgrounds/mate/nature/*.jpg"))]
    + [("/usr/share/backgrounds/mate/abstract/Elephants.jpg", "animals")],
    "lomiri-wallpapers": [(os.path.join(LOMIRI_DIR, f), scene) for f, scene in [
        ("Bridge_by_Sander_Klootwijk.jpg", "other"),
        ("Dragonfly_by_Bolly.jpg", "nature"),
        ("Kleiber_by_Lukas_Baubkus.jpg", "nature"),
        ("Picture_0B_by_freespace.jpg", "other"),
        ("Picture_1A_by_freespace.jpg", "other"),
        ("Wine_by_Jakkub_Mede.jpg", "other"),
        ("aitzgorri_by_Aitzol_Berasategi.jpg", "nature"),
        ("free_by_Peter_Nerlich.jpg", "other"),
        ("friends_by_Aitzol_Berasategi.jpg", "other"),
        ("greentock_by_Peter_Nerlich.jpg", "other"),
        ("life_by_Aitzol_Berasategi.jpg", "nature"),
        ("picosdeeuropa_by_Aitzol_Berasategi.jpg", "nature"),
        ("seeding_by_Clements_Engelhardt.jpg", "nature"),
        ("sunset_by_Aitzol_Berasategi.jpg", "nature"),
    ]],
    "tests/data/real": [(os.path.join(root, "tests", "data", "real", "images", f), scene) for f, scene in [
        ("exif-landscape_1.jpg", "nature"),
        ("exif-portrait_1.jpg", "nature"),
        ("pillow-flower.jpg", "nature"),
        ("pillow-flower2.jpg", "nature"),
        ("vt.jpg", "other"),
    ]],
}

UNEDITED = {
    "q90": ["-quality", "90"],
    "q75": ["-quality", "75"],
    "q50": ["-quality", "50"],
    "q30": ["-quality", "30"],
    "half": ["-resize", "50%"],
    "quarter": ["-resize", "25%"],
}
EDITED = {
    "crop90": ["-gravity", "center", "-crop", "90%x90%+0+0", "+repage"],
    "crop80": ["-gravity", "center", "-crop", "80%x80%+0+0", "+repage"],
    "crop70": ["-gravity", "center", "-crop", "70%x70%+0+0", "+repage"],
    "corner80": ["-gravity", "northwest", "-crop", "80%x80%+0+0", "+repage"],
    "rot3": ["-rotate", "3", "-gravity", "center", "-crop", "90%x90%+0+0", "+repage"],
    "rot90": ["-rotate", "90"],
    "mirror": ["-flop"],
    "brighter": ["-evaluate", "multiply", "1.3"],
    "darker": ["-evaluate", "multiply", "0.7"],
    "contrast": ["-sigmoidal-contrast", "5x50%"],
    "saturated": ["-modulate", "100,150,100"],
    "warm": ["-color-matrix", "1.1 0 0 0 1 0 0 0 0.85"],
    "grey": ["-colorspace", "Gray"],
    "text": ["-font", "DejaVu-Sans", "-gravity", "southeast", "-fill", "#ffffffb0", "-pointsize", "64", "-annotate", "+20+20",
             "(c) 2026 Photo Studio"],
    "logo": ["(", "logo:", "-resize", "35%", "-alpha", "set", "-channel", "A", "-evaluate", "set", "60%",
             "+channel", ")", "-gravity", "northeast", "-geometry", "+16+16", "-composite"],
}
KINDS = {**UNEDITED, **EDITED}


def install_lomiri():
    install_debian(LOMIRI)


def convert(*args):
    # ImageMagick warns about its own font list on every text annotation.
    done = subprocess.run(["convert", *args], capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"convert {' '.join(args)}: {done.stderr}")


def make(job):
    src, out, args = job
    if not os.path.exists(out):
        convert(src, *args, out)


install_lomiri()
originals, package_of, scene_of = [], {}, {}
jobs = []
for package, photos in PHOTOS.items():
    for src, scene in photos:
        if not os.path.exists(src):
            sys.exit(f"missing photo {src}")
        out = os.path.join(work, os.path.splitext(os.path.basename(src))[0] + ".jpg")
        jobs.append((src, out, ["-auto-orient", "-resize", "1024x1024>", "-quality", "92"]))
        originals.append(out)
        package_of[out], scene_of[out] = package, scene
with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
    list(pool.map(make, jobs))
copies = {}
jobs = []
for o in originals:
    for kind, args in KINDS.items():
        out = o[:-4] + f"_{kind}.jpg"
        quality = [] if kind.startswith("q") else ["-quality", "92"]
        jobs.append((o, out, [*args, *quality]))
        copies[(o, kind)] = out
with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
    list(pool.map(make, jobs))

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


same = {kind: [cos(copies[(o, kind)], o) for o in originals] for kind in KINDS}
different, similar = [], []
for i, a in enumerate(originals):
    for b in originals[i + 1:]:
        c = cos(a, b)
        different.append((c, a, b))
        if package_of[a] == package_of[b] and scene_of[a] == scene_of[b] == "nature":
            similar.append(c)
name = lambda p: os.path.basename(p)[:-4]

print(f"{len(originals)} photos (" + ", ".join(f"{len(v)} from {k}" for k, v in PHOTOS.items()) +
      f"), {len(copies)} copies")
print("copy kind    lowest cosine to own photo   5th percentile   top-1")
for kind in KINDS:
    top1 = sum(1 for o in originals if max(originals, key=lambda x: cos(copies[(o, kind)], x)) == o)
    print(f"  {kind:10s} {min(same[kind]):.4f}                       {pct(same[kind], 5):.4f}"
          f"           {top1}/{len(originals)}")
different.sort(reverse=True)
values = [c for c, _, _ in different]
print(f"different photos ({len(different)} pairs, {len(similar)} of similar scenes): highest "
      + ", ".join(f"{c:.4f} ({name(a)} / {name(b)})" for c, a, b in different[:3])
      + f"; 99th percentile {pct(values, 99):.4f}, median {pct(values, 50):.4f}; "
      f"similar scenes: highest {max(similar):.4f}, median {pct(similar, 50):.4f}")

positives = [c for v in same.values() for c in v]
unedited = [c for kind in UNEDITED for c in same[kind]]
edited_only = [c for kind in EDITED for c in same[kind]]


def verdicts(t):
    tp = sum(1 for c in positives if c >= t)
    fp = sum(1 for c in values if c >= t)
    return tp, fp


print("threshold t: verdict 'same picture' when cosine >= t")
print("     t   precision  recall (all copies / unedited / edited)   false verdicts (of similar scenes)")
for t in [0.70, 0.75, 0.76, 0.78, 0.80, 0.82, 0.84, 0.86, 0.88, 0.90, 0.92, 0.95]:
    tp, fp = verdicts(t)
    recall = lambda v: sum(1 for c in v if c >= t) / len(v)
    print(f"  {t:.2f}   {tp / max(tp + fp, 1):.3f}      {recall(positives):.3f} / {recall(unedited):.3f} / "
          f"{recall(edited_only):.3f}                 {fp} ({sum(1 for c in similar if c >= t)})")

# The highest cosine of two different photos a host has reported (two forest
# photos); the set here has none as high, so it bounds "copy" from below too.
REPORTED_DIFFERENT = 0.866
different_t = round(pct(values, 99), 2)
edited = math.ceil(values[0] * 100) / 100
copy = math.ceil(max(values[0], REPORTED_DIFFERENT) * 20) / 20
for label, t in (("copy", copy), ("edited", edited)):
    tp, fp = verdicts(t)
    print(f"picked {label} {t:.2f}: precision {tp / (tp + fp):.3f}, recall {tp / len(positives):.3f} "
          f"(unedited {sum(1 for c in unedited if c >= t)}/{len(unedited)}, edited "
          f"{sum(1 for c in edited_only if c >= t)}/{len(edited_only)})")
print(f"picked different {different_t:.2f}: {sum(1 for c in values if c < different_t)}/{len(values)} "
      f"different pairs below, and {sum(1 for c in positives if c < different_t)}/{len(positives)} copies")
print(json.dumps({"copy": copy, "edited": edited, "different": different_t}))
