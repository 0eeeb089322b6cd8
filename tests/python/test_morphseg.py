"""The morphological segmenter from Python: the plan and the processor over
the fixture bundles of gen_morphseg.py, on every word of the EWT dev
treebank against the PyTorch reference."""

import gc
import json
import random

import pytest
from conftest import read_conll
from release_probe import assert_releases_lock

import _velmora
from _velmora import (Document, ModelBundle, MorphSegModelError, MorphSegPlan, MorphSegProcessor,
                      Pipeline, ProcessorNotImplementedError)

# Reference answers whose smallest score gap is below this may flip between
# float32 and the float64 reference.
MARGIN = 1e-4
SEEDED = "morphseg/random/bundle"


def clear(margin):
    return margin is None or margin > MARGIN


@pytest.fixture(scope="module")
def ewt(fixture_dir):
    reference = json.loads((fixture_dir / "morphseg" / "ewt.json").read_text(encoding="utf-8"))
    if "skipped" in reference:
        pytest.skip(f"fixtures were generated without the treebank: {reference['skipped']}")
    return reference


def documents(sentences, per_document=40):
    return [Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(s)]
                                for s in sentences[first:first + per_document]])
            for first in range(0, len(sentences), per_document)]


def test_ewt_words_match_the_reference(fixture_dir, ewt):
    words = [w for s in ewt["sentences"] for w in s]
    assert len(words) == len(ewt["morphemes"]) > 25_000
    compared = [i for i, margin in enumerate(ewt["margins"]) if clear(margin)]
    assert len(compared) >= 0.995 * len(words)

    plan = MorphSegPlan(fixture_dir / SEEDED)
    segmented = plan.segment_many(words)
    assert [segmented[i] for i in compared] == [ewt["morphemes"][i] for i in compared]

    processor = MorphSegProcessor(fixture_dir / SEEDED)
    bulk = processor.bulk_process(documents(ewt["sentences"]))
    single = [processor(doc) for doc in documents(ewt["sentences"])]
    for docs in (bulk, single):
        written = [w.morphemes for doc in docs for w in doc.iter_words()]
        assert written == segmented

    # The MISC column carries them, and the CoNLL-U stays parseable.
    parsed = [w for doc in bulk for s in read_conll(doc) for w in s]
    assert len(parsed) == len(words)
    # The parser reads "=" and "|" inside a value as its own separators.
    plain = [i for i, m in enumerate(segmented) if not any("=" in x or "|" in x for x in m)]
    assert len(plain) > 0.99 * len(words)
    assert [parsed[i]["misc"]["Morphemes"] for i in plain] == [",".join(segmented[i])
                                                              for i in plain]


def test_tokenize_then_segment_from_a_model_directory(model_dir, fixture_dir):
    models = model_dir({"tokenize": "tokenizer/mwt_gated", "morphseg": SEEDED})
    pipeline = Pipeline("en", "tokenize,morphseg", model_dir=models)
    assert [p.implemented for p in pipeline.processors] == [True, True]
    plan = MorphSegPlan(fixture_dir / SEEDED)
    texts = ["Hello there. Straße und ＡＢＣ!", "A second text, with 3.14 and don't."]
    for doc in [pipeline(t) for t in texts] + pipeline.bulk_process(texts):
        words = list(doc.iter_words())
        assert words and all(w.morphemes == plan.segment(w.text) for w in words)


def test_python_surface(fixture_dir):
    order = ["CharLMPlan", "CorefPlan", "MorphSegPlan", "WordPieceEncoding"]
    assert [n for n in vars(_velmora) if n in order] == [n for n in order if hasattr(_velmora, n)]
    plan = MorphSegPlan(bundle_path=str(fixture_dir / "morphseg/separator/bundle"))
    assert plan.bundle.checksums_verified is False
    assert plan.segment(word="Ab") == ["a", "b", ""]
    assert plan.segment_many(words=("Ab", "c")) == [["a", "b", ""], ["c", ""]]
    for call in (lambda: plan.segment_many("ab"), lambda: plan.segment_many(["a", 1]),
                 lambda: plan.segment(b"ab"), lambda: MorphSegPlan(fixture_dir / SEEDED, 1)):
        with pytest.raises(TypeError):
            call()
    # Documents reach the plan through its processor only.
    assert not hasattr(plan, "process") and not hasattr(plan, "process_bulk")

    bundle = plan.bundle
    del plan
    gc.collect()
    assert isinstance(bundle, ModelBundle) and bundle.processor == "morphseg"
    assert "encoder.h_0" in bundle.tensor_names

    processor = MorphSegProcessor(model_path=fixture_dir / SEEDED, verify_checksums=True)
    assert processor.implemented and processor.bundle_path.parent.name == "random"
    with pytest.raises(TypeError):
        processor.segment_many("ab")
    for call in (lambda: MorphSegProcessor().segment("x"),
                 lambda: MorphSegProcessor().segment_many([])):
        with pytest.raises(ProcessorNotImplementedError) as info:
            call()
        assert str(info.value) == "the 'morphseg' processor has no loaded model bundle"

    with pytest.raises(MorphSegModelError) as info:
        MorphSegPlan(fixture_dir / "morphseg/pad/bundle").segment("a")
    assert str(info.value) == "MorphSeg classifier predicted a padding or out-of-range action"
    with pytest.raises(MorphSegModelError) as info:
        MorphSegProcessor(fixture_dir / "wordform/lemma_model/bundle")
    assert str(info.value) == "expected a morphseg bundle, got 'lemma'"


def test_segmenting_releases_the_interpreter_lock(fixture_dir):
    plan = MorphSegPlan(fixture_dir / SEEDED)
    processor = MorphSegProcessor(fixture_dir / SEEDED)
    rng = random.Random(5)
    words = ["".join(rng.choice("abcdefghij") for _ in range(rng.randint(1, 12)))
             for _ in range(4000)]
    assert_releases_lock(lambda n: lambda: plan.segment_many(words * n))
    assert_releases_lock(lambda n: lambda: [plan.segment(w) for w in words[:200 * n]])
    assert_releases_lock(lambda n: lambda: processor.segment_many(words * n))
    assert_releases_lock(lambda n: lambda: [processor.segment(w) for w in words[:200 * n]])
