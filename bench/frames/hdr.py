#!/usr/bin/env python3
"""HLG and PQ posters against SDR posters of the same picture, size and length.

The same 12 s 1920x1080 clip (keyframe every 250 frames), encoded three times
with x265 10-bit: SDR BT.709, HLG BT.2020 and PQ BT.2020 (made from the SDR one
with zscale). Side by side in one run, alternating, median wall time of
`reelctl poster` (1.0 s in, fitted to 1024) on each; prints the HLG/SDR and
PQ/SDR ratios (goal: 1.3 or less). ffmpeg's own HLG poster with a
zscale/tonemap chain is timed alongside for reference. Then the peak resident
memory of a poster and of frames --count 20 of a 4 s 3840x2160 10-bit HLG clip
made the same way (goal for the poster: under 200 MiB), with the load average.
usage: bench/frames/hdr.py [BUILD_DIR] [RUNS]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402
from common import ff  # noqa: E402

bench = common.Bench("frames-hdr", count=9)

x265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
        "keyint=250:min-keyint=250:scenecut=0:log-level=error", "-tag:v", "hvc1"]
base = bench.path("base.mkv")
clips = {name: bench.path(name + ".mp4") for name in ("sdr", "hlg", "pq")}


def hdr(source, name, out):
    trc, npl = {"hlg": ("arib-std-b67", 100), "pq": ("smpte2084", 203)}[name]
    ff("-i", source, "-vf",
       f"zscale=t=linear:npl={npl},format=gbrpf32le,"
       f"zscale=p=bt2020:t={trc}:m=bt2020nc:r=tv:npl={npl},format=yuv420p10le",
       *x265, "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", trc, out)


def lossless(size, seconds, out):
    ff("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25:duration={seconds}", "-c:v",
       "libx264", "-qp", "0", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-colorspace",
       "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", out)


if not all(os.path.exists(p) for p in clips.values()):
    lossless("1920x1080", 12, base)
    ff("-i", base, "-vf", "format=yuv420p10le", *x265, "-colorspace", "bt709",
       "-color_primaries", "bt709", "-color_trc", "bt709", clips["sdr"])
    for name in ("hlg", "pq"):
        hdr(base, name, clips[name])
    os.remove(base)
uhd = bench.path("hlg_2160p.mp4")
if not os.path.exists(uhd):
    base = bench.path("base_2160p.mkv")
    lossless("3840x2160", 4, base)
    hdr(base, "hlg", uhd)
    os.remove(base)


out = bench.path("poster.jpg")
commands = {name: [bench.reelctl, "poster", path, out] for name, path in clips.items()}
commands["ffmpeg-hlg"] = [
    "ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", "1.0", "-i", clips["hlg"], "-frames:v", "1",
    "-vf", "zscale=w=1024:h=576:t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,"
    "tonemap=mobius:desat=0,zscale=t=bt709:m=bt709:r=tv,format=yuv420p", "-q:v", "3", out]
times = {name: [] for name in commands}
for _ in range(bench.count):
    for name, cmd in commands.items():
        times[name].append(common.timed(cmd))
median = {name: common.median(t) for name, t in times.items()}
for name, value in median.items():
    print(f"poster {name:11s} {value * 1000:7.1f} ms")
print(f"ratio HLG/SDR {median['hlg'] / median['sdr']:.2f}  (goal <= 1.3)")
print(f"ratio PQ/SDR  {median['pq'] / median['sdr']:.2f}  (goal <= 1.3)")
frames = bench.path("frames")
os.makedirs(frames, exist_ok=True)
peaks = {job: max(common.measure(cmd).peak for _ in range(3)) / 1024 for job, cmd in (
    ("poster", [bench.reelctl, "poster", uhd, out]),
    ("frames --count 20", [bench.reelctl, "frames", uhd, frames, "--count", "20"]))}
print(f"peak memory, 4 s 3840x2160 10-bit HLG: poster {peaks['poster']:.1f} MiB (goal < 200), "
      f"frames --count 20 {peaks['frames --count 20']:.1f} MiB")
print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
