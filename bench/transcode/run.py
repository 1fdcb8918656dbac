#!/usr/bin/env python3
"""reelctl transcode against the ffmpeg CLI with the same x264 preset and CRF.

Both re-encode one 10 s 1080p H.264+AAC file, runs alternating; prints the
median wall time of each, the ratio of frames per second reelctl/ffmpeg (goal:
0.95 or more) and the output size ratio (goal: within 5%).
usage: bench/transcode/run.py [BUILD_DIR] [RUNS]
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

bench = common.Bench("transcode", count=3)
runs = bench.count

# The encoder settings reelctl uses, read from its export service.
source = open(os.path.join(common.ROOT, "platform", "exporter", "exporter.cpp")).read()
preset = re.search(r'kX264Preset = "(\w+)"', source).group(1)
crf = re.search(r'kX264Crf = "(\d+)"', source).group(1)

src = bench.path("input_1080p.mp4")
frames = 300
if not os.path.exists(src):
    # Test pattern with light moving grain, so the encoder has real work to do.
    common.ff("-f", "lavfi", "-i",
              "testsrc2=size=1920x1080:rate=30:duration=10,noise=alls=6:allf=t+u",
              "-f", "lavfi", "-i", "sine=frequency=440:duration=10:sample_rate=48000",
              "-ac", "2", "-c:v", "libx264", "-preset", "veryfast", "-crf", "18",
              "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "192k", src)

ours_out = bench.path("reelctl.mp4")
theirs_out = bench.path("ffmpeg.mp4")
timed = common.measure
ours_cmd = [bench.reelctl, "transcode", src, ours_out]
theirs_cmd = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", src, "-c:v", "libx264", "-preset",
              preset, "-crf", crf, "-c:a", "aac", theirs_out]
ours, theirs = [], []
for i in range(runs):
    # Alternate which one goes first, so that neither always meets a warmer cache.
    if i % 2 == 0:
        ours.append(timed(ours_cmd))
        theirs.append(timed(theirs_cmd))
    else:
        theirs.append(timed(theirs_cmd))
        ours.append(timed(ours_cmd))
a, b = common.median(s.wall for s in ours), common.median(s.wall for s in theirs)
ca, cb = common.median(s.cpu for s in ours), common.median(s.cpu for s in theirs)
size_a, size_b = os.path.getsize(ours_out), os.path.getsize(theirs_out)
print(f"transcode: 10 s 1080p H.264+AAC, x264 preset {preset} CRF {crf}, "
      f"median of {runs} alternating runs on {os.cpu_count()} cores")
print(f"  reelctl {a:6.2f} s ({frames / a:6.1f} fps, {ca:6.2f} s CPU)  {size_a / 1e6:7.2f} MB")
print(f"  ffmpeg  {b:6.2f} s ({frames / b:6.1f} fps, {cb:6.2f} s CPU)  {size_b / 1e6:7.2f} MB")
print("  runs, wall s (reelctl / ffmpeg): " +
      ", ".join(f"{o.wall:.2f}/{t.wall:.2f}" for o, t in zip(ours, theirs)))
print(f"transcode fps ratio reelctl/ffmpeg: {b / a:.2f}  (goal >= 0.95)")
print(f"transcode CPU time ratio ffmpeg/reelctl: {cb / ca:.2f}  (the same work: about 1)")
print(f"transcode size ratio reelctl/ffmpeg: {size_a / size_b:.3f}  (goal 0.95 to 1.05)")
