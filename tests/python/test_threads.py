"""Threads change how fast a call runs, never what it gives, and a call opens
parallel regions once per call or per unit, never once per recurrence step
or small product: the count of regions does not grow with the input."""

import json
import os
import pathlib
import subprocess
import sys

import _velmora
import pytest
from conftest import ALL_BUNDLES

PROBE = pathlib.Path(__file__).with_name("thread_probe.py")

# The regions one call may open however long its input: one per place that
# spreads units and per product worth the team. The long input has about 50
# sentences, 500 words and 2,700 characters: a region per sentence, word or
# recurrence step would pass it many times over.
REGIONS_PER_CALL = 16

# The same processors over the fixture models that run a transformer.
TRANSFORMER_BUNDLES = {**ALL_BUNDLES,
                       "pos": "pos/models/transformer_l1",
                       "depparse": "depparse/models/transformer_lin_dist_l1",
                       "ner": "ner/models/transformer_transform",
                       "sentiment": "sentiment/models/transformer_both_raw",
                       "constituency": "constituency/models/transformer_everything",
                       "coref": "coref/models/xlmr_zeros"}


def counter_library():
    build = pathlib.Path(_velmora.__file__).resolve().parent.parent
    library = build / "tests" / "libvelmora_region_counter.so"
    assert library.is_file(), f"the region counter is not built: {library}"
    return library


def probe(models, fixture_dir, bundle_set, threads):
    library = counter_library()
    bundles = {name: str(fixture_dir / path) for name, path in bundle_set.items()}
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), LD_PRELOAD=str(library))
    run = subprocess.run([sys.executable, str(PROBE), str(models), json.dumps(bundles),
                          str(library)], env=env, capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stderr[-4000:]
    return json.loads(run.stdout)


@pytest.mark.parametrize("bundle_set", [ALL_BUNDLES, TRANSFORMER_BUNDLES],
                         ids=["every_processor", "transformers"])
def test_results_do_not_depend_on_threads_and_regions_do_not_grow(model_dir, fixture_dir,
                                                                  bundle_set):
    models = model_dir(bundle_set)
    one = probe(models, fixture_dir, bundle_set, 1)
    four = probe(models, fixture_dir, bundle_set, 4)
    for size, calls in one.items():
        for call, outcome in calls.items():
            assert four[size][call]["result"] == outcome["result"], (size, call)
    regions = {call: (four["short"][call]["regions"], four["long"][call]["regions"])
               for call in four["short"]}
    assert all(long <= REGIONS_PER_CALL for _, long in regions.values()), regions
    # The units of a call do spread over the team.
    assert regions["bulk_process"][1] > 0, regions
