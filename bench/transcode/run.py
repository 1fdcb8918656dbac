#!/usr/bin/env python3
"""reelctl transcode against the ffmpeg CLI with the same x264 preset and CRF.

Both re-encode one 10 s 1080p H.264+AAC file, runs alternating; prints the
median wall time of each, the ratio of frames per second reelctl/ffmpeg (goal:
0.95 or more) and the output size ratio (goal: within 5%).
usage: bench/transcode/run.py [BUILD_DIR] [RUNS]
"""
import os
import re
import statistics
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
reelctl = os.path.join(build, "bin", "reelctl")
work = os.path.join(build, "bench", "transcode")
os.makedirs(work, exist_ok=True)

# The encoder settings reelctl uses, read from its export service.
source = open(os.path.join(root, "platform", "exporter", "exporter.cpp")).read()
preset = re.search(r'kX264Preset = "(\w+)"', source).group(1)
crf = re.search(r'kX264Crf = "(\d+)"', source).group(1)

src = os.path.join(work, "input_1080p.mp4")
frames = 300
if not os.path.exists(src):
    # Test pattern with light moving grain, so the encoder has real work to do.
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1920x1080:rate=30:duration=10,noise=alls=6:allf=t+u",
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=10:sample_rate=48000",
                    "-ac", "2", "-c:v", "libx264", "-preset", "veryfast", "-crf", "18",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "192k", src], check=True)

ours_out = os.path.join(work, "reelctl.mp4")
theirs_out = os.path.join(work, "ffmpeg.mp4")


def timed(cmd):
    """Wall seconds and CPU seconds (user + system) of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{cmd[0]} failed with status {child.returncode}")
    return wall, usage.ru_utime + usage.ru_stime


ours_cmd = [reelctl, "transcode", src, ours_out]
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
a, b = statistics.median(w for w, _ in ours), statistics.median(w for w, _ in theirs)
ca, cb = statistics.median(c for _, c in ours), statistics.median(c for _, c in theirs)
size_a, size_b = os.path.getsize(ours_out), os.path.getsize(theirs_out)
print(f"transcode: 10 s 1080p H.264+AAC, x264 preset {preset} CRF {crf}, "
      f"median of {runs} alternating runs on {os.cpu_count()} cores")
print(f"  reelctl {a:6.2f} s ({frames / a:6.1f} fps, {ca:6.2f} s CPU)  {size_a / 1e6:7.2f} MB")
print(f"  ffmpeg  {b:6.2f} s ({frames / b:6.1f} fps, {cb:6.2f} s CPU)  {size_b / 1e6:7.2f} MB")
print("  runs, wall s (reelctl / ffmpeg): " +
      ", ".join(f"{o[0]:.2f}/{t[0]:.2f}" for o, t in zip(ours, theirs)))
print(f"transcode fps ratio reelctl/ffmpeg: {b / a:.2f}  (goal >= 0.95)")
print(f"transcode CPU time ratio ffmpeg/reelctl: {cb / ca:.2f}  (the same work: about 1)")
print(f"transcode size ratio reelctl/ffmpeg: {size_a / size_b:.3f}  (goal 0.95 to 1.05)")
