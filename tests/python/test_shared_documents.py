"""A document shared between Python threads: while a call that released the
interpreter lock annotates it, every other access is refused at once with one
RuntimeError, and nothing ends the process. Views that compare equal hash
equal."""

import json
import os
import pathlib
import sys

import pytest
from conftest import ALL_BUNDLES, run_child
from thread_probe import TEXT

from _velmora import ConstituencyTree, Document, POSProcessor, ProcessorNotImplementedError

PROBE = pathlib.Path(__file__).with_name("shared_documents_probe.py")
REFUSED = "document is being annotated by a call in another thread"
TRIALS = 20


def probe(scenarios, fixture_dir, trials, *extra, timeout=600):
    """Runs shared_documents_probe.py once per scenario; {scenario: report}."""
    bundles = {name: str(fixture_dir / path) for name, path in ALL_BUNDLES.items()}
    reports = {}
    for scenario in scenarios:
        code, out, err = run_child([sys.executable, str(PROBE), scenario, json.dumps(bundles),
                                    str(trials), *map(str, extra)],
                                   dict(os.environ, OMP_NUM_THREADS="1"), timeout)
        assert code == 0, (scenario, code, out[-3000:], err[-3000:])
        assert "Sanitizer" not in err and "runtime error:" not in err, err[-3000:]
        reports[scenario] = json.loads(out)["report"]
    return reports


@pytest.fixture(scope="module")
def bundles(fixture_dir):
    for relative in ALL_BUNDLES.values():
        if not (fixture_dir / relative).is_dir():
            pytest.skip(f"fixture bundle missing: {fixture_dir / relative}")
    return fixture_dir


def test_threads_sharing_a_document_complete_or_are_refused(bundles):
    # 20 trials each, fresh threads and a fresh document per trial: the
    # multi-word rewrite against a reader of its CoNLL-U and word texts;
    # two writers of each processor behind a barrier; pos and ner against a
    # reader that converts, iterates and sets; `a` and mwt.process(a).
    reports = probe(["reader", "writers", "mixed", "aliases"], bundles, TRIALS)
    # Each reader loop met the writer in flight.
    for name in ("reader", "mixed"):
        assert reports[name]["refused"] > 0 and reports[name]["done"] > 0, reports[name]
    writers = reports["writers"]
    assert set(writers) == set(ALL_BUNDLES)
    assert all(w["done"] + w["refused"] == 2 * TRIALS and w["done"] >= TRIALS
               for w in writers.values()), writers
    assert sum(w["refused"] for w in writers.values()) > 0, writers
    assert reports["aliases"]["done"] + reports["aliases"]["refused"] == 3 * TRIALS


def test_every_access_is_refused_while_a_call_annotates(bundles, all_models):
    report = probe(["battery"], bundles, 4, all_models)["battery"]
    results = report["results"]
    assert results is not None, "never caught a call in flight"
    # Accessors, setters, sequences, iterators, conversions, and calls of
    # processors and pipelines, one of them with another document first.
    assert len(results) == report["accesses"] + 5 and len(results) > 140
    assert {name: r for name, r in results.items() if r != REFUSED} == {}
    # Comparing and hashing read no storage; a refused bulk call marks none
    # of its documents; afterwards every access works again.
    assert report["same"] and report["spare_free"]
    assert report["after"] == {"done": report["accesses"], "refused": 0}


def test_single_threaded_calls_are_unchanged(bundles):
    pos = POSProcessor(bundles / ALL_BUNDLES["pos"])
    entries = [[{"id": i + 1, "text": w} for i, w in enumerate(TEXT.split()[:12])]]
    once = pos.process(Document.from_dict(entries))
    # One document twice in a bulk call.
    doc = Document.from_dict(entries)
    first, second = pos.bulk_process([doc, doc])
    assert first == doc and second == doc and doc.to_conll() == once.to_conll()
    # A call that fails leaves its document free; so does one that succeeded.
    with pytest.raises(ProcessorNotImplementedError):
        POSProcessor().process(doc)
    with pytest.raises(ProcessorNotImplementedError):
        POSProcessor().bulk_process([once, doc, once])
    doc.sentences[0].words[0].lemma = "x"
    assert pos.process(doc).sentences[0].words[0].lemma == "x" and once.num_words == 12


