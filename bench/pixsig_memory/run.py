#!/usr/bin/env python3
"""Resident memory of one `pixsig --serve` over real photos, and over huge
images and decompression bombs.

  1. Real photos (common.real_photos): one serve process answers REQUESTS
     (2,000) requests cycling over the photos (thumbnails at 512 and 256,
     exact-size redraws, untransformed and transformed, and feature prints
     mixed), one request at a time as the host sends them. Resident memory
     after the first request, after the first full pass, after REQUESTS
     requests, and after the server has been idle for 2 s. Goals: REQUESTS /
     first pass <= 1.15, idle / first request <= 1.25. Then the same with
     thumbnails only: a server that never loads the network.
  2. Huge images and bombs: peak resident memory of one serve process that
     thumbnails and prints a 20000x20000 PNG (400 megapixels, streamed row by
     row) against `vipsthumbnail -s 512` on the same file (goal <= 1.5), and
     the time and memory of the answers for decompression bombs (a JPEG
     declaring 65000x65000, a PNG declaring 100000x100000, a GIF declaring
     60000x60000, each a few hundred bytes of data; goal: refused within a
     second).

  bench/pixsig_memory/run.py [BUILD_DIR] [REQUESTS]
  BENCH_PART="memory thumbs huge" selects the parts (all by default).
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402
from common import rss_kib  # noqa: E402

bench = common.Bench("pixsig_memory", count=2000)
total, pixsig, root = bench.count, bench.pixsig, common.ROOT
work = bench.work
os.makedirs(os.path.join(work, "out"), exist_ok=True)
photos = common.real_photos()


def request(i, prints):
    path = photos[i % len(photos)]
    out = os.path.join(work, "out", f"mem{i % 7}.jpg")
    # The first request is a print when prints are mixed in: the network's
    # weights are read then and kept for the life of the process.
    kind = (i // len(photos) + i + 3) % 5 if prints else (i // len(photos) + i) % 3
    if kind == 0:
        return {"op": "thumb", "id": str(i), "path": path, "out": out}
    if kind == 1:
        return {"op": "thumb", "id": str(i), "path": path, "out": out, "transform": True}
    if kind == 2:
        return {"op": "thumb", "id": str(i), "path": path, "out": out, "size": 256,
                "width": 300, "height": 200}
    return {"id": str(i), "path": path}  # a feature print


def memory(prints):
    server = subprocess.Popen([pixsig, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, bufsize=1)
    marks = {}
    ok = 0
    t0 = time.time()
    for i in range(total):
        server.stdin.write(json.dumps(request(i, prints)) + "\n")
        server.stdin.flush()
        answer = json.loads(server.stdout.readline())
        ok += answer["ok"]
        if i == 0:
            marks["first"] = rss_kib(server.pid)
        if i == len(photos) - 1:
            marks["pass"] = rss_kib(server.pid)
        if i + 1 in (100, 500, 1000):
            marks[i + 1] = rss_kib(server.pid)
    elapsed = time.time() - t0
    marks["end"] = rss_kib(server.pid)
    time.sleep(2)
    marks["idle"] = rss_kib(server.pid)
    server.stdin.close()
    server.wait()
    kinds = "thumbnails and feature prints" if prints else "thumbnails only"
    print(f"== serve-mode memory, {kinds}: {total} requests over {len(photos)} real photos "
          f"({ok} answered ok, {elapsed:.1f} s)")
    print(f"resident after the first request:   {marks['first']} kB")
    print(f"resident after the first pass ({len(photos)}):  {marks['pass']} kB")
    for n in (100, 500, 1000):
        if n in marks and n != total:
            print(f"resident after {n:5d} requests:      {marks[n]} kB")
    print(f"resident after {total:5d} requests:      {marks['end']} kB")
    print(f"resident after 2 s idle:            {marks['idle']} kB")
    print(f"ratio {total} / first pass: {marks['end'] / marks['pass']:.3f}   goal <= 1.15")
    print(f"ratio idle / first request: {marks['idle'] / marks['first']:.3f}   goal <= 1.25")


def huge():
    fixtures = os.path.join(work, "huge")
    subprocess.run(["bash", os.path.join(root, "tests/pixsig/realworld_fixtures.sh"), fixtures],
                   check=True)
    subprocess.run(["bash", os.path.join(root, "tests/pixsig/hardening_fixtures.sh"), fixtures],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    png = os.path.join(fixtures, "huge.png")
    requests = os.path.join(work, "huge-requests.txt")
    with open(requests, "w") as f:
        f.write(json.dumps({"op": "thumb", "path": png, "out": os.path.join(work, "out", "huge.jpg")}) + "\n")
        f.write(json.dumps({"path": png}) + "\n")
    mine = common.measure([pixsig, "--serve"], requests, keep_output=True)
    if mine.out.count('"ok":true') != 2:
        sys.exit("pixsig failed on the huge PNG: " + mine.out)
    theirs = common.measure(["vipsthumbnail", "-s", "512", png, "-o",
                             os.path.join(work, "out", "huge_v.jpg")])
    print("== a 20000x20000 PNG (400 megapixels)")
    print(f"pixsig --serve, thumbnail and print:  peak {mine.peak} kB, {mine.wall:.1f} s")
    print(f"vipsthumbnail -s 512:                 peak {theirs.peak} kB, {theirs.wall:.1f} s")
    print(f"ratio of peaks pixsig / vipsthumbnail: {mine.peak / theirs.peak:.2f}   goal <= 1.5")
    print("== decompression bombs (one serve process each: thumbnail, then print)")
    for name in ("bomb.jpg", "bomb.png", "bomb.gif"):
        path = os.path.join(fixtures, name)
        with open(requests, "w") as f:
            f.write(json.dumps({"op": "thumb", "path": path, "out": os.path.join(work, "out", "b.jpg")}) + "\n")
            f.write(json.dumps({"path": path}) + "\n")
        run = common.measure([pixsig, "--serve"], requests, keep_output=True)
        refused = run.out.count('"ok":false')
        print(f"{name}: {refused} of 2 refused in {run.wall:.2f} s (process start included), "
              f"peak {run.peak} kB   goal: refused within 1 s")


if __name__ == "__main__":
    what = os.environ.get("BENCH_PART", "memory thumbs huge").split()
    if "memory" in what:
        memory(prints=True)
    if "thumbs" in what:
        memory(prints=False)
    if "huge" in what:
        huge()
