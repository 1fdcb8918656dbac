#!/usr/bin/env python3
"""Feature-print speed and memory of pixsig, side by side in one run.

1. Forward pass alone: median of 50 passes of pixsig's network
   (featureprint_forward) and of TensorFlow.js with its WASM backend running
   the same nsfwjs model in Node; ratio ours/theirs (goal <= 0.5), and our time
   against the multiply-accumulate count and this processor's peak.
2. End to end: feature prints of 20 large JPEG photos (4000x3000) through one
   `pixsig --serve` process, images per second; then resident memory of that
   process after 20 and after 2,000 requests (goal: within 10%).

   bench/featureprint/run.py [BUILD_DIR] [WORK_DIR] [REQUESTS]
"""
import json
import os
import re
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build"))
work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(build, "bench-featureprint"))
requests = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
pixsig = os.path.join(build, "bin", "pixsig")
network = os.path.join(build, "share", "pixsig", "mobilenet_v2_mid.pxnet")


def peak_macs_per_cycle():
    flags = open("/proc/cpuinfo").read()
    return 32 if " avx512f" in flags else 16 if " fma" in flags else 4


def cpu_ghz():
    found = re.findall(r"cpu MHz\s*:\s*([\d.]+)", open("/proc/cpuinfo").read())
    return float(found[0]) / 1000 if found else 0


def forward():
    ours, theirs = [], []
    # Interleaved rounds so that both see the same machine load.
    for _ in range(2):
        out = subprocess.run([os.path.join(build, "bin", "featureprint_forward"), network, "50"],
                             check=True, capture_output=True, text=True).stdout
        ours.append(json.loads(out))
        out = subprocess.run(["node", os.path.join(root, "bench/featureprint/tfjs_forward.mjs"), "50"],
                             check=True, capture_output=True, text=True).stdout
        theirs.append(json.loads(out))
    us = min(o["ms"] for o in ours)
    them = min(t["ms"] for t in theirs)
    us_cpu = min(o["cpu_ms"] for o in ours)
    them_cpu = min(t["cpu_ms"] for t in theirs)
    macs = ours[0]["macs"]
    per_cycle, ghz = peak_macs_per_cycle(), cpu_ghz()
    print("forward pass, median of 50 (best of 2 interleaved rounds):")
    print(f"  pixsig (OpenBLAS, 1 thread)      {us:8.2f} ms")
    print(f"  TensorFlow.js WASM ({theirs[0]['threads']} thread)   {them:8.2f} ms")
    print(f"  ratio pixsig / tfjs-wasm         {us / them:8.2f}   (goal <= 0.5)")
    print(f"  processor time: pixsig {us_cpu:.2f} ms, tfjs-wasm {them_cpu:.2f} ms, "
          f"ratio {us_cpu / them_cpu:.2f} (less sensitive to other load on the machine)")
    print(f"  {macs / 1e6:.0f} M multiply-accumulates: {macs / us / 1e6:.1f} GMAC/s "
          f"({macs / us_cpu / 1e6:.1f} GMAC/s of processor time)")
    if ghz:
        floor = macs / (per_cycle * ghz * 1e9) * 1e3
        print(f"  one core's peak: {per_cycle} MAC/cycle x {ghz:.2f} GHz = {per_cycle * ghz:.0f} GMAC/s"
              f" -> floor {floor:.1f} ms; pixsig at {floor / us * 100:.0f}% of peak "
              f"({floor / us_cpu * 100:.0f}% by processor time)")


def make_photos():
    photos = [os.path.join(work, "photos", f"photo{i}.jpg") for i in range(1, 21)]
    if all(os.path.exists(p) for p in photos):
        return photos
    os.makedirs(os.path.join(work, "photos"), exist_ok=True)
    print("making 20 photos of 4000x3000 ...")
    vips = lambda *a: subprocess.run(["vips", *a], check=True, cwd=work)
    for i, p in enumerate(photos, 1):
        # Smooth colour fields plus fine grain: as much entropy as a camera's.
        for band, seed in (("r", i * 3), ("g", i * 3 + 1), ("b", i * 3 + 2)):
            vips("gaussnoise", f"{band}.v", "64", "48", "--sigma", "50", "--seed", str(seed))
        vips("bandjoin", "r.v g.v b.v", "c.v")
        vips("resize", "c.v", "s.v", "64", "--kernel", "cubic")
        vips("gaussnoise", "n.v", "4096", "3072", "--sigma", "8", "--seed", str(i + 100))
        vips("add", "s.v", "n.v", "a.v")
        vips("crop", "a.v", "u.v", "0", "0", "4000", "3000")
        vips("cast", "u.v", f"{p}[Q=90]", "uchar")
        for f in ("r", "g", "b", "c", "s", "n", "a", "u"):
            os.remove(os.path.join(work, f + ".v"))
    return photos


def rss_kb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def end_to_end():
    photos = make_photos()
    proc = subprocess.Popen([pixsig, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True, bufsize=1)

    def ask(n, start):
        for k in range(n):
            path = photos[(start + k) % len(photos)]
            proc.stdin.write(json.dumps({"path": path, "id": str(start + k)}) + "\n")
            proc.stdin.flush()
            answer = json.loads(proc.stdout.readline())
            if not answer["ok"]:
                sys.exit(f"pixsig failed: {answer}")

    ask(1, 0)  # the network loads with the first request
    begin = time.monotonic()
    ask(20, 1)
    took = time.monotonic() - begin
    after20 = rss_kb(proc.pid)
    print(f"end to end, 20 photos of 4000x3000 through one pixsig --serve:")
    print(f"  {20 / took:.1f} images/s ({took / 20 * 1e3:.0f} ms per image)")
    ask(requests - 21, 21)
    after = rss_kb(proc.pid)
    proc.stdin.close()
    proc.wait()
    print(f"  resident memory after 20 requests: {after20 / 1024:.1f} MiB, after {requests}: "
          f"{after / 1024:.1f} MiB ({(after / after20 - 1) * 100:+.1f}%, goal within 10%)")


print(f"load average at start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
forward()
end_to_end()
