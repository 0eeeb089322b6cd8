"""The main command's annotator (tools/annotate.py): its processor list and
what it prints besides the CoNLL-U."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

import _velmora
from conftest import ALL_BUNDLES, write_model_index

ANNOTATE = pathlib.Path(__file__).resolve().parents[2] / "tools" / "annotate.py"
TIMING = re.compile(r"0 words in 0 sentences: .* words per second .*")


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


# Every list of two and three processors that the main command's check
# takes, annotated as main.sh has the annotator do it, over the model
# directory the builder makes for that list: fixture bundles of the same
# configuration (the lemmatizer reading part-of-speech tags, or, in the
# directory of lists without the tagger before it, one reading none).
EVERY_LIST = r"""
import itertools, json, sys
tools, standard, untagged = sys.argv[1:]
sys.path[:0] = [tools, tools + "/models"]
import _velmora, annotate, build_models
names, failed, taken = list(_velmora.processor_specs()), [], []
for processors in (",".join(p) for n in (2, 3) for p in itertools.permutations(names, n)):
    try:
        annotate.annotate(annotate.parse_arguments(
            [annotate.MAIN_CHECK, "--processors", processors, "--"]))
    except annotate.Refusal:
        continue
    taken.append(processors)
    models = untagged if build_models.untagged_lemmas(processors) else standard
    for text in ("", "Mr. Smith didn't go. It's over."):
        try:
            annotate.annotate(annotate.parse_arguments(
                [annotate.MAIN_MODEL_DIR, models, "--processors", processors, "--", text]))
        except annotate.Refusal as refusal:
            failed.append([processors, text, str(refusal)])
print(json.dumps({"taken": taken, "failed": failed}))
"""


def test_every_list_the_main_command_takes_is_annotated(every_model, fixture_dir, tmp_path):
    untagged = write_model_index(tmp_path, fixture_dir,
                                 dict(ALL_BUNDLES, lemma="wordform/lemma_model/bundle"))
    run = subprocess.run([sys.executable, "-c", EVERY_LIST, str(ANNOTATE.parent),
                          str(every_model), str(untagged)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert {"tokenize,lemma", "tokenize,mwt,lemma", "tokenize,lemma,pos", "langid,tokenize",
            "tokenize,langid", "tokenize,pos,lemma"} <= set(result["taken"])
    assert result["failed"] == []

    # An empty standard input, on the descriptor where main.sh puts it, with
    # the language identifier among the processors.
    for options in (["--processors", "tokenize,langid"], ["--processors", "all", "--json"]):
        run = subprocess.run(["bash", "-c", 'exec "$@" 3</dev/null', "bash", sys.executable,
                              str(ANNOTATE), "--main-model-dir", str(every_model), *options, "--"],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        assert run.stdout == ("[]\n" if "--json" in options else "language: none\n")
        assert TIMING.fullmatch(run.stderr.rstrip("\n")), run.stderr
