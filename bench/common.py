"""What the benchmark scripts share: their command line, the build folder and
the tools in it, a work folder, the ffmpeg CLI, running and timing a program,
the resident memory of a process, the real photos, and the peers' packages.

Every script takes `[BUILD_DIR] [COUNT]` (BUILD_DIR `build` by default; COUNT
is the runs, rounds or requests, each script's own default) and starts with

    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    import common
    bench = common.Bench("frames", count=7)

Its files go to BUILD_DIR/bench/<name>, made once and kept between runs.
"""
import collections
import glob
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

median = statistics.median

# One run of a program: wall and CPU (user + system, the children it waited
# for included) seconds, peak resident KiB, and its standard output and error
# when kept.
Sample = collections.namedtuple("Sample", "wall cpu peak out err", defaults=(None, None))

# The npm packages of the JavaScript peer, pinned.
PEERS = ["onnxruntime-node@1.30.0", "sharp@0.35.5", "protobufjs@8.8.1"]


class Bench:
    """The command line of a benchmark script: `[BUILD_DIR] [COUNT]`."""

    def __init__(self, name, count=None):
        self.build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                                     else os.path.join(ROOT, "build"))
        self.count = int(sys.argv[2]) if len(sys.argv) > 2 else count
        self.bin = os.path.join(self.build, "bin")
        self.reelctl = os.path.join(self.bin, "reelctl")
        self.pixsig = os.path.join(self.bin, "pixsig")
        self.network = os.path.join(self.build, "share", "pixsig", "mobilenet_v2_mid.pxnet")
        self.work = os.path.join(self.build, "bench", name)
        os.makedirs(self.work, exist_ok=True)

    def path(self, *names):
        """A file in the work folder."""
        return os.path.join(self.work, *names)


def ff(*args):
    """The ffmpeg CLI, quiet, overwriting; ends the script when it fails."""
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def measure(cmd, stdin=None, keep_output=False, keep_error=False, env=None):
    """One run of cmd, its input read from the file stdin (none by default),
    its output and error kept as text in Sample.out and Sample.err or
    discarded, in the environment env (this one by default); ends the script
    when it fails."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            open(stdin or os.devnull, "rb") as into:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, stdin=into, stdout=out if keep_output else subprocess.DEVNULL,
                                 stderr=err, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        child.returncode = code
        err.seek(0)
        errors = err.read().decode(errors="replace")
        if code != 0:
            sys.exit(f"failed ({code}): {' '.join(cmd)}\n{errors}")
        out.seek(0)
        text = out.read().decode(errors="replace") if keep_output else None
    return Sample(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, text,
                  errors if keep_error else None)


def timed(cmd):
    """Wall seconds of one run of cmd."""
    return measure(cmd).wall


def best(samples):
    """The fastest wall and the least CPU time of several runs of one program:
    on a shared machine, the least disturbed ones."""
    return min(s.wall for s in samples), min(s.cpu for s in samples)


def rss_kib(pid):
    """The resident memory of a running process now, in KiB. (The peak of a
    finished one is Sample.peak.)"""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no resident memory for process {pid}")


def cpu_seconds(pid):
    """The processor time (user + system) of a running process so far."""
    with open(f"/proc/{pid}/stat") as stat:
        # The fields after the command name, which may hold spaces.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def real_photos():
    """The wallpapers of Debian's mate-backgrounds (JPEG and PNG, 1.3 to 18
    megapixels) and the photos of tests/data/real/images; ends the script
    when the package is missing."""
    photos = sorted(glob.glob("/usr/share/backgrounds/mate/*/*.jpg") +
                    glob.glob("/usr/share/backgrounds/mate/*/*.png"))
    if not photos:
        sys.exit("no photos: install mate-backgrounds (tools/setup.sh)")
    return photos + sorted(glob.glob(os.path.join(ROOT, "tests", "data", "real", "images", "*")))


def install_debian(packages):
    """Installs the Debian packages of the list that are missing (root)."""
    missing = [p for p in packages if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode]
    if missing:
        print("installing " + " ".join(missing) + " ...")
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def install_peers(bench):
    """Installs the peer's npm packages once into BUILD_DIR/bench/npm (not
    the project's folder); returns their node_modules folder."""
    folder = os.path.join(bench.build, "bench", "npm")
    stamp = os.path.join(folder, ".installed")
    if not os.path.exists(stamp) or open(stamp).read() != " ".join(PEERS):
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "package.json"), "w") as f:
            f.write('{"private": true}\n')
        print("installing " + " ".join(PEERS) + " ...")
        # The CPU build bundled in the package is all this needs: no GPU download.
        env = dict(os.environ, ONNXRUNTIME_NODE_INSTALL="skip")
        subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--loglevel=error", *PEERS],
                       cwd=folder, check=True, env=env, stdout=subprocess.DEVNULL)
        with open(stamp, "w") as f:
            f.write(" ".join(PEERS))
    return os.path.join(folder, "node_modules")
