"""The constituency processor over fixture bundles, alone and in a pipeline."""

import json
import threading

import pytest
from release_probe import assert_releases_lock

import _velmora
from _velmora import ConstituencyProcessor, Pipeline, ProcessorNotImplementedError

PLAIN = "constituency/models/plain"
ROOT_WORD = "constituency/forced/root_word"


@pytest.fixture
def plain(fixture_dir):
    return ConstituencyProcessor(fixture_dir / PLAIN)


def test_bundle_constructor_and_direct_methods(fixture_dir, plain):
    forced = ConstituencyProcessor(model_path=str(fixture_dir / ROOT_WORD), verify_checksums=True)
    assert forced.implemented and forced.uses_xpos is True
    assert forced.bundle_path == fixture_dir / ROOT_WORD
    assert repr(forced) == "<constituency processor implemented=True>"
    tree = forced.parse(words=["cat"], tags=("NN",))
    assert isinstance(tree, _velmora.ConstituencyTree)
    assert str(tree) == "(ROOT (NN cat))" and tree.leaf_labels() == ["cat"]
    trees = forced.parse_many(sentences=[["cat"], ("cat",)], tags=[["NN"], ["NN"]])
    assert [str(t) for t in trees] == ["(ROOT (NN cat))"] * 2
    assert ConstituencyProcessor(fixture_dir / "constituency/models/everything_l2").uses_xpos \
        is False

    with pytest.raises(TypeError):
        plain.parse("cat", ["NN"])
    with pytest.raises(TypeError):
        plain.parse_many(["cat"], [["NN"]])
    with pytest.raises(_velmora.ConstituencyModelError) as info:
        plain.parse(["a", "b"], ["DT"])
    assert str(info.value) == "constituency words and tags have different lengths"
    with pytest.raises(_velmora.ConstituencyModelError) as info:
        ConstituencyProcessor(fixture_dir / "pos/models/plain_l1")
    assert str(info.value) == "expected a constituency bundle, got 'pos'"


def test_without_a_model():
    processor = ConstituencyProcessor()
    message = "the 'constituency' processor has no loaded model bundle"
    for call in (lambda: processor.uses_xpos, lambda: processor.parse(["a"], ["NN"]),
                 lambda: processor.parse_many([["a"]], [["NN"]])):
        with pytest.raises(ProcessorNotImplementedError) as info:
            call()
        assert str(info.value) == message


def test_parsing_releases_the_lock_and_shares_the_plan(fixture_dir, plain):
    encoder = json.loads((fixture_dir / "constituency/encoder.json").read_text(encoding="utf-8"))
    sentences = [[w[0] for w in s] for s in encoder["sentences"][:40]]
    tags = [[w[2] for w in s] for s in encoder["sentences"][:40]]
    expected = [str(t) for t in plain.parse_many(sentences, tags)]

    results = {}

    def parse(slot):
        results[slot] = [str(t) for t in plain.parse_many(sentences, tags)]

    threads = [threading.Thread(target=parse, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {0: expected, 1: expected}
    assert_releases_lock(lambda n: lambda: plain.parse_many(sentences * n, tags * n))


def test_pipeline_puts_a_tree_on_every_sentence(model_dir):
    models = model_dir({"tokenize": "tokenizer/mwt_gated",
                        "pos": "pos/models/composite_charlm_proj_l2",
                        "constituency": PLAIN})
    pipeline = Pipeline("en", processors="tokenize,pos,constituency", model_dir=models)
    assert isinstance(pipeline.processors[2], ConstituencyProcessor)
    texts = ["The cat sat on the mat. It was warm!", "Dogs bark."]
    for doc in [pipeline(texts[0]), *pipeline.bulk_process(texts)]:
        assert len(doc.sentences) >= 1
        for sentence in doc.sentences:
            tree = sentence.constituency
            assert tree is not None
            assert tree.label in ("ROOT", "TOP")
            assert tree.leaf_labels() == [w.text for w in sentence.words]
