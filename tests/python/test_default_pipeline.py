"""The default pipeline "tokenize,mwt,pos,lemma,depparse" over fixture bundles,
end to end on real text."""

import pytest

import _velmora
from _velmora import DepparseProcessor, Document, POSProcessor, Pipeline
from conftest import read_conll


def documents_of(texts, sentences_per_document=25):
    return [" ".join(texts[i:i + sentences_per_document])
            for i in range(0, len(texts), sentences_per_document)]


def test_every_word_is_tagged_and_attached(default_models, ewt_dev_texts):
    pipeline = Pipeline("en", model_dir=default_models)
    assert [p.name for p in pipeline.processors] == ["tokenize", "mwt", "pos", "lemma", "depparse"]
    texts = documents_of(ewt_dev_texts)
    docs = pipeline.bulk_process(texts)
    assert len(docs) == len(texts)
    sentences = words = 0
    for doc, text in zip(docs, texts):
        assert doc.text == text
        for sentence in doc.sentences:
            sentences += 1
            heads = [w.head for w in sentence.words]
            assert all(w.upos and w.deprel and w.lemma is not None for w in sentence.words)
            assert all(0 <= h <= len(heads) for h in heads)
            assert heads.count(0) == 1
            words += len(heads)
        # An independent reader sees the same trees.
        parsed = read_conll(doc)
        assert [[t["head"] for t in s if isinstance(t["id"], int)] for s in parsed] == \
               [[w.head for w in s.words] for s in doc.sentences]
    assert sentences >= len(texts) and words > 10000

    # One document at a time gives what the batched path gives.
    sample = texts[::9]
    assert [pipeline(t).to_dict() for t in sample] == [d.to_dict() for d in docs[::9]]


def test_tagger_and_parser_processors(fixture_dir, default_models):
    from conftest import DEFAULT_BUNDLES
    tagger = POSProcessor(fixture_dir / DEFAULT_BUNDLES["pos"])
    parser = DepparseProcessor(model_path=fixture_dir / DEFAULT_BUNDLES["depparse"],
                               verify_checksums=True)
    assert tagger.implemented and parser.implemented
    assert tagger.bundle_path == fixture_dir / DEFAULT_BUNDLES["pos"]
    assert parser.requires == ["tokenize", "pos", "lemma"] and tagger.provides == ["pos"]

    text = "The cat sat on the mat. It was happy there!"
    upstream = Pipeline("en", "tokenize,mwt", model_dir=default_models)(text)
    lemma = Pipeline("en", "tokenize,mwt,pos,lemma", model_dir=default_models).processors[3]
    by_hand = parser(lemma(tagger(upstream)))
    assert by_hand.to_dict() == Pipeline("en", model_dir=default_models)(text).to_dict()
    assert [d.to_dict() for d in parser.bulk_process([by_hand, Document("")])] == \
           [by_hand.to_dict(), Document("").to_dict()]

    with pytest.raises(_velmora.POSModelError):
        POSProcessor(fixture_dir / DEFAULT_BUNDLES["depparse"])
    with pytest.raises(_velmora.DepparseModelError):
        DepparseProcessor(fixture_dir / DEFAULT_BUNDLES["pos"])
    for processor in (POSProcessor(), DepparseProcessor()):
        assert not processor.implemented and processor.bundle_path is None
        with pytest.raises(_velmora.ProcessorNotImplementedError) as info:
            processor(Document("x"))
        assert str(info.value) == (f"the '{processor.name}' processor is registered but "
                                   "native inference is not implemented")
