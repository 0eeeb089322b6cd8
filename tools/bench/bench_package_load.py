"""Loading a processor whose transformer is a compiled package: two builds of the
module side by side, and the package runtime's own loader beside them.

  python tools/bench/bench_package_load.py --build A=OLD/python --build B=NEW/python \
      [--repeat 5] BUNDLE...

Each sample is a fresh process (the first load in a process is the one a
caller pays; later loads of the same library reuse it) that imports the
module of one build and times the processor's construction (its plan's) from BUNDLE, without
and with checksum verification. Each runs with a temporary directory of its
own, watched from outside: the sample also reports how long a package's
private directory stood in it (the window in which a kill leaves it
behind), how much of that was after the construction returned, and the
bytes the directory held at most. The builds take turns, in a new order each
round, so that a drift of the machine's load falls on every side alike. The
reference loads the bundle's package file alone, through the runtime's
loader in the torch environment (it unpacks the archive itself; no plan, no
verification). Prints the median and best of each side, the median ratio of
every build to the first, and the load average and CPU model.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import pathlib
import shutil
import stat
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from machine import cpu_model  # noqa: E402

VENV = pathlib.Path.home() / ".cache" / "velmora"
NATIVE_PYTHON = VENV / "venv-py312" / "bin" / "python"
TORCH_PYTHON = VENV / "venv-torch" / "bin" / "python"

PROCESSORS = {"coref": "CorefProcessor", "pos": "POSProcessor", "ner": "NERProcessor",
              "depparse": "DepparseProcessor", "sentiment": "SentimentProcessor",
              "constituency": "ConstituencyProcessor"}

NATIVE = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import _velmora
processor = getattr(_velmora, sys.argv[2])
start = time.monotonic()
loaded = processor(sys.argv[3], sys.argv[4] == "1")
print(start, time.monotonic())
"""

REFERENCE = r"""
import sys, time, torch
start = time.perf_counter()
loaded = torch._C._aoti.AOTIModelPackageLoader(sys.argv[1], "model", False, 1, -1)
print(time.perf_counter() - start)
"""


# inotify(7): a directory's entries made and removed.
IN_CREATE, IN_DELETE, IN_ISDIR = 0x100, 0x200, 0x40000000
PRIVATE_PREFIX = "velmora-package-"


class TemporaryWatch:
    """A fresh temporary directory, and when each private package directory
    appeared in it and went (time.monotonic()), and the most its files held."""

    def __init__(self):
        self.path = pathlib.Path(tempfile.mkdtemp(prefix="bench-package-tmp-"))
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(
                self.fd, str(self.path).encode(), IN_CREATE | IN_DELETE) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.made, self.gone, self.peak, self.ended = [], [], 0, None
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        while True:
            data = os.read(self.fd, 65536)
            now = time.monotonic()
            at = 0
            while at < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + length].rstrip(b"\0").decode()
                at += 16 + length
                if name == "stop":
                    return
                if mask & IN_ISDIR and name.startswith(PRIVATE_PREFIX):
                    (self.made if mask & IN_CREATE else self.gone).append(now)
                    if mask & IN_CREATE:
                        threading.Thread(target=self.measure, args=(self.path / name,),
                                         daemon=True).start()

    def measure(self, directory):
        """Samples the bytes under `directory` (links count as their own
        size) until it goes."""
        while directory.exists():
            total = 0
            for path in directory.rglob("*"):
                try:
                    status = path.lstat()
                except OSError:
                    continue
                total += 0 if stat.S_ISDIR(status.st_mode) else status.st_size
            self.peak = max(self.peak, total)
            time.sleep(0.005)

    def close(self):
        (self.path / "stop").touch()
        self.reader.join(timeout=10)
        os.close(self.fd)
        left = [p.name for p in self.path.iterdir() if p.name != "stop"]
        shutil.rmtree(self.path, ignore_errors=True)
        return left


def sample(command, watch=False):
    """The seconds the command reports; with `watch`, also the window figures."""
    env = dict(os.environ, OMP_NUM_THREADS="1")
    temporary = TemporaryWatch() if watch else None
    if temporary:
        env["TMPDIR"] = str(temporary.path)
    try:
        run = subprocess.run(command, capture_output=True, text=True, env=env, timeout=1800)
        if temporary:
            temporary.ended = time.monotonic()
    finally:
        left = temporary.close() if temporary else []
    if run.returncode != 0:
        raise RuntimeError(f"{command[:3]} failed: {run.stderr.strip()[-2000:]}")
    fields = [float(f) for f in run.stdout.split()[-2:]]
    if not temporary:
        return fields[-1]
    start, end = fields
    if len(temporary.made) != 1:
        raise RuntimeError(f"{len(temporary.made)} private directories made")
    # One the process left behind stood until it ended.
    gone = temporary.gone[0] if temporary.gone else temporary.ended
    return end - start, gone - temporary.made[0], max(0.0, gone - end), temporary.peak, len(left)


def load_average():
    return f"{os.getloadavg()[0]:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", required=True,
                        help="NAME=DIR: a directory holding a build's _velmora module")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-reference", action="store_true")
    parser.add_argument("bundles", nargs="+", type=pathlib.Path)
    args = parser.parse_args()
    builds = dict(item.split("=", 1) for item in args.build)
    print(f"CPU: {cpu_model()}; load average at start {load_average()}")
    for bundle in args.bundles:
        manifest = json.loads((bundle / "manifest.json").read_text())
        processor = PROCESSORS[manifest["processor"]]
        package = bundle / manifest["artifacts"][0]["path"]
        for verify in (False, True):
            times = {name: [] for name in builds}
            times["reference"] = []
            windows = {name: [] for name in builds}
            loads = [load_average()]
            for round_ in range(args.repeat):
                order = list(builds.items())
                if round_ % 2:
                    order.reverse()
                for name, directory in order:
                    took, *window = sample([str(NATIVE_PYTHON), "-c", NATIVE, directory,
                                            processor, str(bundle), "1" if verify else "0"],
                                           watch=True)
                    times[name].append(took)
                    windows[name].append(window)
                if not args.no_reference and not verify:
                    times["reference"].append(
                        sample([str(TORCH_PYTHON), "-c", REFERENCE, str(package)]))
            loads.append(load_average())
            first = statistics.median(times[next(iter(builds))])
            print(f"{bundle.name} ({package.stat().st_size / 2**20:.1f} MiB package), "
                  f"verify={verify}, load {loads[0]} -> {loads[1]}")
            for name, values in times.items():
                if not values:
                    continue
                median = statistics.median(values)
                line = (f"  {name:>10}: median {median * 1000:8.1f} ms, best {min(values) * 1000:8.1f}"
                        f" ms, {median / first:.3f}x the first build")
                if windows.get(name):
                    stood, after, held, left = zip(*windows[name])
                    line += (f"\n{'':>14}private directory stood {statistics.median(stood) * 1000:.1f} ms"
                             f" (max {max(stood) * 1000:.1f}), {statistics.median(after) * 1000:.1f}"
                             f" ms of it after construction returned, held at most"
                             f" {max(held):,} bytes, left behind by {sum(left)} of {len(left)}"
                             f" normal exits")
                print(line)

if __name__ == "__main__":
    main()
