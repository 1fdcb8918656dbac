#!/usr/bin/env python3
"""Soak of one `pixsig --serve` process with mixed requests.

A writer thread sends every request line ahead of time while the main thread
reads the responses concurrently. Checks that exactly one response arrives per
accepted line, in order, with the expected outcome; prints throughput and the
server's resident memory after 1k, 10k and 20k requests (goal: flat within 10%).

usage: bench/soak/run.py [BUILD_DIR] [REQUESTS]
"""
import json
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

bench = common.Bench("soak", count=20000)
total, pixsig, work = bench.count, bench.pixsig, bench.work
os.makedirs(os.path.join(work, "out"), exist_ok=True)


def make(name, *args):
    path = os.path.join(work, name)
    if not os.path.exists(path):
        common.ff(*args, path)
    return path


photo = make("photo.jpg", "-f", "lavfi", "-i", "testsrc2=size=1600x1200", "-frames:v", "1", "-q:v", "3")
small = make("small.jpg", "-f", "lavfi", "-i", "mandelbrot=size=640x480", "-frames:v", "1")
alpha = make("alpha.png", "-f", "lavfi", "-i", "testsrc2=size=320x240", "-frames:v", "1",
             "-pix_fmt", "rgba")
missing = os.path.join(work, "missing.jpg")

# Request kinds, cycled: (line, expected id or None for a bad line, expected ok, declined)
kinds = [
    lambda i: ({"path": small, "id": f"fp-{i}"}, f"fp-{i}", True, False),
    lambda i: ({"op": "thumb", "path": photo, "out": os.path.join(work, "out", f"t{i % 50}.jpg"),
                "id": f"th-{i}", "size": 256}, f"th-{i}", True, False),
    lambda i: ("this is not json", None, None, None),
    lambda i: ({"path": missing, "id": f"miss-{i}"}, f"miss-{i}", False, False),
    lambda i: ({"op": "thumb", "path": alpha, "out": os.path.join(work, "out", "alpha.jpg"),
                "id": f"dec-{i}"}, f"dec-{i}", False, True),
    lambda i: ({"op": "thumb", "path": small, "out": os.path.join(work, "out", f"s{i % 50}.jpg"),
                "id": f"ex-{i}", "width": 100, "height": 100}, f"ex-{i}", True, False),
    lambda i: ("{}", None, None, None),
    lambda i: ({"path": 5}, None, None, None),
]
requests = [kinds[i % len(kinds)](i) for i in range(total)]
expected = [r for r in requests if r[1] is not None]

proc = subprocess.Popen([pixsig, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, bufsize=0)


# Standard input stays open until the last response has been read and the
# memory measured, so that the server is still there to be measured.
all_read = threading.Event()


def writer():
    for line, *_ in requests:
        text = line if isinstance(line, str) else json.dumps(line)
        proc.stdin.write(text.encode() + b"\n")
    all_read.wait()
    proc.stdin.close()


def drain_stderr():
    global bad_lines
    for line in proc.stderr:
        if line == b"pixsig: bad request line\n":
            bad_lines += 1


bad_lines = 0
threading.Thread(target=writer, daemon=True).start()
err_thread = threading.Thread(target=drain_stderr, daemon=True)
err_thread.start()

# Response n answers the n-th accepted line; find the request count it stands for.
accepted_before = []
count = 0
for line, rid, *_ in requests:
    if rid is not None:
        accepted_before.append(count + 1)
    count += 1
marks = {m: None for m in (1000, 10000, 20000) if m <= total}
start = time.perf_counter()
errors = 0
for n, (_, rid, ok, declined) in enumerate(expected):
    raw = proc.stdout.readline()
    if not raw:
        print(f"soak: stream ended after {n} of {len(expected)} responses")
        errors += 1
        break
    try:
        resp = json.loads(raw)
    except ValueError:
        resp = {"unparsable": raw[:200].decode(errors="replace")}
    if resp.get("id") != rid or resp.get("ok") != ok or bool(resp.get("declined")) != declined:
        errors += 1
        if errors < 5:
            print(f"soak: response {n} unexpected: {resp} (wanted id {rid} ok {ok})")
    # The lines after the last accepted one are bad lines, handled at once.
    served = accepted_before[n] if n + 1 < len(expected) else total
    for m in marks:
        if marks[m] is None and served >= m:
            marks[m] = common.rss_kib(proc.pid)
elapsed = time.perf_counter() - start
all_read.set()
extra = proc.stdout.read()
proc.wait()
err_thread.join(timeout=5)
if extra:
    errors += 1
    print("soak: extra output after the last response")

wanted_bad = len(requests) - len(expected)
print(f"soak: {total} requests ({len(expected)} answered, {wanted_bad} bad lines) in {elapsed:.1f} s,"
      f" {total / elapsed:.0f} requests/s; status {proc.returncode}")
print(f"soak: bad-line messages {bad_lines} of {wanted_bad}; mismatched responses {errors}")
for m, kib in marks.items():
    if kib is None:
        errors += 1
        print(f"soak: no RSS after {m:>6} requests (the stream ended early)")
        continue
    print(f"soak: RSS after {m:>6} requests: {kib / 1024:.1f} MiB")
if len(marks) >= 2 and None not in marks.values():
    first, last = marks[min(marks)], marks[max(marks)]
    print(f"soak: RSS growth {min(marks)} -> {max(marks)}: {100.0 * (last - first) / first:+.1f}%"
          f"  (goal within 10%)")
sys.exit(1 if errors or bad_lines != wanted_bad or proc.returncode != 0 else 0)
