"""The coreference plan and processor from Python, over the bundles of
tools/fixtures/gen_coref.py."""

import gc
import json
import os
import threading

import pytest
from conftest import EWT_DEV, read_conll
from release_probe import assert_releases_lock
from test_full_pipeline import as_read_back

import _velmora
from _velmora import (CorefModelError, CorefPlan, CorefPrediction, CorefProcessor, Document,
                      ModelBundleError, Pipeline, ProcessorNotImplementedError,
                      ProcessorRequirementsError)

MARGIN_TOLERANCE = 1e-5  # as in the C++ reference test
MODELS = ["wordpiece_base", "wordpiece_singletons", "bpe_pairwise", "xlmr_zeros", "bpe_all"]
# Words the XLM-R tokenizer reads as nothing: zero-width space, byte order
# mark, ideographic space, space.
BLANK_WORDS = ["\u200b", "\ufeff", "\u3000", " "]


@pytest.fixture(scope="module")
def coref_dir(fixture_dir):
    directory = fixture_dir / "coref"
    if not (directory / "reference.json").is_file():
        pytest.skip(f"coreference fixtures missing: {directory}")
    return directory


@pytest.fixture(scope="module")
def reference(coref_dir):
    return json.loads((coref_dir / "reference.json").read_text(encoding="utf-8"))


def inputs(document):
    words, sentence_ids = [], []
    for s, sentence in enumerate(document["sentences"]):
        words += sentence["words"]
        sentence_ids += [s] * len(sentence["words"])
    return words, sentence_ids


def as_dict(document, words=lambda w: w):
    """The dictionary form of a reference document: one entry per word (its
    text passed through `words`), then its input empty words."""
    out = []
    for sentence in document["sentences"]:
        entries = [{"id": i + 1, "text": words(w)} | ({"upos": u} if u else {})
                   for i, (w, u) in enumerate(zip(sentence["words"], sentence["upos"]))]
        entries += [{"id": (e[0], e[1]), "text": e[2]} for e in sentence["empty"]]
        out.append(entries)
    return out


def test_classes_come_after_the_charlm_plan():
    order = ["ModelBundle", "CharLMPlan", "CorefPrediction", "CorefPlan", "WordPieceEncoding"]
    assert [n for n in vars(_velmora) if n in order] == order
    assert [n for n in vars(CorefPrediction) if not n.startswith("_")] == [
        "word_clusters", "span_clusters", "zero_words"]


def test_plan_matches_the_reference(coref_dir, reference):
    model = reference["models"]["xlmr_zeros"]
    plan = CorefPlan(coref_dir / "models" / "xlmr_zeros")
    documents = reference["documents"][:40]
    compared = 0
    for document, result in zip(documents, model["results"]):
        if result["margin"] < MARGIN_TOLERANCE:
            continue
        compared += 1
        prediction = plan.resolve(*inputs(document))
        assert isinstance(prediction, CorefPrediction)
        assert prediction.word_clusters == result["word_clusters"]
        assert prediction.span_clusters == [[tuple(s) for s in c] for c in result["span_clusters"]]
        assert prediction.zero_words == result["zero_words"]
    # Near-ties are skipped, not loosened: they must stay rare (the corpus
    # without the treebank holds fewer than 40 documents).
    assert compared >= 0.95 * len(documents)


