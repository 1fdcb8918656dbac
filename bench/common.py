"""What the benchmark scripts share: their arguments, the build folder and the
tools in it, a work folder, the ffmpeg CLI, and timing.

Every script takes [BUILD_DIR] [RUNS] and starts with

    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    import common
    bench = common.Bench("frames", runs=7)
"""
import collections
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

median = statistics.median

# One run of a program: wall and CPU (user + system) seconds, peak resident KiB.
Sample = collections.namedtuple("Sample", "wall cpu peak")


class Bench:
    """The command line of a benchmark script: `[BUILD_DIR] [RUNS]`."""

    def __init__(self, name, runs):
        self.build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
        self.runs = int(sys.argv[2]) if len(sys.argv) > 2 else runs
        self.reelctl = os.path.join(self.build, "bin", "reelctl")
        self.work = os.path.join(self.build, "bench", name)
        os.makedirs(self.work, exist_ok=True)

    def path(self, name):
        """A file in the work folder."""
        return os.path.join(self.work, name)


def ff(*args):
    """The ffmpeg CLI, quiet, overwriting; ends the script when it fails."""
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def measure(cmd):
    """One run of cmd, its output discarded; ends the script when it fails."""
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        child.returncode = code
        if code != 0:
            err.seek(0)
            sys.exit(f"failed ({code}): {' '.join(cmd)}\n{err.read().decode(errors='replace')}")
    return Sample(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss)


def timed(cmd):
    """Wall seconds of one run of cmd."""
    return measure(cmd).wall


def install_debian(packages):
    """Installs the Debian packages of the list that are missing (root)."""
    missing = [p for p in packages if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode]
    if missing:
        print("installing " + " ".join(missing) + " ...")
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
