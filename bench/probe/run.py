#!/usr/bin/env python3
"""reelctl probe against ffprobe on the same files, runs alternating.

Prints the median wall time of each and the ratio reelctl/ffprobe per file
(goal: 0.5 or less).  usage: bench/probe/run.py [BUILD_DIR] [RUNS]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

bench = common.Bench("probe", count=30)
runs = bench.count

files = {
    "1080p H.264 MP4": ("h264_1080p.mp4", ["-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"]),
    "1080p H.264 MKV": ("h264_1080p.mkv", ["-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"]),
    "720p VP9 WebM": ("vp9_720p.webm", ["-s", "1280x720", "-c:v", "libvpx-vp9", "-deadline",
                                         "realtime", "-cpu-used", "8", "-c:a", "libopus"]),
}
for name, (fname, codec) in files.items():
    path = bench.path(fname)
    if not os.path.exists(path):
        common.ff("-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=10", "-f", "lavfi",
                  "-i", "sine=duration=10", *codec, "-pix_fmt", "yuv420p", "-shortest", path)


print(f"probe: median of {runs} alternating runs")
worst = 0
for name, (fname, _) in files.items():
    path = bench.path(fname)
    ours, theirs = [], []
    for _ in range(runs):
        ours.append(common.timed([bench.reelctl, "probe", path]))
        theirs.append(common.timed(["ffprobe", "-v", "error", "-show_format", "-show_streams",
                                    "-of", "json", path]))
    a, b = common.median(ours), common.median(theirs)
    worst = max(worst, a / b)
    print(f"  {name:18s} reelctl {a * 1000:6.1f} ms  ffprobe {b * 1000:6.1f} ms  ratio {a / b:.2f}")
print(f"probe ratio reelctl/ffprobe (worst file): {worst:.2f}  (goal <= 0.5)")
