"""The sentiment and language-identification processors from Python: their
members, conversions and errors, answers against the fixtures' PyTorch
references, pipelines over a model directory, and memory and lock behaviour."""

import json

import pytest
from release_probe import assert_releases_lock

import _velmora
from _velmora import (Document, LangIDModelError, LangIDProcessor, Pipeline,
                      ProcessorNotImplementedError, SentimentModelError, SentimentProcessor)
from test_hostile_input import resident_bytes

SENTIMENT = "sentiment/models/plain"
LANGID = "langid/models/l1"
TOKENIZER = "tokenizer/mwt_gated"
LANGID_MARGIN = 1e-3  # summed scores closer than this may flip with rounding


@pytest.fixture(scope="module")
def sentiment(fixture_dir):
    return SentimentProcessor(fixture_dir / SENTIMENT)


@pytest.fixture(scope="module")
def langid_reference(fixture_dir):
    return json.loads((fixture_dir / "langid" / "reference.json").read_text(encoding="utf-8"))


def document(sentences):
    """A document whose tokens are the given word lists."""
    return Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(s)]
                               for s in sentences])


def test_sentiment_members_defaults_and_conversions(fixture_dir, sentiment):
    assert sentiment.implemented and sentiment.name == "sentiment"
    assert sentiment.bundle_path == fixture_dir / SENTIMENT
    assert repr(sentiment) == "<sentiment processor implemented=True>"
    by_keyword = SentimentProcessor(model_path=str(fixture_dir / SENTIMENT), verify_checksums=True)
    sentences = [["A", "good", "day", "."], ["bad"], [], ["It", "is", "fine"] * 5]
    classes = sentiment.classify_many(sentences)
    assert classes == by_keyword.classify_many(sentences=tuple(map(tuple, sentences)),
                                               batch_size=5000)
    assert all(isinstance(c, int) and 0 <= c < 3 for c in classes)
    assert sentiment.classify(tokens=("bad",)) == sentiment.classify(["bad"])
    assert sentiment.classify([]) in (0, 1, 2)  # a sentence of padding only
    assert sentiment.classify_many([]) == []

    for budget in (0,):
        for given in ([], sentences):
            with pytest.raises(ValueError) as info:
                sentiment.classify_many(given, budget)
            assert str(info.value) == "sentiment batch_size must be positive"
    for call in (lambda: sentiment.classify_many(sentences, -1),
                 lambda: sentiment.classify_many(sentences, 1.0),
                 lambda: sentiment.classify_many(sentences, 2 ** 64),
                 lambda: sentiment.classify("good day"),
                 lambda: sentiment.classify_many(["good", "day"]),
                 lambda: sentiment.classify(words=["good"]),
                 lambda: SentimentProcessor(fixture_dir / SENTIMENT, 1)):
        with pytest.raises(TypeError):
            call()

    with pytest.raises(ProcessorNotImplementedError) as info:
        SentimentProcessor().classify(["good"])
    assert str(info.value) == "the 'sentiment' processor has no loaded model bundle"
    with pytest.raises(SentimentModelError) as info:
        SentimentProcessor(fixture_dir / LANGID)
    assert str(info.value) == "expected a sentiment bundle, got 'langid'"


def test_process_writes_the_classes_of_its_sentences(sentiment):
    sentences = [["A", "good", "day", "."], ["It", "was", "bad", "!"], ["word"] * 12, ["ok"]]
    doc = document(sentences)
    assert sentiment.process(doc) is not doc
    assert [s.sentiment for s in doc.sentences] == sentiment.classify_many(sentences)
    # Bulk: the sentences of all documents are classified together.
    docs = [document(sentences[:2]), document(sentences[2:])]
    assert sentiment.bulk_process(docs) == docs
    assert [s.sentiment for d in docs for s in d.sentences] == \
        sentiment.classify_many(sentences)


def test_a_huge_sentence_runs_alone_in_its_batch(sentiment):
    huge = ["good", "bad", "New York", "day"] * 25_000
    short = [["a", "good", "day"], ["bad"] * 7]
    classes = sentiment.classify_many([short[0], huge, short[1]])
    assert classes == [*sentiment.classify_many(short)[:1], sentiment.classify(huge),
                       *sentiment.classify_many(short)[1:]]


def test_many_one_word_documents_keep_memory_flat(sentiment):
    docs = [document([[("good", "bad", "day")[i % 3]]]) for i in range(10_000)]

    def run():
        for doc in sentiment.bulk_process(docs):
            assert doc.sentences[0].sentiment is not None

    run()  # warm up the allocator
    before = resident_bytes()
    for _ in range(3):
        run()
    growth = resident_bytes() - before
    assert growth < 16 * 2 ** 20, f"resident memory grew by {growth / 2 ** 20:.1f} MiB"