def test_plan_surface_and_arguments(coref_dir):
    path = coref_dir / "models" / "bpe_all"
    plan = CorefPlan(path)
    assert plan.bundle.checksums_verified is False and plan.bundle.processor == "coref"
    assert plan.predicts_singletons is True and plan.predicts_zero_anaphora is True
    assert CorefPlan(bundle_path=os.fsencode(path), verify_checksums=True).bundle.checksums_verified
    assert not hasattr(plan, "process") and not hasattr(plan, "process_bulk")
    for call in (lambda: CorefPlan(path, 1), CorefPrediction,
                 lambda: plan.resolve("ab", [0, 0]), lambda: plan.resolve(["a"], [-1]),
                 lambda: plan.resolve(["a"], [0.0])):
        with pytest.raises(TypeError):
            call()

    words = ["I", "saw", "the", "dog", "and", "I", "fed", "it"]
    ids = [0, 0, 0, 0, 0, 1, 1, 1]
    prediction = plan.resolve(words=tuple(words), sentence_ids=ids, speakers=[])
    assert plan.resolve(words, ids).word_clusters == prediction.word_clusters
    clusters = prediction.word_clusters
    clusters.append([99])
    assert prediction.word_clusters != clusters  # a new list on every access
    empty = plan.resolve([], [])
    assert (empty.word_clusters, empty.span_clusters, empty.zero_words) == ([], [], [])

    for call, message in [
            (lambda: plan.resolve(words, ids[:-1]),
             "coref words and sentence ids must have equal lengths"),
            (lambda: plan.resolve(words, ids, ["a"]), "coref words and speakers must have equal lengths"),
            (lambda: plan.resolve(["a", "b"], [0, 2]), "coref sentence id is outside the document")]:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(CorefModelError, match="^coref tokenizer produced a blank word at index 4$"):
        plan.resolve(["a", "b", "c", "d", "<blank>"], [0] * 5)

    bundle = CorefPlan(path).bundle  # keeps its plan alive
    gc.collect()
    assert "we.attn.weight" in bundle.tensor_names


def test_loading_errors(coref_dir):
    with pytest.raises(CorefModelError) as info:
        CorefPlan(coref_dir / "cases" / "pos_bundle")
    assert str(info.value) == "expected a coref bundle, got 'pos'"
    # JSON errors stay the reader's: RuntimeError, not the plan's class.
    with pytest.raises(RuntimeError) as info:
        CorefProcessor(coref_dir / "passthrough" / "rough_k_missing")
    assert not isinstance(info.value, ModelBundleError)
    with pytest.raises(ModelBundleError):
        CorefProcessor(coref_dir / "cases" / "no-such")


def test_resolve_releases_the_lock_and_runs_in_threads(coref_dir, reference):
    plan = CorefPlan(coref_dir / "models" / "wordpiece_base")
    words, ids = inputs(reference["documents"][7])
    assert_releases_lock(lambda scale: lambda: [plan.resolve(words, ids) for _ in range(scale)])
    expected = plan.resolve(words, ids).span_clusters
    results = [None] * 4

    def run(i):
        results[i] = plan.resolve(words, ids).span_clusters

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 4


def chains(document):
    return [(c.index, c.representative_text, c.representative_index,
             [(m.sentence, m.start_word, m.end_word) for m in c.mentions]) for c in document.coref]


def reference_chains(result):
    """The reference's chains as chains() gives them."""
    return [(c, chain["text"], chain["index"],
             [(m[0], tuple(m[1]), tuple(m[1])) if len(m) == 2 else tuple(m)
              for m in chain["mentions"]])
            for c, chain in enumerate(result["chains"])]


def check_round_trip(document):
    read_conll(document)
    entries = document.to_dict()
    assert Document.from_dict(entries).to_dict() == as_read_back(entries)


def test_processor(coref_dir, reference):
    bare = CorefProcessor()
    with pytest.raises(ProcessorNotImplementedError,
                       match="^the 'coref' processor has no loaded model bundle$"):
        bare.predicts_singletons
    path = coref_dir / "models" / "xlmr_zeros"
    processor = CorefProcessor(model_path=path, verify_checksums=False)
    assert processor.implemented and repr(processor) == "<coref processor implemented=True>"
    assert processor.bundle_path == path
    assert processor.predicts_zero_anaphora is True and processor.predicts_singletons is False
    # The registry reports coref by name, whatever is loaded.
    assert _velmora.processor_specs()["coref"]["implemented"] is False

    documents = reference["documents"][:12]
    results = reference["models"]["xlmr_zeros"]["results"]
    one_by_one = [processor(Document.from_dict(as_dict(d))) for d in documents]
    bulk = processor.bulk_process([Document.from_dict(as_dict(d)) for d in documents])
    assert list(map(chains, bulk)) == list(map(chains, one_by_one))
    for document, result in zip(one_by_one, results):
        if result["margin"] >= MARGIN_TOLERANCE:
            assert [c.representative_text for c in document.coref] == \
                [c["text"] for c in result["chains"]]
    for document in one_by_one:
        check_round_trip(document)
    zero = next(d for d in one_by_one
                if any(w.text == "_" for s in d.sentences for w in s.empty_words))
    before = (chains(zero), zero.to_dict())
    processor.process(zero)
    assert (chains(zero), zero.to_dict()) == before


