#!/usr/bin/env python3
"""reelctl poster and frames against the ffmpeg runs a user would make instead.

Side by side in one run, alternating, median wall time of each:
  1. poster of a 12 s 1080p long-GOP H.264 file (keyframe every 250 frames) at
     1.0 s against `ffmpeg -ss 1.0 -i IN -frames:v 1 -vf scale=1024:-2 -q:v 3`
     (goal: ratio 1.0 or less);
  2. frames --count 20 against 20 such ffmpeg runs at the same times (goal 0.35
     or less) and against one ffmpeg run selecting the same 20 frames (goal 1.0
     or less);
  3. peak resident memory of frames --count 100 (uncapped) against one poster
     (goal: 1.5 or less).
usage: bench/frames/run.py [BUILD_DIR] [RUNS]
"""
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402
from common import measure  # noqa: E402

bench = common.Bench("frames", count=7)
reelctl, runs = bench.reelctl, bench.count
src = bench.path("long_gop_1080p.mp4")
fps = 25
if not os.path.exists(src):
    common.ff("-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate={fps}:duration=12",
              "-c:v", "libx264", "-preset", "fast", "-g", "250", "-keyint_min", "250",
              "-sc_threshold", "0", "-pix_fmt", "yuv420p", src)


def fresh(name):
    path = bench.path(name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def ffmpeg_still(seconds, edge, out):
    return ["ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", str(seconds), "-i", src,
            "-frames:v", "1", "-vf", f"scale={edge}:-2", "-q:v", "3", out]


out = fresh("out")
times = json.loads(subprocess.run([reelctl, "frames", src, fresh("probe-times"), "--count", "20"],
                                  check=True, capture_output=True).stdout)["frames"]
times = [f["time"] for f in times]
# The frames shown at those times, for ffmpeg's select filter.
numbers = sorted({min(int(round(t * 600)) * fps // 600, 12 * fps - 1) for t in times})
select = "select='" + "+".join(f"eq(n\\,{n})" for n in numbers) + "',scale=512:-2"

poster_ours, poster_theirs = [], []
frames_ours, frames_each, frames_one = [], [], []
for _ in range(runs):
    poster_ours.append(measure([reelctl, "poster", src, os.path.join(out, "p.jpg")]).wall)
    poster_theirs.append(measure(ffmpeg_still(1.0, 1024, os.path.join(out, "f.jpg"))).wall)
    frames_ours.append(measure([reelctl, "frames", src, fresh("ours"), "--count", "20"]).wall)
    each = fresh("each")
    frames_each.append(sum(measure(ffmpeg_still(t, 512, os.path.join(each, f"{i}.jpg"))).wall
                           for i, t in enumerate(times)))
    frames_one.append(measure(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", src, "-vf", select,
                               "-vsync", "passthrough", "-q:v", "3",
                               os.path.join(fresh("one"), "%d.jpg")]).wall)

peak_poster = max(measure([reelctl, "poster", src, os.path.join(out, "p.jpg")]).peak
                  for _ in range(3))
peak_frames = max(measure([reelctl, "frames", src, fresh("many"), "--count", "100", "--max",
                           "0"]).peak for _ in range(3))
written = len([n for n in os.listdir(bench.path("many")) if n.endswith(".jpg")])

m = common.median
print(f"poster and frames: median of {runs} alternating runs on {os.path.basename(src)}")
r1 = m(poster_ours) / m(poster_theirs)
print(f"  poster at 1.0 s     reelctl {m(poster_ours) * 1000:7.1f} ms  ffmpeg "
      f"{m(poster_theirs) * 1000:7.1f} ms  ratio {r1:.2f}  (goal <= 1.0)")
r2 = m(frames_ours) / m(frames_each)
print(f"  frames --count 20   reelctl {m(frames_ours) * 1000:7.1f} ms  20 ffmpeg runs "
      f"{m(frames_each) * 1000:7.1f} ms  ratio {r2:.2f}  (goal <= 0.35)")
r3 = m(frames_ours) / m(frames_one)
print(f"  frames --count 20   reelctl {m(frames_ours) * 1000:7.1f} ms  one ffmpeg select "
      f"{m(frames_one) * 1000:7.1f} ms  ratio {r3:.2f}  (goal <= 1.0)")
r4 = peak_frames / peak_poster
print(f"  peak memory         frames --count 100 ({written} frames) {peak_frames / 1024:.1f} MiB"
      f"  poster {peak_poster / 1024:.1f} MiB  ratio {r4:.2f}  (goal <= 1.5)")
