#!/usr/bin/env python3
"""reelctl poster and frames against the ffmpeg runs a user would make instead.

Two 12 s long-GOP H.264 files at 30 fps (x264 `fast`, two B-frames between
references, none of them a reference, a keyframe every 250 frames): 1080p for
the poster, 720p for frames. Side by side in one run, alternating, median wall
time of each:
  1. poster at 1.0 s against `ffmpeg -ss 1.0 -i IN -frames:v 1 -vf
     scale=1024:-2 -q:v 3` (goal: ratio 0.5 or less);
  2. frames --count 20 against one ffmpeg run selecting the same 20 frames
     (goal 0.5 or less) and against 20 ffmpeg -ss runs at the same times (goal
     0.35 or less).
Then, for each job: the frames decoded (REELCTL_DECODE_STATS) against the
frames needed (the references from the keyframe before each time up to its
frame, and the frame itself, from ffprobe), by picture type; where its time
goes (start-up: the run's time outside reelctl's entry, loading libraries
and ending; decoding, conversion and JPEG encoding as reelctl counts them;
the rest: opening the file, headers, writing); and its peak resident memory, with frames --count 100 uncapped
against one frame of the same file (goal 1.5 or less). The load average is
printed with the figures.
usage: bench/frames/run.py [BUILD_DIR] [RUNS]
"""
import json
import os
import shutil
import subprocess
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402
from common import measure  # noqa: E402

bench = common.Bench("frames", count=7)
reelctl, runs = bench.reelctl, bench.count
fps, seconds = 30, 12
poster_src = bench.path("poster_1080p30.mp4")
frames_src = bench.path("frames_720p30.mp4")
for path, size in ((poster_src, "1920x1080"), (frames_src, "1280x720")):
    if not os.path.exists(path):
        common.ff("-f", "lavfi", "-i", f"testsrc2=size={size}:rate={fps}:duration={seconds}",
                  "-c:v", "libx264", "-preset", "fast", "-bf", "2", "-x264-params",
                  "b-pyramid=none:b-adapt=0", "-g", "250", "-keyint_min", "250",
                  "-sc_threshold", "0", "-pix_fmt", "yuv420p", path)


def fresh(name):
    path = bench.path(name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def ffmpeg_still(src, seconds, edge, out):
    return ["ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", str(seconds), "-i", src,
            "-frames:v", "1", "-vf", f"scale={edge}:-2", "-q:v", "3", out]


def stats(sample):
    """reelctl's decode-stats line of a run made with REELCTL_DECODE_STATS=1;
    None from a reelctl that does not write it (an older build)."""
    for line in sample.err.splitlines():
        if line.startswith("decode-stats "):
            return json.loads(line[len("decode-stats "):])
    return None


def ffprobe(src, *args):
    return json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-of", "json", *args, src],
        check=True, capture_output=True).stdout)


def needed(src, times):
    """The frames a grab at each time needs, by picture type: the references
    from the keyframe before its frame up to it in decoding order, and the
    frame itself (the one whose presentation time is the last at or before
    the time, counted in 1/600 s)."""
    base = Fraction(ffprobe(src, "-show_streams")["streams"][0]["time_base"])
    packets = ffprobe(src, "-show_packets", "-show_entries", "packet=pts,flags")["packets"]
    frames = ffprobe(src, "-show_frames", "-show_entries", "frame=pts,pict_type")["frames"]
    kinds = {int(f["pts"]): f["pict_type"] for f in frames if "pts" in f}
    references = {int(f["pts"]) for f in ffprobe(src, "-skip_frame", "noref", "-show_frames",
                                                 "-show_entries", "frame=pts")["frames"]
                  if "pts" in f}
    order = [int(p["pts"]) for p in packets]
    wanted = set()
    for t in times:
        at = Fraction(round(t * 600), 600)
        shown = max((p for p in order if p * base <= at), default=min(order))
        i = order.index(shown)
        key = max(j for j in range(i + 1) if "K" in packets[j]["flags"])
        wanted |= {p for p in order[key:i + 1] if p in references} | {shown}
    by_type = {}
    for p in wanted:
        by_type[kinds[p]] = by_type.get(kinds[p], 0) + 1
    return by_type


def types(counts):
    return " ".join(f"{k} {counts.get(k, 0)}" for k in ("I", "P", "B"))


out = fresh("out")
listed = measure([reelctl, "frames", frames_src, fresh("probe-times"), "--count", "20"],
                 keep_output=True)