def test_pipeline_with_tokenizer(model_dir, coref_dir):
    models = model_dir({"tokenize": "tokenizer/mwt_gated", "coref": "coref/models/wordpiece_base"})
    pipeline = Pipeline("en", "tokenize,coref", model_dir=models)
    assert [p.implemented for p in pipeline.processors] == [True, True]
    text = ("The children played football in the park while their parents watched. "
            "They were happy. The park was full of children and their dogs. ") * 3
    document = pipeline(text)
    assert document.coref and document.sentences
    for chain in document.coref:
        for mention in chain.mentions:
            words = document.sentences[mention.sentence].words
            assert 0 <= mention.start_word < mention.end_word <= len(words)
    with pytest.raises(ProcessorRequirementsError):
        Pipeline("en", "coref", model_dir=models)
    check_round_trip(document)


def test_words_read_as_nothing_stand_in_as_unknown(coref_dir, reference, model_dir):
    """A word the XLM-R tokenizer reads as nothing gets the unknown id, as in
    the reference, whichever such word it is; one listed with no ids is still
    refused (test_plan_surface_and_arguments)."""
    index, document = next((i, d) for i, d in enumerate(reference["documents"])
                           if "\u200b" in inputs(d)[0])
    result = reference["models"]["xlmr_zeros"]["results"][index]
    assert result["margin"] >= MARGIN_TOLERANCE
    expected = (result["word_clusters"], [[tuple(s) for s in c] for c in result["span_clusters"]],
                result["zero_words"])
    path = coref_dir / "models" / "xlmr_zeros"
    plan, processor = CorefPlan(path), CorefProcessor(path)
    annotated = processor.process(Document.from_dict(as_dict(document)))
    assert chains(annotated) == reference_chains(result)
    check_round_trip(annotated)
    without_text = [(c, index, mentions) for c, _, index, mentions in chains(annotated)]
    words, ids = inputs(document)
    for blank in BLANK_WORDS:
        def swap(word, blank=blank):
            return blank if word in BLANK_WORDS else word

        prediction = plan.resolve([swap(w) for w in words], ids)
        assert (prediction.word_clusters, prediction.span_clusters,
                prediction.zero_words) == expected
        annotated = processor.process(Document.from_dict(as_dict(document, swap)))
        assert [(c, i, m) for c, _, i, m in chains(annotated)] == without_text

    models = model_dir({"tokenize": "tokenizer/mwt_gated", "coref": "coref/models/xlmr_zeros"})
    pipeline = Pipeline("en", "tokenize,coref", model_dir=models)
    text = "Mary saw John.\u200b She said\ufeff he left\u3000today. "
    # The tokenizer keeps the first two as words of their own.
    first, second = pipeline.bulk_process([text * 3, "Mary saw John. She said he left."])
    assert {"\u200b", "\ufeff"} <= {w.text for w in first.iter_words()}
    assert second.sentences
    check_round_trip(first)


@pytest.fixture(scope="module")
def ewt_documents():
    """The EWT dev treebank's documents in the dictionary form: words with
    their UPOS, multi-word tokens and input empty words."""
    conllu = pytest.importorskip("conllu", reason="the conllu package is not installed")
    if not EWT_DEV.is_file():
        pytest.skip(f"shared test data not found: ../shared/data/ud-en-ewt/{EWT_DEV.name}")
    documents = []
    for tokens in conllu.parse(EWT_DEV.read_text(encoding="utf-8")):
        if "newdoc id" in tokens.metadata or not documents:
            documents.append([])
        documents[-1].append([
            {"id": t["id"] if isinstance(t["id"], int) else (t["id"][0], t["id"][2]),
             "text": t["form"]} | ({"upos": t["upos"]} if t["upos"] not in (None, "_") else {})
            for t in tokens])
    return documents


@pytest.mark.parametrize("model", MODELS)
def test_ewt_documents_render_strict_conll(coref_dir, ewt_documents, model):
    processor = CorefProcessor(coref_dir / "models" / model)
    documents = processor.bulk_process([Document.from_dict(d) for d in ewt_documents])
    assert len(documents) == 318
    generated = 0
    for document in documents:
        check_round_trip(document)
        generated += sum(w.upos is None for s in document.sentences for w in s.empty_words)
    assert (generated > 0) == processor.predicts_zero_anaphora
