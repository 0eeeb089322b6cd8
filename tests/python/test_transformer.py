import base64
import json
import os
import pathlib

import pytest

from _velmora import SubwordError, TransformerEncoder, TransformerError, WordPieceError
from release_probe import assert_keeps_lock, assert_releases_lock

# Compiled kernels reorder float32 sums; a wrong row, window or position is
# off by far more.
TOLERANCE = 2e-5


@pytest.fixture(scope="module")
def fixtures():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    directory = pathlib.Path(root) / "transformer"
    if not (directory / "reference.json").is_file():
        pytest.skip(f"transformer fixtures missing: {directory}")
    reference = json.loads((directory / "reference.json").read_text(encoding="utf-8"))
    return Fixtures(directory, reference)


class Fixtures:
    """The tiny package of each bundle, its tokenizer description and the
    eager module's reference rows; encoders are loaded once per setting."""

    def __init__(self, directory, reference):
        self.directory = directory
        self.reference = reference
        self.encoders = {}

    def package(self, kind):
        return self.directory / kind / "tiny.pt2"

    def tokenizer(self, kind):
        assets = json.loads((self.directory / kind / "assets.json").read_text(encoding="utf-8"))
        return assets["transformer"]["tokenizer"]

    def encoder(self, kind, length=512):
        if (kind, length) not in self.encoders:
            self.encoders[kind, length] = build(self.package(kind), self.tokenizer(kind), length)
        return self.encoders[kind, length]


def build(package, t, length):
    """The constructor of the description's kind, all arguments by position."""
    if t["type"] == "WordPiece":
        return TransformerEncoder(package, t["vocabulary"], t["lowercase"], t["strip_accents"], 0,
                                  length, t["unknown_token"], t["cls_token"], t["sep_token"],
                                  t["continuing_subword_prefix"],
                                  t["max_input_characters_per_word"])
    if t["type"] == "ByteBPE":
        return TransformerEncoder(package, t["vocabulary"], [tuple(m) for m in t["merges"]],
                                  t["add_prefix_space"], 0, length, t["unknown_token"],
                                  t["cls_token"], t["sep_token"])
    return TransformerEncoder(package, t["vocabulary"], t["scores"],
                              list(base64.b64decode(t["precompiled_charsmap"])), t["unknown_id"],
                              0, length, t["cls_token"], t["sep_token"])


def assert_rows_close(actual, expected, label=""):
    assert len(actual) == len(expected), label
    for r, (got_row, want_row) in enumerate(zip(actual, expected)):
        assert len(got_row) == len(want_row), (label, r)
        for got, want in zip(got_row, want_row):
            assert abs(got - want) <= TOLERANCE * (1 + abs(want)), (label, r, got, want)


def test_word_rows_and_encodings_match_the_eager_model(fixtures):
    for case in fixtures.reference["word_cases"]:
        label = (case["tokenizer"], case["model_max_length"], case["keep_endpoints"],
                 len(case["words"]))
        encoder = fixtures.encoder(case["tokenizer"], case["model_max_length"])
        rows = encoder.encode(case["words"], case["keep_endpoints"])
        assert len(rows) == len(case["words"]) + (2 if case["keep_endpoints"] else 0)
        assert_rows_close(rows, case["rows"], label)
        encoding = encoder.tokenize(case["words"])
        assert encoding.input_ids == case["input_ids"], label
        assert encoding.word_ids == case["word_ids"], label
        assert encoding.attention_mask == [1] * len(case["input_ids"])
        bare = encoder.tokenize(words=case["words"], add_special_tokens=False)
        assert bare.input_ids == case["input_ids"][1:-1]
        assert -1 not in bare.word_ids


def test_encode_ids_runs_the_package_once(fixtures):
    encoder = fixtures.encoder("wordpiece")
    for case in fixtures.reference["id_cases"]:
        rows = encoder.encode_ids(case["input_ids"], case["attention_mask"])
        assert_rows_close(rows, case["rows"], len(case["input_ids"]))
        if all(case["attention_mask"]):
            assert_rows_close(encoder.encode_ids(input_ids=tuple(case["input_ids"])), rows)
    assert encoder.encode_ids([]) == []
    with pytest.raises(TransformerError) as raised:
        encoder.encode_ids([2, 5, 3], [1, 1])
    assert str(raised.value) == "transformer attention mask length does not match input ids"
    with pytest.raises(TypeError):
        encoder.encode_ids([2, 5, 3.0])
    with pytest.raises(TypeError):
        encoder.encode_ids("253")