times = [f["time"] for f in json.loads(listed.out)["frames"]]
# The frames shown at those times, for ffmpeg's select filter.
numbers = sorted({min(int(round(t * 600)) * fps // 600, seconds * fps - 1) for t in times})
select = "select='" + "+".join(f"eq(n\\,{n})" for n in numbers) + "',scale=512:-2"

with_stats = dict(os.environ, REELCTL_DECODE_STATS="1")
poster_cmd = [reelctl, "poster", poster_src, os.path.join(out, "p.jpg")]


def frames_cmd(count=20, *extra):
    return [reelctl, "frames", frames_src, fresh("ours"), "--count", str(count), *extra]


poster_ours, poster_theirs, frames_ours, frames_each, frames_one = [], [], [], [], []
poster_stats, frames_stats = [], []
for _ in range(runs):
    sample = measure(poster_cmd, env=with_stats, keep_error=True)
    poster_ours.append(sample)
    poster_stats.append(stats(sample))
    poster_theirs.append(measure(ffmpeg_still(poster_src, 1.0, 1024,
                                              os.path.join(out, "f.jpg"))).wall)
    sample = measure(frames_cmd(), env=with_stats, keep_error=True)
    frames_ours.append(sample)
    frames_stats.append(stats(sample))
    each = fresh("each")
    frames_each.append(sum(measure(ffmpeg_still(frames_src, t, 512,
                                                os.path.join(each, f"{i}.jpg"))).wall
                           for i, t in enumerate(times)))
    frames_one.append(measure(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", frames_src, "-vf",
                               select, "-vsync", "passthrough", "-q:v", "3",
                               os.path.join(fresh("one"), "%d.jpg")]).wall)


def peak(cmd):
    return max(measure(cmd).peak for _ in range(3))


peak_poster = peak(poster_cmd)
peak_frames = peak(frames_cmd(20))
peak_many = peak(frames_cmd(100, "--max", "0"))
written = len([n for n in os.listdir(bench.path("ours")) if n.endswith(".jpg")])
peak_one = peak([reelctl, "poster", frames_src, os.path.join(out, "p720.jpg"), "--max-edge", "512"])

m = common.median
ms = lambda seconds: f"{seconds * 1000:7.1f} ms"  # noqa: E731
wall = lambda samples: m([s.wall for s in samples])  # noqa: E731
print(f"poster and frames: median of {runs} alternating runs, load average "
      f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
r1 = wall(poster_ours) / m(poster_theirs)
print(f"  poster at 1.0 s      reelctl {ms(wall(poster_ours))}  ffmpeg -ss  "
      f"{ms(m(poster_theirs))}  ratio {r1:.2f}  (goal <= 0.5)")
r2 = wall(frames_ours) / m(frames_one)
print(f"  frames --count 20    reelctl {ms(wall(frames_ours))}  one ffmpeg select  "
      f"{ms(m(frames_one))}  ratio {r2:.2f}  (goal <= 0.5)")
r3 = wall(frames_ours) / m(frames_each)
print(f"  frames --count 20    reelctl {ms(wall(frames_ours))}  20 ffmpeg -ss runs "
      f"{ms(m(frames_each))}  ratio {r3:.2f}  (goal <= 0.35)")

print("frames decoded against frames needed, and where the time goes (medians)")
for job, src, job_times, samples, counted in (
        ("poster", poster_src, [1.0], poster_ours, poster_stats),
        ("frames --count 20", frames_src, times, frames_ours, frames_stats)):
    want = needed(src, job_times)
    last = counted[-1]
    if last is None:
        print(f"  {job:18s} needed {sum(want.values()):4d} ({types(want)}); this reelctl "
              "counts nothing")
        continue
    decoded = {"I": last["intra"], "P": last["predicted"], "B": last["bidirectional"]}
    print(f"  {job:18s} decoded {last['decoded']:4d} ({types(decoded)}; "
          f"{last['referencesOnly']} as references only, {last['seeks']} seeks)  "
          f"needed {sum(want.values()):4d} ({types(want)})")
    # Start-up: before the entry and after the result (loading the libraries,
    # ending the process); the rest: within the run, opening the file, reading
    # the headers, writing the manifest. frames decodes towards the next time
    # while a frame is converted and written, so there the parts overlap, by
    # as much as they add up to more than the run.
    split = {"start-up": m([s.wall * 1000 - c["runMs"] for s, c in zip(samples, counted)])}
    for name, key in (("decode", "decodeMs"), ("conversion", "conversionMs"),
                      ("encode", "encodeMs")):
        split[name] = m([c[key] for c in counted])
    rest = m([c["runMs"] - c["decodeMs"] - c["conversionMs"] - c["encodeMs"] for c in counted])
    if rest >= 0:
        split["rest"] = rest
    print(f"  {'':18s} " + "  ".join(f"{k} {v:.1f} ms" for k, v in split.items()) +
          (f"  (overlapping by {-rest:.1f} ms)" if rest < 0 else ""))

r4 = peak_many / peak_one
print(f"peak memory: poster {peak_poster / 1024:.1f} MiB, frames --count 20 "
      f"{peak_frames / 1024:.1f} MiB; frames --count 100 ({written} frames) "
      f"{peak_many / 1024:.1f} MiB against one frame of the same file "
      f"{peak_one / 1024:.1f} MiB: ratio {r4:.2f}  (goal <= 1.5)")
