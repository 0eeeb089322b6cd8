"""The default pipeline's CoNLL-U as the UD validator sees it: the structure
and spacing of the format must be clean, whatever the random weights say."""

import collections
import os
import pathlib
import subprocess

import pytest

from _velmora import Pipeline
from conftest import ud_errors
from test_default_pipeline import documents_of

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Content errors of random weights, each kept for the reason given; none is
# an error of the format's structure or spacing.
IGNORED = {
    "unknown-upos": "the tagger picks any entry of its vocabulary, padding included",
    "invalid-whitespace-mwt": "the tokenizer may make a multi-word token of a span with a space",
}


def without_random_content(doc):
    """Takes out what random weights decide and the validator cannot see
    past. A feature it cannot read (a padding entry as a value) ends its
    checks of the sentence, text and spacing included; features come in the
    bundle's byte order, not its case-insensitive one. A token text keeps a
    space the tokenizer ended it with, while the token's offsets, and so its
    spacing and the sentence text, leave that space out."""
    for sentence in doc.sentences:
        for token in sentence.tokens:
            if token.text.rstrip():
                token.text = token.text.rstrip()
        for word in sentence.words:
            word.feats = None
            if word.text.rstrip():
                word.text = word.text.rstrip()
            if word.lemma:
                word.lemma = word.lemma.rstrip() or None
    return doc


def pipeline_errors(model_dir, texts):
    errors = collections.Counter()
    for doc in Pipeline("en", model_dir=model_dir).bulk_process(texts):
        errors.update(ud_errors(without_random_content(doc).to_conll()))
    return {testid: count for testid, count in errors.items() if testid not in IGNORED}


def test_fixture_pipeline_output_has_no_format_error(default_models, ewt_dev_texts):
    assert pipeline_errors(default_models, documents_of(ewt_dev_texts)) == {}


def realistic_models():
    """The main command's model directory, in the cache it uses, with the
    default processors' bundles: the model builder builds those it lacks
    (about a minute on one thread the first time) and names it."""
    cache = pathlib.Path(os.environ.get("VELMORA_CACHE", pathlib.Path.home() / ".cache/velmora"))
    torch_python = cache / "venv-torch" / "bin" / "python"
    if not torch_python.exists():
        pytest.skip(f"no model-building interpreter at {torch_python} (bash tools/setup.sh)")
    run = subprocess.run([torch_python, ROOT / "tools" / "models" / "build_models.py", "--quiet"],
                         capture_output=True, text=True, timeout=1800,
                         env={"OMP_WAIT_POLICY": "PASSIVE", **os.environ})
    assert run.returncode == 0, run.stderr
    return pathlib.Path(run.stdout.strip())


def test_realistic_pipeline_output_has_no_format_error(ewt_dev_texts):
    assert pipeline_errors(realistic_models(), documents_of(ewt_dev_texts)[:8]) == {}