def test_defaults_and_properties(fixtures):
    package = fixtures.package("wordpiece")
    vocabulary = fixtures.tokenizer("wordpiece")["vocabulary"]
    # Path and vocabulary alone: the WordPiece kind with the assets' own
    # settings, which are the defaults, and a maximum length of 512.
    plain = TransformerEncoder(str(package), vocabulary)
    configured = fixtures.encoder("wordpiece")
    short = fixtures.reference["word_cases"][0]
    assert plain.tokenize(short["words"]).input_ids == short["input_ids"]
    long_words = fixtures.reference["word_cases"][4]["words"] * 5  # past 512 subwords
    assert len(plain.tokenize(long_words).input_ids) > 512
    rows = plain.encode(long_words)
    assert_rows_close(rows, configured.encode(long_words))
    with pytest.raises(AssertionError):  # other windows give other rows
        assert_rows_close(rows, fixtures.encoder("wordpiece", 300).encode(long_words))

    for form in (package, str(package), os.fsencode(package)):
        encoder = TransformerEncoder(model_path=form, vocabulary=vocabulary, lowercase=True)
        assert isinstance(encoder.model_path, pathlib.Path)
        assert encoder.model_path == package
    assert TransformerEncoder.runtime_version() == "2.13.0"
    with pytest.raises(AttributeError):
        plain.model_path = package


def test_overload_selection(fixtures):
    package = fixtures.package("bpe")
    bpe = fixtures.tokenizer("bpe")
    vocabulary = bpe["vocabulary"]
    merges = [tuple(m) for m in bpe["merges"]]
    expected = fixtures.encoder("bpe").tokenize(["crêpes"]).input_ids

    by_keyword = TransformerEncoder(package, vocabulary, merges=merges, add_prefix_space=True)
    assert by_keyword.tokenize(["crêpes"]).input_ids == expected
    # A list of pairs without add_prefix_space fits no constructor.
    with pytest.raises(TypeError):
        TransformerEncoder(package, vocabulary, merges)
    # An empty list then a bool: byte-level BPE without merges, one id per byte.
    unmerged = TransformerEncoder(package, vocabulary, [], True)
    ids = [vocabulary.index(t) for t in ("<s>", "\u0120", "a", "b", "</s>")]
    assert unmerged.tokenize(["ab"]).input_ids == ids
    # An empty list then a sequence: the XLM-R kind, refused by its tokenizer.
    with pytest.raises(SubwordError, match="^XLM-R vocabulary and score arrays must be nonempty"):
        TransformerEncoder(package, vocabulary, [], [0, 0, 0, 0], 3)

    xlmr = fixtures.tokenizer("xlmr")
    charsmap = base64.b64decode(xlmr["precompiled_charsmap"])
    expected = fixtures.encoder("xlmr").tokenize(["crêpes"]).input_ids
    encoder = TransformerEncoder(model_path=package, vocabulary=xlmr["vocabulary"],
                                 scores=xlmr["scores"], precompiled_charsmap=bytearray(charsmap),
                                 unknown_id=xlmr["unknown_id"])
    assert encoder.tokenize(["crêpes"]).input_ids == expected
    with pytest.raises(TypeError):
        TransformerEncoder(package, xlmr["vocabulary"], xlmr["scores"], charsmap,
                           xlmr["unknown_id"])


def test_construction_failures(fixtures, tmp_path):
    package = fixtures.package("wordpiece")
    vocabulary = fixtures.tokenizer("wordpiece")["vocabulary"]
    with pytest.raises(TypeError):
        TransformerEncoder(package, vocabulary, intra_op_threads=-1)
    with pytest.raises(TypeError):
        TransformerEncoder(package, vocabulary, 1, 1)
    failures = [
        (dict(model_max_length=4), "transformer model_max_length must be at least 5"),
        (dict(intra_op_threads=9999),
         "intra_op_threads cannot change the process-wide ATen thread pool during "
         "TransformerEncoder construction; call torch.set_num_threads() before constructing "
         "Velmora models"),
    ]
    for options, message in failures:
        with pytest.raises(TransformerError) as raised:
            TransformerEncoder(package, vocabulary, **options)
        assert str(raised.value) == message

    missing = tmp_path / "absent.pt2"
    with pytest.raises(TransformerError) as raised:
        TransformerEncoder(missing, vocabulary)
    assert str(raised.value) == f"AOTInductor transformer model does not exist: {missing}"
    garbage = tmp_path / "garbage.pt2"
    garbage.write_bytes(b"not a model package")
    with pytest.raises(TransformerError) as raised:
        TransformerEncoder(garbage, vocabulary)
    assert str(raised.value).startswith(f"could not load AOTInductor transformer '{garbage}': ")
    # Tokenizer errors pass unchanged.
    with pytest.raises(WordPieceError, match="missing required token: \\[CLS\\]$"):
        TransformerEncoder(package, ["[UNK]", "[SEP]"])


def test_model_work_releases_the_lock(fixtures):
    encoder = fixtures.encoder("wordpiece", 64)
    words = fixtures.reference["word_cases"][4]["words"]
    assert_releases_lock(lambda n: lambda: encoder.encode(words * 2 * n, keep_endpoints=True))
    # The package takes at most 512 positions, so longer work is more calls.
    ids = list(range(512))
    assert_releases_lock(lambda n: lambda: [encoder.encode_ids(ids) for _ in range(4 * n)])
    assert_releases_lock(lambda n: lambda: encoder.tokenize(
        [f"w{i}q{n}" for i in range(10000 * n)]))
    package, tokenizer = fixtures.package("xlmr"), fixtures.tokenizer("xlmr")
    assert_keeps_lock(lambda: build(package, tokenizer, 512))
