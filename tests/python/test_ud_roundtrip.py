"""A real treebank read by an independent CoNLL-U parser, built into a document
through the dictionary form and rendered back."""

import json
import pathlib

import pytest

from _velmora import Document
from conftest import check_conll_ids, ud_errors

conllu = pytest.importorskip("conllu", reason="the conllu package is not installed")

DEV = (pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "ud-en-ewt" /
       "en_ewt-ud-dev.conllu")
RAW_FIELDS = ("form", "lemma", "upos", "xpos", "feats", "head", "deprel", "deps", "misc")
WORD_KEYS = ("lemma", "upos", "xpos", "feats", "head", "deprel", "deps", "misc")


def read_treebank():
    """Dictionary entries per sentence, and the CoNLL-U line of each entry."""
    raw = {name: (lambda line, i: line[i]) for name in RAW_FIELDS}
    sentences, expected_lines = [], []
    for tokens in conllu.parse(DEV.read_text(encoding="utf-8"), field_parsers=raw):
        entries = []
        for token in tokens:
            columns = [token[name] for name in RAW_FIELDS]
            ident = token["id"]
            if isinstance(ident, tuple) and ident[1] == "-":
                entry = {"id": (ident[0], ident[2]), "text": token["form"]}
            else:
                is_empty = isinstance(ident, tuple)
                entry = {"id": (ident[0], ident[2]) if is_empty else ident, "text": token["form"]}
                for key in WORD_KEYS:
                    if token[key] != "_":
                        entry[key] = int(token[key]) if key == "head" else token[key]
            if token["misc"] != "_":
                entry["misc"] = token["misc"]
            ident_text = "".join(str(part) for part in ident) if isinstance(ident, tuple) else str(ident)
            expected_lines.append("\t".join([ident_text] + columns))
            entries.append(entry)
        sentences.append(entries)
    return sentences, expected_lines


def misc_as_set(entry):
    entry = dict(entry)
    if "misc" in entry:
        entry["misc"] = set(entry["misc"].split("|"))
    return entry


def as_json(value):
    if isinstance(value, (list, tuple)):
        return [as_json(v) for v in value]
    if isinstance(value, dict):
        return {k: as_json(v) for k, v in value.items()}
    return value


@pytest.fixture(scope="module")
def treebank():
    if not DEV.exists():
        pytest.skip(f"shared test data not found: ../shared/data/ud-en-ewt/{DEV.name}")
    sentences, lines = read_treebank()
    return sentences, lines, Document.from_dict(sentences)


def test_conll_reproduces_every_line(treebank):
    """Every word line, spacing in MISC included, comes back as the file has it."""
    sentences, expected_lines, doc = treebank
    assert len(doc.sentences) == len(sentences) > 1000
    text = doc.to_conll()
    check_conll_ids(text)
    produced = [line for line in text.split("\n") if line and not line.startswith("#")]
    assert len(produced) == len(expected_lines)
    for got, want in zip(produced, expected_lines):
        assert got == want
    # The sentence texts end in their last token's space; the text lines do not.
    assert doc.sentences[0].text.endswith(" ")
    assert [line for line in text.split("\n") if line.startswith("# text = ")] == \
        [line for line in DEV.read_text(encoding="utf-8").splitlines()
         if line.startswith("# text = ")]


def test_the_ud_validator_accepts_the_rendering(treebank):
    _, _, doc = treebank
    assert ud_errors(doc.to_conll()) == {}


def test_dictionaries_come_back(treebank):
    sentences, _, doc = treebank
    assert sum(1 for s in sentences for e in s if isinstance(e["id"], tuple)) > 300
    back = doc.to_dict()
    assert len(back) == len(sentences)
    for read, written in zip(sentences, back):
        assert [misc_as_set(e) for e in written] == [misc_as_set(e) for e in read]


def test_json_matches_the_dictionaries(treebank):
    _, _, doc = treebank
    assert json.loads(format(doc)) == as_json(doc.to_dict())
