#!/usr/bin/env python3
"""Feature-print speed and memory of pixsig, side by side in one run.

1. Forward pass alone, one thread each: pixsig's network (featureprint_forward,
   oneDNN) against onnxruntime-node (CPU execution provider, one intra-op
   thread) running the same graph built from pixsig's network file, on the same
   input; median of 50 passes, alternating rounds. Ratio ours/theirs (goal
   <= 0.9), GMAC/s and the share of this core's FMA peak measured by a small
   FMA loop (goal >= 60%), and the model load time (goal < 100 ms).
2. Where a print's time goes on 20 large photos: pixsig's decode and resize
   against the JPEG shrink-on-load floor (featureprint_decode), baseline and
   progressive apart, the same for progressive copies of the photos libvips
   decodes at 1/8 (which pixsig decodes from their DC scans), and the forward
   pass.
   What the floor's finer DCT scale would do to the prints: their cosine to
   pixsig's (featureprint_agreement; the prints keep 0.9999).
3. End to end on the same 20 photos: pixsig against a Node script doing the
   same job the way a JavaScript host would (sharp with one thread to decode,
   orient and squash to 224x224, then onnxruntime-node with one thread):
   images per second as whole processes (start-up and model load included,
   goal >= 2.0x) and in steady state (start-up excluded, goal >= 1.3x).
4. Resident memory of one `pixsig --serve` over the first 20 and the last 20
   of 2,000 print requests (goal: within 10%).

The npm packages of the peer (onnxruntime-node, sharp, protobufjs) are
installed by this script into BUILD_DIR/bench/npm, pinned, not by the project.
Processor times are printed beside elapsed times: on a shared machine they
depend less on the other load.

   bench/featureprint/run.py [BUILD_DIR] [REQUESTS]
"""
import glob
import json
import math
import os
import random
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402
from common import cpu_seconds, rss_kib  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
bench = common.Bench("featureprint", count=2000)
build, work, requests = bench.build, bench.work, bench.count
pixsig, network = bench.pixsig, bench.network
ROUNDS = 3


def run_json(argv, env=None):
    out = subprocess.run(argv, check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out.strip().splitlines()[-1])


def cosine(a, b):
    dot = sum(x * y for x, y in zip(a, b))
    return dot / math.sqrt(sum(x * x for x in a) * sum(y * y for y in b))


def floats(path):
    data = open(path, "rb").read()
    return struct.unpack(f"{len(data) // 4}f", data)


def forward():
    random.seed(7)
    image = os.path.join(work, "input.f32")
    with open(image, "wb") as f:
        f.write(struct.pack("150528f", *[random.random() for _ in range(150528)]))
    ours, theirs = [], []
    ours_out, theirs_out = os.path.join(work, "ours.f32"), os.path.join(work, "onnx.f32")
    for _ in range(ROUNDS):
        ours.append(run_json([os.path.join(build, "bin", "featureprint_forward"), network, "50",
                              image, ours_out]))
        theirs.append(run_json(["node", os.path.join(here, "onnx_forward.mjs"), modules, network,
                                "50", image, theirs_out]))
    peak = run_json([os.path.join(build, "bin", "featureprint_forward"), "--peak"])["peak_gmacs"]
    best = lambda runs, key: min(r[key] for r in runs)
    us, them = best(ours, "ms"), best(theirs, "ms")
    us_cpu, them_cpu = best(ours, "cpu_ms"), best(theirs, "cpu_ms")
    macs = ours[0]["macs"]
    agree = cosine(floats(ours_out), floats(theirs_out))
    print(f"forward pass, one thread, median of 50 (best of {ROUNDS} alternating rounds), "
          f"kernels: {ours[0]['isa']}:")
    print(f"  pixsig (oneDNN)            {us:8.2f} ms   processor time {us_cpu:6.2f} ms")
    print(f"  onnxruntime-node (CPU EP)  {them:8.2f} ms   processor time {them_cpu:6.2f} ms")
    print(f"  ratio pixsig / onnxruntime {us / them:8.2f}   by processor time {us_cpu / them_cpu:.2f}"
          f"   (goal <= 0.9)")
    print(f"  same print: 1 - cosine = {1 - agree:.1e}")
    print(f"  {macs / 1e6:.0f} M multiply-accumulates: {macs / us / 1e6:.1f} GMAC/s elapsed, "
          f"{macs / us_cpu / 1e6:.1f} GMAC/s of processor time")
    print(f"  this core's FMA peak (measured): {peak:.1f} GMAC/s -> floor {macs / peak / 1e6:.2f} ms;"
          f" pixsig at {macs / us_cpu / 1e6 / peak * 100:.0f}% of peak by processor time"
          f" ({macs / us / 1e6 / peak * 100:.0f}% elapsed)   (goal >= 60%)")
    print(f"  model load: {min(o['load_ms'] for o in ours):.1f} ms elapsed, "
          f"{min(o['load_cpu_ms'] for o in ours):.1f} ms processor time   (goal < 100 ms); "
          f"onnxruntime session: {min(t['load_ms'] for t in theirs):.0f} ms")
    return us_cpu


