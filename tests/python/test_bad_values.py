"""Bad values from bundles and callers end in the library's own errors:
configured loop sizes beyond their bounds are refused at load, messages
holding bytes that are not UTF-8 keep their class and their text, arguments
out of range are Python's own argument errors naming the argument, and a
failed allocation in the tensor library is MemoryError."""

import json
import os
import shutil
import subprocess
import sys

import pytest

import _velmora
from _velmora import (CorefMention, CorefModelError, CorefPlan, DepparseModelError,
                      DepparseProcessor, Document, LangIDProcessor, LemmaProcessor,
                      ModelBundleError, MorphSegModelError, MorphSegProcessor, MWTProcessor,
                      Pipeline, POSModelError, POSProcessor, Seq2SeqModelError,
                      SentimentModelError, SentimentProcessor, TokenizeProcessor,
                      TokenizerModelError, TransformerEncoder, TransformerError)

HUGE = 2 ** 62

# (class, bundle, assets section, key, value, error, model name in the message, bound)
BOUNDED = [
    (LemmaProcessor, "wordform/lemma_model/bundle", "config", "max_dec_len", HUGE,
     Seq2SeqModelError, "seq2seq", 10000),
    (LemmaProcessor, "wordform/lemma_model/bundle", "config", "beam_size", 1001,
     Seq2SeqModelError, "seq2seq", 1000),
    (MWTProcessor, "wordform/mwt_seq2seq/bundle", "config", "batch_size", HUGE,
     Seq2SeqModelError, "seq2seq", 1000000),
    (TokenizeProcessor, "tokenizer/dict_plain", "config", "batch_size", HUGE,
     TokenizerModelError, "tokenizer", 1000000),
    (TokenizeProcessor, "tokenizer/dict_plain", "config", "num_dict_feat", HUGE,
     TokenizerModelError, "tokenizer", 100000),
    (POSProcessor, "pos/models/composite_charlm_proj_l2", "config", "batch_size", HUGE,
     POSModelError, "POS", 1000000),
    (POSProcessor, "pos/models/composite_charlm_proj_l2", "config", "batch_maximum_tokens", HUGE,
     POSModelError, "POS", 1000000),
    (DepparseProcessor, "depparse/models/plain_lin_dist_l2", "config", "batch_size", HUGE,
     DepparseModelError, "depparse", 1000000),
    (MorphSegProcessor, "morphseg/random/bundle", "config", "batch_size", HUGE,
     MorphSegModelError, "MorphSeg", 1000000),
    (SentimentProcessor, "sentiment/models/plain", "config", "filter_sizes", [3, [HUGE, 1]],
     SentimentModelError, "sentiment", 100000),
    (CorefPlan, "coref/models/bpe_all", "config", "a_scoring_batch_size", HUGE,
     CorefModelError, "coref", 1000000),
    (CorefPlan, "coref/models/bpe_all", "transformer", "model_max_length", HUGE,
     TransformerError, "transformer", 100000),
    (CorefPlan, "coref/models/bpe_all", "transformer", "hidden_size", HUGE,
     TransformerError, "transformer", 100000),
    (CorefPlan, "coref/models/wordpiece_base", "transformer.tokenizer",
     "max_input_characters_per_word", 1001, TransformerError, "transformer", 1000),
]


def edited_bundle(fixture_dir, tmp_path, relative, section, key, value):
    target = tmp_path / "bundle"
    shutil.copytree(fixture_dir / relative, target, symlinks=True)
    assets = json.loads((target / "assets.json").read_text(encoding="utf-8"))
    edited = assets
    for name in section.split("."):
        edited = edited[name]
    edited[key] = value
    (target / "assets.json").write_text(json.dumps(assets), encoding="utf-8")
    return target


@pytest.mark.parametrize("make, bundle, section, key, value, error, model, bound", BOUNDED,
                         ids=[f"{row[1].split('/')[0]}-{row[3]}" for row in BOUNDED])
