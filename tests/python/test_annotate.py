"""The main command's annotator (tools/annotate.py): its processor list and
what it prints besides the CoNLL-U."""

import pathlib
import subprocess
import sys

import pytest

import _velmora
from conftest import ALL_BUNDLES, write_model_index

ANNOTATE = pathlib.Path(__file__).resolve().parents[2] / "tools" / "annotate.py"


def annotate(*args):
    return subprocess.run([sys.executable, str(ANNOTATE), *args], capture_output=True,
                          text=True, timeout=300)


def test_processor_list_is_checked_before_any_model():
    every = annotate("--check", "--processors", " all ")
    assert every.returncode == 0, every.stderr
    names = every.stdout.strip().split(",")
    # Every registered processor once, in an order the pipeline accepts, the
    # identifier after the tokenizer (which sets its own bundle's language).
    assert sorted(names) == sorted(_velmora.processor_specs())
    _velmora.Pipeline("en", processors=names)
    assert names.index("langid") > names.index("tokenize")

    for processors, message in [
            ("tokenize,all", "unknown processor: 'all'"),
            ("tokenize,Pos", "unknown processor: 'Pos'"),
            ("pos,tokenize", "processor 'pos' is missing requirements: tokenize"),
            ("tokenize,tokenize", "may only appear once in a pipeline: 'tokenize'")]:
        run = annotate("--check", "--processors", processors)
        assert run.returncode == 2 and run.stdout == ""
        assert run.stderr.startswith("annotate: argument --processors: ") and message in run.stderr


@pytest.fixture(scope="module")
def every_model(fixture_dir, tmp_path_factory):
    return write_model_index(tmp_path_factory.mktemp("every"), fixture_dir, ALL_BUNDLES)


def test_all_processors_print_every_section_even_when_empty(every_model):
    run = annotate("--model-dir", str(every_model), "--processors", "all",
                   "Mr. Smith went to Paris. He liked it.")
    assert run.returncode == 0, run.stderr
    conll, _, extras = run.stdout.partition("\n\n")
    assert conll.startswith("# sent_id = 0\n") and "Morphemes=" in conll
    lines = extras.splitlines()
    assert lines[0].startswith("language: ") and lines[0] != "language: none"
    assert [line.split(" ")[2] for line in lines[1:3]] == ["sentiment", "tree"]
    assert any(line.startswith("entities:") for line in lines)
    assert any(line.startswith("coreference chains:") for line in lines)

    # Text without a sentence: no CoNLL-U, and each section of a processor
    # that ran says so.
    empty = annotate("--model-dir", str(every_model), "--processors", "all", " ")
    assert empty.returncode == 0, empty.stderr
    assert empty.stdout.splitlines() == [
        "language: none", "sentiments: none", "constituency trees: none", "entities: none",
        "coreference chains: none"]