def make_photos():
    """20 large JPEGs made from the real photos of Debian's mate-backgrounds,
    enlarged to camera sizes (4000x3000 and up) with fine grain added, half
    of them progressive; half with their chroma subsampled 2x2 as cameras
    and phones write them, half at full resolution (a different decode: at
    1/8 the 4:2:0 chroma is transformed 2x2, from AC coefficients too)."""
    photos = [os.path.join(work, "photos", f"photo{i:02}.jpg") for i in range(1, 21)]
    if all(os.path.exists(p) for p in photos):
        return photos
    sources = sorted(glob.glob("/usr/share/backgrounds/mate/nature/*.jpg"))
    if not sources:
        sys.exit("the photos of the Debian package mate-backgrounds are missing")
    os.makedirs(os.path.join(work, "photos"), exist_ok=True)
    print("making 20 photos of 4000x3000 and up ...")
    sizes = [(4000, 3000), (4608, 3456), (6000, 4000), (3000, 4000)]
    for i, p in enumerate(photos):
        w, h = sizes[i % len(sizes)]
        src = sources[i % len(sources)]
        tmp = os.path.join(work, "photos", "t.v")
        noise = os.path.join(work, "photos", "n.v")
        # Enlarge to exactly w x h: scale from the source's own size.
        width, height = (int(subprocess.run(["vipsheader", "-f", field, src], check=True,
                                            capture_output=True, text=True).stdout)
                         for field in ("width", "height"))
        subprocess.run(["vips", "resize", src, tmp, str(w / width), "--vscale", str(h / height),
                        "--kernel", "cubic"], check=True)
        subprocess.run(["vips", "gaussnoise", noise, str(w), str(h), "--sigma", "6",
                        "--seed", str(i)], check=True)
        grained = os.path.join(work, "photos", "g.v")
        subprocess.run(["vips", "add", tmp, noise, grained], check=True)
        options = ("Q=90,interlace" if i % 2 else "Q=90") + \
            (",subsample-mode=on" if (i // 4) % 2 == 0 else ",subsample-mode=off")
        subprocess.run(["vips", "cast", grained, f"{p}[{options}]", "uchar"], check=True)
        for f in (tmp, noise, grained):
            os.remove(f)
    return photos


def eighth_photos(photos):
    """Progressive copies of the photos that libvips decodes at 1/8 for a
    224x224 print (shorter side 3584 and up: the 6000x4000 ones, all baseline
    among the 20), which pixsig decodes from their DC scans (and the AC scans
    of 4:2:0 chroma)."""
    out = []
    for p in photos:
        w, h = (int(subprocess.run(["vipsheader", "-f", field, p], check=True, capture_output=True,
                                   text=True).stdout) for field in ("width", "height"))
        if min(w, h) < 3584:
            continue
        q = p.replace(".jpg", "-interlaced.jpg")
        if not os.path.exists(q):
            # The same coefficients, sampling and markers, in progressive scans.
            subprocess.run(["jpegtran", "-copy", "all", "-progressive", "-outfile", q, p], check=True)
        out.append(q)
    return out


def decode_times(files):
    out = subprocess.run([os.path.join(build, "bin", "featureprint_decode"), *files], check=True,
                         capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.strip().splitlines()[:-1]]


def breakdown(photos, forward_cpu):
    rows = decode_times(photos)
    per = sum(r["pixsig_ms"] for r in rows) / len(rows)
    floor = sum(r["floor_ms"] for r in rows) / len(rows)
    print(f"where a print's time goes, 20 photos of 4000x3000 and up (processor time, median of 3):")
    print(f"  decode + resize to 224x224: {per:.1f} ms per photo; forward pass: {forward_cpu:.1f} ms")
    print(f"  shrink-on-load floor (the JPEG decoded alone at the largest DCT scale covering "
          f"224x224): {floor:.1f} ms; pixsig's decode is {per / floor:.2f}x the floor")
    for kind, interlaced in (("baseline", False), ("progressive", True)):
        some = [r for r in rows if (photos.index(r["image"]) % 2 == 1) == interlaced]
        print(f"    {kind:11s}: {sum(r['pixsig_ms'] for r in some) / len(some):6.1f} ms against "
              f"{sum(r['floor_ms'] for r in some) / len(some):6.1f} ms")
    eighth = decode_times(eighth_photos(photos))
    if eighth:
        ours = sum(r["pixsig_ms"] for r in eighth) / len(eighth)
        full = sum(r["floor_ms"] for r in eighth) / len(eighth)
        print(f"  the {len(eighth)} 6000x4000 photos saved progressive (decoded at 1/8, from their DC "
              f"scans): {ours:.1f} ms against {full:.1f} ms for the whole file at 1/8 "
              f"({ours / full:.2f}x)")


def agreement(photos):
    print("prints of the 20 photos decoded at a finer JPEG scale than libvips's thumbnail picks, "
          "against pixsig's (bound 0.9999):")
    for margin in ("1", "1.5"):
        out = subprocess.run([os.path.join(build, "bin", "featureprint_agreement"), network, margin,
                              *photos], check=True, capture_output=True, text=True).stdout
        total = json.loads(out.strip().splitlines()[-1])
        print(f"  the largest scale whose picture covers {margin} x 224: {total['finer']} of "
              f"{total['jpegs']} decoded finer, lowest cosine {total['lowest_cosine']:.6f}, "
              f"{total['below_bound']} below the bound")


class Server:
    def __init__(self):
        self.proc = subprocess.Popen([pixsig, "--serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)
        self.n = 0

    def ask(self, paths):
        for path in paths:
            self.proc.stdin.write(json.dumps({"path": path, "id": str(self.n)}) + "\n")
            self.proc.stdin.flush()
            self.n += 1
            answer = json.loads(self.proc.stdout.readline())
            if not answer["ok"]:
                sys.exit(f"pixsig failed: {answer}")

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def end_to_end(photos):
    runs = {k: [] for k in ("whole_ours", "whole_theirs", "steady_ours", "steady_theirs")}
    for _ in range(ROUNDS):
        ours = common.measure([pixsig, *photos], keep_output=True)
        if ours.out.count('"ok":true') != len(photos):
            sys.exit("pixsig failed on a photo")
        runs["whole_ours"].append((ours.wall, ours.cpu))
        theirs = common.measure(["node", os.path.join(here, "sharp_pipeline.mjs"), modules, network,
                                 *photos], keep_output=True)
        peer = json.loads(theirs.out.strip().splitlines()[-1])
        runs["whole_theirs"].append((theirs.wall, theirs.cpu))
        runs["steady_theirs"].append((peer["steady_s"], peer["steady_cpu_s"]))
        server = Server()
        server.ask(photos[:1])  # start-up, the network and the first photo
        start, cpu = time.monotonic(), cpu_seconds(server.proc.pid)
        server.ask(photos[1:])
        runs["steady_ours"].append((time.monotonic() - start, cpu_seconds(server.proc.pid) - cpu))
        server.close()
    n = len(photos)
    best = {k: (min(w for w, _ in v), min(c for _, c in v)) for k, v in runs.items()}
    print(f"end to end, {n} photos (best of {ROUNDS} alternating rounds; images per second of "
          f"elapsed time, then of processor time):")
    for label, ours, theirs, count, goal in (("whole processes", "whole_ours", "whole_theirs", n,
                                              2.0),
                                             ("steady state   ", "steady_ours", "steady_theirs",
                                              n - 1, 1.3)):
        (wo, co), (wt, ct) = best[ours], best[theirs]
        print(f"  {label}: pixsig {count / wo:.1f}/s, sharp + onnxruntime-node {count / wt:.1f}/s: "
              f"{wt / wo:.2f}x; processor time {count / co:.1f}/s against {count / ct:.1f}/s: "
              f"{ct / co:.2f}x   (goal >= {goal}x)")


def memory(photos):
    """Resident memory is sampled after each request of a whole round of the
    20 photos and the highest kept: what is resident right after one request
    depends on which photo came last (a large progressive JPEG holds all its
    coefficients while it is decoded)."""
    server = Server()
    server.ask(photos[:1])
    n = len(photos)

    def round_peak(start):
        peak = 0
        for k in range(start, start + n):
            server.ask([photos[k % n]])
            peak = max(peak, rss_kib(server.proc.pid))
        return peak

    early = round_peak(1)
    server.ask([photos[k % n] for k in range(n + 1, requests - n)])
    late = round_peak(requests - n)
    server.close()
    print(f"resident memory of one pixsig --serve, highest over a round of the {n} photos: "
          f"{early / 1024:.1f} MiB after requests 2-{n + 1}, {late / 1024:.1f} MiB after requests "
          f"{requests - n + 1}-{requests} ({(late / early - 1) * 100:+.1f}%, goal within 10%)")


modules = common.install_peers(bench)
print(f"load average at start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
forward_cpu = forward()
photos = make_photos()
breakdown(photos, forward_cpu)
agreement(photos)
end_to_end(photos)
memory(photos)
print(f"load average at the end: {os.getloadavg()[0]:.1f}")
