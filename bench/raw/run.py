"""Camera RAWs: time of a pixsig thumbnail (512) and print per RAW against
LibRaw's own full development (`dcraw_emu -w -o 1`, what a user would run to
see the picture), and peak memory.

    python3 bench/raw/run.py [BUILD_DIR] [RUNS] [RAW...]

The RAWs: a 24-megapixel DNG (6000x4000, a mate-backgrounds photo taken
through an RGGB filter by tests/pixsig/make_dng.py) with a full-size camera
JPEG preview, the same without a preview, the film-scanner NEF of
tests/data/real/images when it is there, and any RAW named on the command
line. Each is timed as one `pixsig --serve` process per request kind (process
start included; best of RUNS) and as one dcraw_emu run, and the ratios
dcraw_emu / pixsig are printed (above 1: pixsig is faster).
"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

bench = common.Bench("raw", count=3)
pixsig = bench.pixsig
common.install_debian(["libraw-bin", "libvips-tools", "mate-backgrounds"])
here = os.path.join(common.ROOT, "tests", "pixsig")

scene, preview = bench.path("scene.ppm"), bench.path("preview.jpg")
if not os.path.exists(bench.path("bare.dng")):
    subprocess.run(["vips", "thumbnail", "/usr/share/backgrounds/mate/nature/Dune.jpg", scene, "6000",
                    "--height", "4000", "--size", "force"], check=True)
    subprocess.run(["vips", "copy", scene, preview + "[Q=92]"], check=True)
    for name, extra in (("preview.dng", ["--preview", preview]), ("bare.dng", [])):
        subprocess.run(["python3", os.path.join(here, "make_dng.py"), scene, bench.path(name), *extra],
                       check=True)
raws = [bench.path("preview.dng"), bench.path("bare.dng"),
        os.path.join(common.ROOT, "tests", "data", "real", "images", "imageio-Nikon_uncompressed.nef")]
raws += sys.argv[3:]
# The scanner NEF is not in every checkout; a missing file would time an error answer.
for raw in [r for r in raws if not os.path.exists(r)]:
    print(f"{raw}: missing, left out")
    raws.remove(raw)


def serve(request):
    """One serve process answering one request: wall seconds and peak KiB, best of the runs."""
    line = json.dumps(request) + "\n"
    best = None
    with open(bench.path("request.json"), "w") as f:
        f.write(line)
    for _ in range(bench.count):
        sample = common.measure([pixsig, "--serve"], bench.path("request.json"), keep_output=True)
        if '"ok":true' not in sample.out:
            sys.exit(f"pixsig failed: {sample.out}")
        best = sample if best is None or sample.wall < best.wall else best
    return best


print(f"{'RAW':<34} {'thumb s':>8} {'print s':>8} {'dcraw_emu s':>11} {'ratio thumb':>11} "
      f"{'ratio print':>11} {'peak MiB':>8} {'dcraw MiB':>9}")
for raw in raws:
    thumb = serve({"op": "thumb", "path": raw, "out": bench.path("t.jpg")})
    printed = serve({"path": raw})
    develop = min((common.measure(["dcraw_emu", "-w", "-o", "1", "-T", "-Z", bench.path("d.tiff"), raw])
                   for _ in range(bench.count)), key=lambda s: s.wall)
    name = os.path.basename(raw)
    print(f"{name:<34} {thumb.wall:8.3f} {printed.wall:8.3f} {develop.wall:11.3f} "
          f"{develop.wall / thumb.wall:11.2f} {develop.wall / printed.wall:11.2f} "
          f"{max(thumb.peak, printed.peak) / 1024:8.1f} {develop.peak / 1024:9.1f}")
