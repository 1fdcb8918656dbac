#!/usr/bin/env python3
"""Resident memory of one `pixsig --serve` over real photos, and thumbnail
throughput against `vipsthumbnail -s 512` over the same photos.

Photos: the wallpapers of Debian's mate-backgrounds package (JPEG and PNG,
1.3 to 18 megapixels) and the files of tests/data/real/images.

  1. Memory: one serve process answers 2,000 requests cycling over the photos
     (thumbnails at 512 and 256, exact-size redraws, untransformed and
     transformed, and feature prints mixed), one request at a time as the
     host sends them. Resident memory after the first request, after the
     first full pass, after 2,000 requests, and after the server has been
     idle for 2 s. Goals: 2,000 / first pass <= 1.15, idle / first request
     <= 1.25. Then the same with thumbnails only.
  2. Throughput: the photos that pixsig thumbnails (RGB without alpha) to 512
     pixels through one serve process and through one `vipsthumbnail -s 512`
     process, best of 5 interleaved rounds. Goal: pixsig / vipsthumbnail,
     images per second, >= 0.95.

  bench/pixsig_memory/run.py [BIN_DIR] [WORK_DIR] [REQUESTS]
"""
import glob
import json
import os
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build/bin"))
work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "build/bench-pixsig-memory"))
total = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
pixsig = os.path.join(bin_dir, "pixsig")
os.makedirs(os.path.join(work, "out"), exist_ok=True)

photos = sorted(glob.glob("/usr/share/backgrounds/mate/*/*.jpg") +
                glob.glob("/usr/share/backgrounds/mate/*/*.png") +
                glob.glob(os.path.join(root, "tests/data/real/images/*")))
if not photos:
    sys.exit("no photos: install mate-backgrounds (tools/setup.sh)")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


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
        if n in marks:
            print(f"resident after {n:5d} requests:      {marks[n]} kB")
    print(f"resident after {total:5d} requests:      {marks['end']} kB")
    print(f"resident after 2 s idle:            {marks['idle']} kB")
    print(f"ratio {total} / first pass: {marks['end'] / marks['pass']:.3f}   goal <= 1.15")
    print(f"ratio idle / first request: {marks['idle'] / marks['first']:.3f}   goal <= 1.25")


def throughput():
    # The photos pixsig renders; the others (alpha, greyscale, CMYK) it declines.
    probe = subprocess.run([pixsig, "--serve"], capture_output=True, text=True, input="".join(
        json.dumps({"op": "thumb", "path": p, "out": os.path.join(work, "out", "probe.jpg")}) + "\n"
        for p in photos))
    answers = [json.loads(l) for l in probe.stdout.splitlines()]
    usable = [p for p, a in zip(photos, answers) if a["ok"]]
    with open(os.path.join(work, "requests.txt"), "w") as f:
        for i, p in enumerate(usable):
            f.write(json.dumps({"op": "thumb", "path": p,
                                "out": os.path.join(work, "out", f"t{i}_p.jpg")}) + "\n")
    # vipsthumbnail writes what pixsig writes: quality 80, optimised Huffman
    # tables, no metadata.
    contenders = {
        "pixsig": ([pixsig, "--serve"], os.path.join(work, "requests.txt")),
        "vips": (["vipsthumbnail", "-s", "512", "-o",
                  os.path.join(work, "out", "%s_v.jpg[Q=80,optimize_coding,strip]")] + usable,
                 None),
    }
    best = {name: (1e9, 1e9) for name in contenders}
    for _ in range(5):
        for name, (argv, stdin_path) in contenders.items():
            stdin = open(stdin_path) if stdin_path else subprocess.DEVNULL
            before = os.times()
            t = time.time()
            result = subprocess.run(argv, stdin=stdin, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
            wall = time.time() - t
            after = os.times()
            cpu = (after.children_user - before.children_user +
                   after.children_system - before.children_system)
            if result.returncode != 0 or '"ok":false' in result.stdout:
                sys.exit(f"{name} failed")
            best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    n = len(usable)
    print(f"== thumbnails: {n} real photos to 512 pixels (best of 5 rounds)")
    for name, label in (("pixsig", "pixsig --serve (one process)"),
                        ("vips", "vipsthumbnail -s 512 (one process)")):
        wall, cpu = best[name]
        print(f"{label:36s} {wall:7.2f} s {n / wall:7.2f} images/s {cpu:7.2f} s CPU")
    print(f"ratio pixsig / vipsthumbnail, images/s: {best['vips'][0] / best['pixsig'][0]:.2f} "
          f"(per CPU second: {best['vips'][1] / best['pixsig'][1]:.2f})   goal >= 0.95")


if __name__ == "__main__":
    what = os.environ.get("BENCH_PART", "memory thumbs throughput").split()
    if "memory" in what:
        memory(prints=True)
    if "thumbs" in what:
        memory(prints=False)
    if "throughput" in what:
        throughput()
