#!/usr/bin/env python3
"""Thumbnail throughput of pixsig against the tools a user would pick instead.

The real photos (common.real_photos) that pixsig thumbnails (RGB without
alpha; it declines the others) to 512 pixels through one `pixsig --serve`
process, through one `vipsthumbnail -s 512` process over the same files, and
through one ImageMagick `convert -thumbnail 512x512` per file. Best of ROUNDS
interleaved rounds: the machine may be shared, and the fastest round is the
one least disturbed; processor seconds are printed beside it. Goals, images
per second: pixsig / vipsthumbnail >= 0.95, pixsig / convert >= 3.

usage: bench/thumbnails/run.py [BUILD_DIR] [ROUNDS]
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

bench = common.Bench("thumbnails", count=5)
out = bench.path("out")
os.makedirs(out, exist_ok=True)


def requests_file(name, photos):
    path = bench.path(name)
    with open(path, "w") as f:
        for i, p in enumerate(photos):
            f.write(json.dumps({"op": "thumb", "path": p,
                                "out": os.path.join(out, f"t{i}_p.jpg")}) + "\n")
    return path


photos = common.real_photos()
answers = common.measure([bench.pixsig, "--serve"], requests_file("probe.txt", photos),
                         keep_output=True).out
usable = [p for p, line in zip(photos, answers.splitlines()) if json.loads(line)["ok"]]
requests = requests_file("requests.txt", usable)


def pixsig():
    run = common.measure([bench.pixsig, "--serve"], requests, keep_output=True)
    if '"ok":false' in run.out:
        sys.exit("pixsig failed:\n" + run.out)
    return run


def vipsthumbnail():
    # It writes what pixsig writes: quality 80, optimised Huffman tables, no metadata.
    return common.measure(["vipsthumbnail", "-s", "512", "-o",
                           os.path.join(out, "%s_v.jpg[Q=80,optimize_coding,strip]"), *usable])


def convert():
    each = [common.measure(["convert", p, "-thumbnail", "512x512",
                            os.path.join(out, f"t{i}_c.jpg")]) for i, p in enumerate(usable)]
    return common.Sample(sum(s.wall for s in each), sum(s.cpu for s in each),
                         max(s.peak for s in each))


contenders = {"pixsig": pixsig, "vips": vipsthumbnail, "convert": convert}
runs = {name: [] for name in contenders}
for _ in range(bench.count):
    for name, run in contenders.items():
        runs[name].append(run())
best = {name: common.best(samples) for name, samples in runs.items()}

n = len(usable)
print(f"== thumbnails: {n} of {len(photos)} real photos to 512 pixels "
      f"(best of {bench.count} rounds)")
for name, label in (("pixsig", "pixsig --serve (one process)"),
                    ("vips", "vipsthumbnail -s 512 (one process)"),
                    ("convert", "convert -thumbnail 512x512 (each)")):
    wall, cpu = best[name]
    print(f"{label:36s} {wall:7.2f} s {n / wall:7.2f} images/s {cpu:7.2f} s CPU")
for name, label, goal in (("vips", "vipsthumbnail", 0.95), ("convert", "convert", 3)):
    print(f"ratio pixsig / {label + ',':14s} images/s: {best[name][0] / best['pixsig'][0]:.2f} "
          f"(per CPU second: {best[name][1] / best['pixsig'][1]:.2f})   goal >= {goal}")
