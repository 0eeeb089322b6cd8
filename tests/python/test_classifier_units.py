"""The language identifier's passes and the segmenter's batches of forms are
the units of the thread team: at four threads a call over many of them opens
one region whose team has several threads, and its answers are those of one
thread. Counted in a child process with the region counter preloaded."""

import json
import os
import pathlib
import subprocess
import sys

import _velmora
from conftest import preloading

CHILD = r"""
import ctypes, json, random, sys
from _velmora import LangIDProcessor, MorphSegPlan
counter = ctypes.CDLL(sys.argv[3])
counter.velmora_team_regions.restype = ctypes.c_long
rng = random.Random(3)
letters = "abcdefghijklmnopqrstuvwxyz"
texts = ["".join(rng.choice(letters + " ") for _ in range(rng.randint(1, 3000)))
         for _ in range(300)] + ["ab " * 4000]
words = ["".join(rng.choice(letters) for _ in range(rng.randint(1, 40))) for _ in range(3000)]
report = {}
for name, call in (("identify_many", lambda: LangIDProcessor(sys.argv[1]).identify_many(texts)),
                   ("segment_many", lambda: MorphSegPlan(sys.argv[2]).segment_many(words))):
    before = counter.velmora_team_regions()
    result = call()
    report[name] = {"result": result, "team_regions": counter.velmora_team_regions() - before}
print(json.dumps(report))
"""


def run(fixture_dir, threads):
    build = pathlib.Path(_velmora.__file__).resolve().parent.parent
    library = build / "tests" / "libvelmora_region_counter.so"
    assert library.is_file(), f"the region counter is not built: {library}"
    env = preloading(library, dict(os.environ, OMP_NUM_THREADS=str(threads)))
    child = subprocess.run([sys.executable, "-c", CHILD, str(fixture_dir / "langid/models/l2"),
                            str(fixture_dir / "morphseg/random/bundle"), str(library)],
                           env=env, capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr[-4000:]
    return json.loads(child.stdout)


def test_passes_and_batches_spread_over_the_team(fixture_dir):
    one, four = run(fixture_dir, 1), run(fixture_dir, 4)
    for call in ("identify_many", "segment_many"):
        assert four[call]["result"] == one[call]["result"], call
        assert one[call]["team_regions"] == 0, call
        assert four[call]["team_regions"] == 1, (call, four[call])
