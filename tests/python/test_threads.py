"""Threads change how fast a call runs, never what it gives, and a call opens
parallel regions once per call or per unit, never once per recurrence step
or small product: the count of regions does not grow with the input."""

import json
import os
import pathlib
import sys

import _velmora
import pytest
from conftest import ALL_BUNDLES, preloading, run_child

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


# The entity tagger and the resolver over an encoder of a large one's width
# and depth, whose every forward pass is dozens of products.
WIDE_BUNDLES = {**ALL_BUNDLES, "ner": "wide/ner", "coref": "wide/coref"}


def counter_library():
    build = pathlib.Path(_velmora.__file__).resolve().parent.parent
    library = build / "tests" / "libvelmora_region_counter.so"
    assert library.is_file(), f"the region counter is not built: {library}"
    return library


def probe(mode, models, fixture_dir, bundle_set, threads, timeout=900):
    """Runs thread_probe.py in `mode` in a session of its own, which is
    killed whole (forked children included) when it outlives `timeout`."""
    library = counter_library()
    bundles = {name: str(fixture_dir / path) for name, path in bundle_set.items()}
    # A runtime this process was started with (the sanitizers') stays first.
    env = preloading(library, dict(os.environ, OMP_NUM_THREADS=str(threads)))
    code, out, err = run_child([sys.executable, str(PROBE), mode, str(models),
                                json.dumps(bundles), str(library)], env, timeout)
    assert code == 0, err[-4000:]
    return json.loads(out)


@pytest.mark.parametrize("bundle_set", [ALL_BUNDLES, TRANSFORMER_BUNDLES],
                         ids=["every_processor", "transformers"])
def test_results_do_not_depend_on_threads_and_regions_do_not_grow(model_dir, fixture_dir,
                                                                  bundle_set):
    models = model_dir(bundle_set)
    one = probe("regions", models, fixture_dir, bundle_set, 1)
    four = probe("regions", models, fixture_dir, bundle_set, 4)
    for size, calls in one.items():
        for call, outcome in calls.items():
            assert four[size][call]["result"] == outcome["result"], (size, call)
    regions = {call: (four["short"][call]["regions"], four["long"][call]["regions"])
               for call in four["short"]}
    assert all(max(counts) <= REGIONS_PER_CALL for counts in regions.values()), regions
    # The units of a call do spread over the team.
    assert regions["bulk_process"][1] > 0, regions


def test_forked_children_finish_with_the_parents_results(model_dir, fixture_dir):
    # The parent gathers its team first: a child's copy of that team has no
    # threads, and a region the forking thread opened in it would never end.
    report = probe("fork", model_dir(ALL_BUNDLES), fixture_dir, ALL_BUNDLES, 4, timeout=600)
    assert report["parent_regions"] > 0
    child = report["fork"]
    assert child is not None, "the forked child failed"
    assert child["results"] == report["parent"]
    assert child["regions"] == 0
    # A thread the child starts has a team of its own.
    assert child["thread"]["result"] == report["parent"]["bulk_process"]
    assert child["thread"]["regions"] > 0
    assert report["pool"] == report["parent"]


def test_wide_encoders_gather_the_team_only_a_few_times_a_call(model_dir, fixture_dir):
    # One sentence or window alone, with every core busy, runs its encoder
    # on the calling thread; fifty are units of the team.
    if len(os.sched_getaffinity(0)) < os.cpu_count():
        pytest.skip("this process may use only some of the machine's CPUs: the kernel does not "
                    "tell which CPUs the busy threads it counts are on, so products keep the "
                    "whole team")
    report = probe("wide", model_dir(WIDE_BUNDLES), fixture_dir, WIDE_BUNDLES, 4)
    assert all(count <= REGIONS_PER_CALL for calls in report.values()
               for count in calls.values()), report
