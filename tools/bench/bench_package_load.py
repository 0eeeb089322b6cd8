"""Loading a processor whose transformer is a compiled package: two builds of the
module side by side, and the package runtime's own loader beside them.

  python tools/bench/bench_package_load.py --build A=OLD/python --build B=NEW/python \
      [--repeat 5] BUNDLE...

Each sample is a fresh process (the first load in a process is the one a
caller pays; later loads of the same library reuse it) that imports the
module of one build and times the processor's construction (its plan's) from BUNDLE, without
and with checksum verification. The builds take turns, in a new order each
round, so that a drift of the machine's load falls on every side alike. The
reference loads the bundle's package file alone, through the runtime's
loader in the torch environment (it unpacks the archive itself; no plan, no
verification). Prints the median and best of each side, the median ratio of
every build to the first, and the load average and CPU model.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

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
start = time.perf_counter()
loaded = processor(sys.argv[3], sys.argv[4] == "1")
print(time.perf_counter() - start)
"""

REFERENCE = r"""
import sys, time, torch
start = time.perf_counter()
loaded = torch._C._aoti.AOTIModelPackageLoader(sys.argv[1], "model", False, 1, -1)
print(time.perf_counter() - start)
"""


def sample(command):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    run = subprocess.run(command, capture_output=True, text=True, env=env, timeout=1800)
    if run.returncode != 0:
        raise RuntimeError(f"{command[:3]} failed: {run.stderr.strip()[-2000:]}")
    return float(run.stdout.split()[-1])


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
            loads = [load_average()]
            for round_ in range(args.repeat):
                order = list(builds.items())
                if round_ % 2:
                    order.reverse()
                for name, directory in order:
                    times[name].append(sample([str(NATIVE_PYTHON), "-c", NATIVE, directory, processor,
                                               str(bundle), "1" if verify else "0"]))
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
                print(f"  {name:>10}: median {median * 1000:8.1f} ms, best {min(values) * 1000:8.1f} ms"
                      f", {median / first:.3f}x the first build")


if __name__ == "__main__":
    main()