def test_configured_loop_sizes_beyond_their_bounds_are_refused_at_load(
        fixture_dir, tmp_path, make, bundle, section, key, value, error, model, bound):
    with pytest.raises(error) as info:
        make(edited_bundle(fixture_dir, tmp_path, bundle, section, key, value))
    given = value if isinstance(value, int) else HUGE
    assert str(info.value) == f"{model} config '{key}' exceeds its bound of {bound}: {given}"


def test_a_decoder_at_its_bound_still_loads(fixture_dir, tmp_path):
    lemma = LemmaProcessor(edited_bundle(fixture_dir, tmp_path, "wordform/lemma_model/bundle",
                                         "config", "max_dec_len", 10000))
    assert isinstance(lemma.lemmatize("cats", "NOUN"), str)


def test_undecodable_path_names(fixture_dir, tmp_path):
    # The byte 0xFF is no UTF-8; as str it is the surrogate that stands for it.
    name = os.fsencode(tmp_path) + b"/\xff-bundle"
    shutil.copytree(fixture_dir / "tokenizer/dict_plain", os.fsdecode(name))
    for path in (name, os.fsdecode(name)):
        assert os.fsencode(TokenizeProcessor(path).bundle_path) == name
    missing = name + b"-missing"
    makers = [(TokenizeProcessor, ModelBundleError), (CorefPlan, ModelBundleError),
              (LangIDProcessor, ModelBundleError),
              (lambda path: Pipeline("en", "tokenize", model_dir=path), ModelBundleError),
              (lambda path: TransformerEncoder(path, ["[UNK]", "[CLS]", "[SEP]"]), TransformerError)]
    for make, error in makers:
        for path in (missing, os.fsdecode(missing)):
            with pytest.raises(error) as info:
                make(path)
            assert type(info.value) is error
            assert "/\\xff-bundle-missing" in str(info.value)


def test_integers_out_of_range_name_their_argument():
    doc = Document.from_dict([[{"id": 1, "text": "a", "head": 0, "deprel": "root"}]])
    word = doc.sentences[0].words[0]
    cases = [(lambda: CorefMention(0, 2 ** 31, 3), OverflowError, "start_word"),
             (lambda: CorefMention(0, (1, -2 ** 40), 3), OverflowError, "start_word"),
             (lambda: CorefMention(2 ** 31, 1, 2), TypeError, "sentence"),
             (lambda: setattr(word, "head", 2 ** 31), TypeError, "head"),
             (lambda: setattr(doc.sentences[0], "sentiment", -2 ** 31 - 1), TypeError,
              "sentiment"),
             (lambda: doc.byte_offset(-1), TypeError, "codepoint_index"),
             (lambda: SentimentProcessor().classify_many([], batch_size=-1), TypeError,
              "batch_size"),
             (lambda: _velmora.XLMRobertaTokenizer(["<unk>"], [0.0], [], 2 ** 63), TypeError,
              "unknown_id")]
    for call, error, name in cases:
        with pytest.raises(error) as info:
            call()
        assert name in str(info.value)


# A sentence of 20,000 words needs 1.6 GB for its arc scores; the child has
# 2 GiB of address space in all.
CAPPED_PARSE = r"""
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
import _velmora
words = [{"id": i + 1, "text": "w%d" % (i % 50), "lemma": "w", "upos": "NOUN", "xpos": "NN",
          "feats": "_"} for i in range(20000)]
try:
    _velmora.DepparseProcessor(sys.argv[1])(_velmora.Document.from_dict([words]))
except BaseException as error:
    print(type(error).__name__, error)
"""


def test_an_allocation_the_tensor_library_cannot_make_is_memory_error(fixture_dir):
    # One thread: every thread's reserved stack and heap count against the cap.
    run = subprocess.run([sys.executable, "-c", CAPPED_PARSE,
                          str(fixture_dir / "depparse/models/plain_lin_dist_l2")],
                         capture_output=True, text=True, env={**os.environ, "OMP_NUM_THREADS": "1"})
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.startswith("MemoryError "), run.stdout
    assert "allocate 1600160004 bytes" in run.stdout
