#!/usr/bin/env python3
"""Importing a folder of photos as a host does, side by side in one run.

The folder: 216 JPEGs made from the real photos of Debian's mate-backgrounds
and lomiri-wallpapers packages (installed by bench/featureprint/thresholds.py
or here when missing) at seven sizes from 1024x768 to 4608x3456 (landscape
and portrait), half of them progressive, half with 4:2:0 chroma and half
4:4:4. For each photo, a 512-pixel thumbnail and a feature print:

1. through the Node client's PixsigPool at its default size (one server a
   processor), every request given at once (pool_import.js);
2. the way a JavaScript host would without pixsig: sharp at its default
   concurrency for the thumbnail and the print's 224x224 picture,
   onnxruntime-node with its default threads for the network, built from
   pixsig's network file (sharp_import.mjs);
3. the same pool held to one server: how the pool scales.

Photos per second of elapsed time (start-up and model load included), best of
ROUNDS alternating rounds, and per processor second (the process and its
children: less sensitive to other load), and the ratios (goals: pool / sharp >= 1.2x, pool
of N / pool of 1 >= 1.8x on two processors). The npm packages of the peer are
installed by this script into BUILD_DIR/bench/npm, pinned, not by the project.
The load average is printed beside the figures: the machine may be shared.

   bench/import/run.py [BUILD_DIR] [ROUNDS]
"""
import glob
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
bench = common.Bench("import", count=2)
work, rounds, network = bench.work, bench.count, bench.network
LOMIRI = ["lomiri-wallpapers-16.04", "lomiri-wallpapers-20.04"]
SIZES = [(1024, 768), (1600, 1200), (1920, 1080), (2048, 1536), (3024, 4032), (4000, 3000), (4608, 3456)]


def make_photos():
    folder = os.path.join(work, "photos")
    done = os.path.join(folder, "done")
    if os.path.exists(done):
        return sorted(glob.glob(os.path.join(folder, "*.jpg")))
    os.makedirs(folder, exist_ok=True)
    sources = sorted(glob.glob("/usr/share/backgrounds/mate/nature/*.jpg")) + [
        "/usr/share/backgrounds/mate/abstract/Elephants.jpg"] + [
        os.path.join("/usr/share/backgrounds", f) for f in (
            "Bridge_by_Sander_Klootwijk.jpg", "Dragonfly_by_Bolly.jpg", "Kleiber_by_Lukas_Baubkus.jpg",
            "Picture_0B_by_freespace.jpg", "Picture_1A_by_freespace.jpg", "Wine_by_Jakkub_Mede.jpg",
            "aitzgorri_by_Aitzol_Berasategi.jpg", "free_by_Peter_Nerlich.jpg",
            "friends_by_Aitzol_Berasategi.jpg", "greentock_by_Peter_Nerlich.jpg",
            "life_by_Aitzol_Berasategi.jpg", "picosdeeuropa_by_Aitzol_Berasategi.jpg",
            "seeding_by_Clements_Engelhardt.jpg", "sunset_by_Aitzol_Berasategi.jpg")]
    print(f"making {len(sources) * 8} photos from {len(sources)} ...")
    procs = []
    for j, src in enumerate(sources):
        for k in range(8):
            n = j * 8 + k
            w, h = SIZES[n % len(SIZES)]
            options = "Q=88,strip" + (",interlace" if n % 2 else "") + \
                (",subsample-mode=on" if (n // 2) % 2 else ",subsample-mode=off")
            out = os.path.join(folder, f"p{n:03}.jpg")
            procs.append(subprocess.Popen(["vips", "thumbnail", src, f"{out}[{options}]", str(w),
                                           "--height", str(h), "--crop", "centre"]))
            if len(procs) >= os.cpu_count():
                if procs.pop(0).wait():
                    sys.exit("vips thumbnail failed")
    if any(p.wait() for p in procs):
        sys.exit("vips thumbnail failed")
    open(done, "w").close()
    return sorted(glob.glob(os.path.join(folder, "*.jpg")))


def run(argv):
    """One run: its JSON line, with "cpu": the processor seconds of the
    process and the children it waited for (the pool's servers)."""
    sample = common.measure(argv, keep_output=True)
    result = json.loads(sample.out.strip().splitlines()[-1])
    result["cpu"] = sample.cpu
    return result


common.install_debian(LOMIRI)
modules = common.install_peers(bench)
photos = make_photos()
outs = os.path.join(work, "out")
os.makedirs(outs, exist_ok=True)
n = len(photos)
progressive = sum(1 for p in photos if b"\xff\xc2" in open(p, "rb").read(65536))
print(f"{n} photos, {progressive} progressive, {sum(os.path.getsize(p) for p in photos) / 2**20:.0f} MiB")
print(f"load average at start: {' '.join(f'{x:.1f}' for x in os.getloadavg())} on {os.cpu_count()} cores")
best, cpu = {}, {}
for r in range(rounds):
    for key, argv in (
            ("pool", ["node", os.path.join(here, "pool_import.js"), bench.bin, outs, "default",
                      *photos]),
            ("sharp", ["node", os.path.join(here, "sharp_import.mjs"), modules, network, outs, *photos]),
            ("pool1", ["node", os.path.join(here, "pool_import.js"), bench.bin, outs, "1",
                       *photos])):
        result = run(argv)
        if key not in best or result["s"] < best[key]["s"]:
            best[key] = result
        cpu[key] = min(cpu.get(key, result["cpu"]), result["cpu"])
rate = {k: n / v["s"] for k, v in best.items()}
per_cpu = {k: n / v for k, v in cpu.items()}
print(f"import of {n} photos, a 512 thumbnail and a print each (best of {rounds} alternating rounds):")
for key, label in (("pool", f"PixsigPool, {best['pool']['size']} servers"),
                   ("sharp", f"sharp (concurrency {best['sharp']['concurrency']}) + onnxruntime-node"),
                   ("pool1", "PixsigPool, 1 server")):
    print(f"  {label:45s} {rate[key]:6.1f} photos/s ({best[key]['s']:.1f} s); "
          f"{per_cpu[key]:5.1f} photos per processor second")
print(f"  pool / sharp: {rate['pool'] / rate['sharp']:.2f}x (goal >= 1.2x); pool of {best['pool']['size']} / "
      f"pool of 1: {rate['pool'] / rate['pool1']:.2f}x (goal >= 1.8x); by processor time "
      f"pool / sharp {per_cpu['pool'] / per_cpu['sharp']:.2f}x")
print(f"load average at the end: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
