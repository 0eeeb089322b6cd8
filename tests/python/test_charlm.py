import gc
import json
import os
import pathlib
import shutil

import pytest

from _velmora import CharLMModelError, CharLMPlan, ModelBundle, ModelBundleError
from release_probe import assert_keeps_lock, assert_releases_lock

TOLERANCE = 1e-5


@pytest.fixture(scope="module")
def charlm_dir():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    directory = pathlib.Path(root) / "charlm"
    if not (directory / "reference.json").is_file():
        pytest.skip(f"character language model fixtures missing: {directory}")
    return directory


@pytest.fixture(scope="module")
def reference(charlm_dir):
    return json.loads((charlm_dir / "reference.json").read_text(encoding="utf-8"))


def assert_vectors_close(actual, expected, label):
    assert len(actual) == len(expected), label
    for got_row, want_row in zip(actual, expected):
        assert len(got_row) == len(want_row), label
        for got, want in zip(got_row, want_row):
            assert abs(got - want) <= TOLERANCE, (label, got, want)


def test_standalone_models_match_the_reference(charlm_dir, reference):
    sentences = reference["sentences"]
    standalone = {name: model for name, model in reference["models"].items() if not model["prefix"]}
    assert len(standalone) >= 4
    for name, model in standalone.items():
        plan = CharLMPlan(charlm_dir / model["bundle"])
        assert plan.is_forward is model["forward"]
        assert plan.hidden_size == model["hidden"]
        for words, vectors in zip(sentences, model["vectors"]):
            got = plan.encode(words)
            assert isinstance(got, list) and all(isinstance(row, list) for row in got)
            assert_vectors_close(got, vectors, (name, words))
        assert plan.encode(tuple(sentences[3])) == plan.encode(list(sentences[3]))
        assert plan.encode([]) == []


def test_conversions_and_defaults(charlm_dir, tmp_path):
    bundle = charlm_dir / "models" / "forward1"
    plan = CharLMPlan(bundle_path=os.fsencode(bundle), verify_checksums=True)
    assert plan.bundle.checksums_verified is True
    with pytest.raises(TypeError):
        plan.encode("ab")  # one string is not a list of words
    with pytest.raises(TypeError):
        plan.encode(b"ab")
    with pytest.raises(TypeError):
        plan.encode(["ab", 1])
    with pytest.raises(TypeError):
        CharLMPlan(bundle, 1)
    with pytest.raises(TypeError):
        CharLMPlan(None)
    with pytest.raises(AttributeError):
        plan.is_forward = False

    # Checksums are not verified unless asked: a changed tensor file loads.
    copy = tmp_path / "changed"
    shutil.copytree(bundle, copy)
    data = bytearray((copy / "tensors.bin").read_bytes())
    data[0] ^= 0x01
    (copy / "tensors.bin").write_bytes(bytes(data))
    assert CharLMPlan(copy).bundle.checksums_verified is False
    with pytest.raises(ModelBundleError):
        CharLMPlan(copy, True)


def test_bundle_keeps_the_plan_alive(charlm_dir):
    plan = CharLMPlan(str(charlm_dir / "models" / "backward2"))
    expected = plan.encode(["ab", "c"])
    bundle = plan.bundle
    assert isinstance(bundle, ModelBundle)
    del plan
    gc.collect()
    assert bundle.processor == "backward_charlm"
    assert "char_emb.weight" in bundle.tensor_names
    # The direction comes from the assets, not from the processor name.
    mislabelled = CharLMPlan(charlm_dir / "cases" / "backward_says_forward")
    assert mislabelled.bundle.processor == "backward_charlm"
    assert mislabelled.is_forward is True
    assert len(expected) == 2


def test_load_failures(charlm_dir):
    with pytest.raises(CharLMModelError) as raised:
        CharLMPlan(charlm_dir / "embedded" / "tagger")
    assert str(raised.value) == "expected a forward/backward_charlm bundle, got 'pos'"
    with pytest.raises(ModelBundleError) as raised:
        CharLMPlan(charlm_dir / "no_such_bundle")
    assert type(raised.value) is ModelBundleError
    # Asset errors of the JSON reader pass unchanged: a RuntimeError, not a
    # model error.
    with pytest.raises(RuntimeError) as raised:
        CharLMPlan(charlm_dir / "cases" / "no_direction")
    assert not isinstance(raised.value, ModelBundleError)
    assert str(raised.value) == "missing JSON key 'is_forward_lm' at charlm assets"
    with pytest.raises(CharLMModelError, match="^ATen view does not support bundle dtype: uint16$"):
        CharLMPlan(charlm_dir / "cases" / "bad_dtype")


def test_encode_releases_the_lock(charlm_dir):
    plan = CharLMPlan(charlm_dir / "models" / "forward2")
    assert_releases_lock(lambda n: lambda: plan.encode(["abcdefg", "éñ日😀"] * 4000 * n))
    assert_keeps_lock(lambda: plan.bundle.tensor_names)