def views(doc):
    """Two separately made views of each kind, and a list of distinct views."""
    sentence = doc.sentences[0]
    pairs = [(doc, sentence.doc), (sentence, doc.sentences[0]),
             (sentence.tokens[1], doc.sentences[0].tokens[1]),
             (sentence.words[2], list(doc.iter_words())[2]),
             (sentence.words[0].parent, doc.sentences[0].tokens[0]),
             (sentence.empty_words[0], sentence.all_words[2]),
             (doc.ents[0], sentence.ents[0]),
             (sentence.dependencies[0][0], sentence.dependencies[2][0]),
             (sentence.dependencies[1][0], doc.sentences[0].dependencies[1][0]),
             (sentence.constituency, doc.sentences[0].constituency),
             (sentence.constituency.children[0], sentence.constituency.children[0])]
    distinct = [doc, Document(), *doc.sentences, *doc.iter_tokens(), *doc.iter_words(),
                *sentence.empty_words, *doc.ents, sentence.dependencies[1][0],
                doc.sentences[1].dependencies[0][0], sentence.constituency,
                ConstituencyTree("S", [sentence.constituency])]
    return pairs, distinct


def test_equal_views_hash_equal():
    # Heads give dependencies: their head words, and the ROOT words of both
    # sentences, equal only within a sentence.
    doc = Document.from_dict([
        [{"id": 1, "text": "Mary", "head": 2, "deprel": "nsubj", "ner": "S-PER"},
         {"id": 2, "text": "left", "head": 0, "deprel": "root"}, {"id": (2, 1), "text": "she"},
         {"id": 3, "text": "early", "head": 2, "deprel": "advmod"}],
        [{"id": 1, "text": "Bye", "head": 0, "deprel": "root"}]])
    doc.rebuild_entities()
    tree = ConstituencyTree("ROOT", [ConstituencyTree("NP", [ConstituencyTree("Mary")])])
    doc.sentences[0].constituency = tree
    pairs, distinct = views(doc)
    for a, b in pairs:
        assert a is not b and a == b and hash(a) == hash(b), (a, b)
        assert len({a, b}) == 1 and b in {a} and {a: 1}[b] == 1
    assert len(set(distinct)) == len(distinct)
    assert len({w: w.text for w in doc.iter_words()}) == doc.num_words


def test_views_made_before_a_renumbering_name_rows_that_exist(fixture_dir):
    # Coreference without zero anaphora removes the empty words an earlier
    # run generated, so the word rows after them move down: a view of a row
    # that is gone raises its IndexError, the others read words that exist.
    coref_dir = fixture_dir / "coref"
    if not (coref_dir / "reference.json").is_file():
        pytest.skip(f"coreference fixtures missing: {coref_dir}")
    from test_coref import as_dict

    from _velmora import CorefProcessor

    reference = json.loads((coref_dir / "reference.json").read_text(encoding="utf-8"))
    zeros = CorefProcessor(coref_dir / "models" / "xlmr_zeros")
    plain = CorefProcessor(coref_dir / "models" / "wordpiece_base")
    for document in reference["documents"]:
        doc = zeros.process(Document.from_dict(as_dict(document)))
        if any(w.upos is None for s in doc.sentences for w in s.empty_words):
            break
    else:
        pytest.skip("no document got generated empty words")
    before = [w for s in doc.sentences for w in s.all_words]
    texts = {w.text for w in before}
    plain.process(doc)
    gone = 0
    for word in before:
        try:
            assert word.text in texts
        except IndexError as error:
            assert str(error) == "invalid word view"
            gone += 1
    assert gone == len(before) - len([w for s in doc.sentences for w in s.all_words]) > 0