def test_langid_members_and_errors(fixture_dir):
    plain = LangIDProcessor(fixture_dir / LANGID)
    assert plain.implemented and plain.lang_subset == [] and plain.name == "langid"
    subset = LangIDProcessor(model_path=fixture_dir / LANGID, verify_checksums=True,
                             lang_subset=("fr", "xx"))
    assert subset.lang_subset == ["fr", "xx"]
    assert subset.identify_many(["Hello there", "Привет"]) == ["fr", "fr"]
    for call in (lambda: plain.identify(text="Hello"), lambda: plain.identify_many(texts=["a"]),
                 lambda: plain.identify_many("Hello"), lambda: plain.identify(b"Hello"),
                 lambda: LangIDProcessor(fixture_dir / LANGID, False, "fr")):
        with pytest.raises(TypeError):
            call()

    with pytest.raises(LangIDModelError) as info:
        plain.identify("")
    assert str(info.value) == "language identification requires non-empty text"
    # A subset naming no language loads, and refuses every identification.
    unknown = LangIDProcessor(fixture_dir / LANGID, False, ["xx"])
    assert unknown.identify_many([]) == []
    for call in (lambda: unknown.identify("Hello"), lambda: unknown.identify_many(["Hello"]),
                 lambda: unknown.process(Document("Hello"))):
        with pytest.raises(LangIDModelError) as info:
            call()
        assert str(info.value) == "LangID language subset contains no known language"

    bare = LangIDProcessor()
    assert bare.lang_subset == []
    for call in (lambda: bare.identify("x"), lambda: bare.identify_many([])):
        with pytest.raises(ProcessorNotImplementedError) as info:
            call()
        assert str(info.value) == "the 'langid' processor has no loaded model bundle"
    with pytest.raises(_velmora.LangIDModelError):
        LangIDProcessor(fixture_dir / SENTIMENT)


@pytest.mark.parametrize("subset", ["all", "two_known", "one"])
def test_langid_process_matches_the_reference(fixture_dir, langid_reference, subset):
    langs = langid_reference["subsets"][subset]
    processor = LangIDProcessor(fixture_dir / LANGID, lang_subset=langs)
    # The treebank's sentences and documents only when it was there.
    for kind in [k for k in ("sentences", "documents", "hand") if k in langid_reference]:
        texts = langid_reference[kind]
        want = langid_reference["models"]["l1"][kind][subset]
        docs = [Document(t) for t in texts]
        assert processor.bulk_process(docs) == docs
        one_by_one = [processor.process(Document(t)).lang for t in texts]
        for label, got in (("bulk", [d.lang for d in docs]), ("process", one_by_one)):
            compared = [(g, w) for g, w, m in zip(got, want["tags"], want["margins"])
                        if m >= LANGID_MARGIN]
            assert len(compared) * 100 >= len(texts) * 99, (kind, label)
            assert all(g == w for g, w in compared), (kind, label)


def test_pipelines_over_a_model_directory(model_dir):
    models = model_dir({"tokenize": TOKENIZER, "sentiment": SENTIMENT, "langid": LANGID})
    text = "This is good. That was bad! Nothing else, I think."

    pipeline = Pipeline("en", "tokenize,sentiment", model_dir=models)
    tokenize, sentiment = pipeline.processors
    assert isinstance(sentiment, SentimentProcessor) and sentiment.implemented
    texts = [text, "Short one.", "Zweiter Text.\n\nMit Absatz. " * 20]
    docs = pipeline.bulk_process(texts)
    words = [[t.text for t in s.tokens] for d in docs for s in d.sentences]
    assert len(words) > len(texts)
    assert [s.sentiment for d in docs for s in d.sentences] == sentiment.classify_many(words)
    doc = pipeline(text)
    assert [s.sentiment for s in doc.sentences] == \
        sentiment.classify_many([[t.text for t in s.tokens] for s in doc.sentences])

    alone = Pipeline("en", "langid", model_dir=models, langid_lang_subset=["fr", "de"])
    (langid,) = alone.processors
    assert langid.lang_subset == ["fr", "de"]
    assert alone(text).lang == langid.identify(text) and langid.identify(text) in ("fr", "de")
    assert [d.lang for d in alone.bulk_process([text, "Привет"])] == \
        langid.identify_many([text, "Привет"])
    with pytest.raises(LangIDModelError) as info:
        alone("")
    assert str(info.value) == "language identification requires non-empty text"

    # The tokenizer builds a new document with its bundle's language, so only
    # an identifier after it has the last word.
    subset = ["de", "fr", "ru"]
    after = Pipeline("en", "tokenize,langid", model_dir=models, langid_lang_subset=subset)
    before = Pipeline("en", "langid,tokenize", model_dir=models, langid_lang_subset=subset)
    identified = after.processors[1].identify(text)
    assert identified != "en"
    assert after(text).lang == identified
    assert before(text).lang == "en"


def test_model_work_releases_the_lock(fixture_dir, sentiment):
    langid = LangIDProcessor(fixture_dir / LANGID)
    assert_releases_lock(lambda n: lambda: langid.identify_many(["Some text to identify."] * 200 * n))
    assert_releases_lock(lambda n: lambda: langid.identify("Some text to identify. " * 200 * n))
    assert_releases_lock(lambda n: lambda: sentiment.classify_many([["good", "day"] * 20] * 100 * n))
    assert_releases_lock(lambda n: lambda: sentiment.classify(["good", "day"] * 2000 * n))
    doc = document([["good"] * 50] * 50)
    assert_releases_lock(lambda n: lambda: [sentiment.process(doc) for _ in range(n)])
