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

  3. Huge images and bombs: peak resident memory of one serve process that
     thumbnails and prints a 20000x20000 PNG (400 megapixels, streamed row by
     row) against `vipsthumbnail -s 512` on the same file (goal <= 1.5), and
     the time and memory of the answers for decompression bombs (a JPEG
     declaring 65000x65000, a PNG declaring 100000x100000, a GIF declaring
     60000x60000, each a few hundred
     bytes of data; goal: refused within a second).

  bench/pixsig_memory/run.py [BIN_DIR] [WORK_DIR] [REQUESTS]
  BENCH_PART="memory thumbs throughput huge" selects the parts (all by default).
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


def peak_kib(argv, stdin_path=None):
    stdin = open(stdin_path) if stdin_path else subprocess.DEVNULL
    t = time.time()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", os.path.join(work, "peak.txt")] +
                            argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True)
    wall = time.time() - t
    with open(os.path.join(work, "peak.txt")) as f:
        return int(f.read().split()[-1]), wall, result.stdout


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
    mine, mine_wall, out = peak_kib([pixsig, "--serve"], requests)
    if out.count('"ok":true') != 2:
        sys.exit("pixsig failed on the huge PNG: " + out)
    theirs, theirs_wall, _ = peak_kib(["vipsthumbnail", "-s", "512", png, "-o",
                                       os.path.join(work, "out", "huge_v.jpg")])
    print("== a 20000x20000 PNG (400 megapixels)")
    print(f"pixsig --serve, thumbnail and print:  peak {mine} kB, {mine_wall:.1f} s")
    print(f"vipsthumbnail -s 512:                 peak {theirs} kB, {theirs_wall:.1f} s")
    print(f"ratio of peaks pixsig / vipsthumbnail: {mine / theirs:.2f}   goal <= 1.5")
    print("== decompression bombs (one serve process each: thumbnail, then print)")
    for name in ("bomb.jpg", "bomb.png", "bomb.gif"):
        path = os.path.join(fixtures, name)
        with open(requests, "w") as f:
            f.write(json.dumps({"op": "thumb", "path": path, "out": os.path.join(work, "out", "b.jpg")}) + "\n")
            f.write(json.dumps({"path": path}) + "\n")
        peak, wall, out = peak_kib([pixsig, "--serve"], requests)
        refused = out.count('"ok":false')
        print(f"{name}: {refused} of 2 refused in {wall:.2f} s (process start included), "
              f"peak {peak} kB   goal: refused within 1 s")


if __name__ == "__main__":
    what = os.environ.get("BENCH_PART", "memory thumbs throughput huge").split()
    if "memory" in what:
        memory(prints=True)
    if "thumbs" in what:
        memory(prints=False)
    if "throughput" in what:
        throughput()
    if "huge" in what:
        huge()
