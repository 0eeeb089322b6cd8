"""Pipelines over a model directory of fixture bundles."""

import shutil

import pytest
from release_probe import assert_releases_lock

import _velmora
from _velmora import Document, Pipeline, TokenizeProcessor

TOKENIZER = "tokenizer/mwt_gated"
TEXTS = ["Hello there. This is a test of the tokenizer, isn't it?",
         "",
         "Zweiter Text.\n\nMit Absatz und don't-stop words. " * 30,
         "Vamos al cine del barrio. Dámelo ahora!",
         "x"]


def token_rows(doc):
    return [[(t.text, t.start_char, t.end_char, t.misc) for t in s.tokens] for s in doc.sentences]


def test_tokenize_pipeline_on_strings_documents_and_lists(model_dir):
    models = model_dir({"tokenize": TOKENIZER})
    pipeline = Pipeline("en", "tokenize", model_dir=models)
    (processor,) = pipeline.processors
    assert isinstance(processor, TokenizeProcessor) and processor.implemented
    assert processor.bundle_path.name == "tokenize"

    one_by_one = [pipeline(text) for text in TEXTS]
    assert any(doc.sentences for doc in one_by_one)
    for doc, text in zip(one_by_one, TEXTS):
        assert doc.text == text and doc.lang == "en"
        for sentence in doc.sentences:
            for token in sentence.tokens:
                assert text[token.start_char:token.end_char] == token.text
    # The same through documents and through the batched entry.
    assert [token_rows(pipeline(Document(t))) for t in TEXTS] == list(map(token_rows, one_by_one))
    assert list(map(token_rows, pipeline.bulk_process(TEXTS))) == list(map(token_rows, one_by_one))
    bulk_docs = pipeline([Document(t) for t in TEXTS])
    assert list(map(token_rows, bulk_docs)) == list(map(token_rows, one_by_one))

    labels = processor.predict_labels(TEXTS[0])
    assert len(labels) == len(TEXTS[0]) and set(labels) <= {0, 1, 2, 3, 4}


def test_checksums_are_verified_when_asked(model_dir, fixture_dir, tmp_path):
    models = model_dir({"tokenize": TOKENIZER})
    Pipeline("en", "tokenize", model_dir=models, verify_model_checksums=True)

    # A copy with one flipped byte in its tensor file: sizes still agree, so
    # only verification notices.
    link = models / "1.14.0" / "en" / "tokenize"
    link.unlink()
    shutil.copytree(fixture_dir / TOKENIZER, link)
    data = bytearray((link / "tensors.bin").read_bytes())
    data[len(data) // 2] ^= 0xFF
    (link / "tensors.bin").write_bytes(bytes(data))
    Pipeline("en", "tokenize", model_dir=models)
    with pytest.raises(_velmora.ModelBundleError) as info:
        Pipeline("en", "tokenize", model_dir=models, verify_model_checksums=True)
    assert str(info.value) == "tensor file checksum mismatch"
    with pytest.raises(_velmora.ModelBundleError):
        TokenizeProcessor(link, verify_checksums=True)


def test_processor_without_model_and_wrong_bundle(fixture_dir):
    with pytest.raises(_velmora.ProcessorNotImplementedError) as info:
        TokenizeProcessor().predict_labels("x")
    assert str(info.value) == "the 'tokenize' processor has no loaded model bundle"
    with pytest.raises(_velmora.TokenizerModelError):
        TokenizeProcessor(fixture_dir / "harness" / "bundle")


def test_tokenizing_releases_the_interpreter_lock(model_dir):
    pipeline = Pipeline("en", "tokenize", model_dir=model_dir({"tokenize": TOKENIZER}))

    def make_call(scale):
        text = "A sentence of words to split. " * (300 * scale)
        return lambda: pipeline(text)

    assert_releases_lock(make_call)



MWT = "wordform/mwt_native_dict/bundle"
LEMMA = "wordform/lemma_model/bundle"
LEMMA_WITH_POS = "wordform/lemma_ensemble/bundle"


def test_tokenize_mwt_lemma_pipeline(model_dir):
    models = model_dir({"tokenize": TOKENIZER, "mwt": MWT, "lemma": LEMMA})
    pipeline = Pipeline("en", "tokenize,mwt,lemma", model_dir=models)
    tokenize, mwt, lemma = pipeline.processors
    assert lemma.requires == ["tokenize"]

    one_by_one = [pipeline(text) for text in TEXTS]
    for doc in one_by_one:
        for sentence in doc.sentences:
            for token in sentence.tokens:
                assert "MWT=Yes" not in (token.misc or "")
                if len(token.words) > 1:
                    # The expander's own answer for the token's surface text.
                    assert " ".join(w.text for w in token.words) == mwt.expand(token.text)
            for word in sentence.words:
                assert word.lemma is not None
                assert word.lemma == lemma.lemmatize(word.text)
    # The tokenizer did mark multi-word tokens for the expander to rewrite.
    tokenized = Pipeline("en", "tokenize", model_dir=models).bulk_process(TEXTS)
    assert any("MWT=Yes" in (t.misc or "")
               for doc in tokenized for s in doc.sentences for t in s.tokens)
    dicts = [doc.to_dict() for doc in one_by_one]
    assert [doc.to_dict() for doc in pipeline.bulk_process(TEXTS)] == dicts
    assert [doc.to_dict() for doc in pipeline([Document(t) for t in TEXTS])] == dicts


def test_lemmatizer_reading_tags_requires_the_tagger(model_dir):
    models = model_dir({"tokenize": TOKENIZER, "lemma": LEMMA_WITH_POS})
    with pytest.raises(_velmora.ProcessorRequirementsError) as info:
        Pipeline("en", "tokenize,lemma", model_dir=models)
    assert str(info.value) == "processor 'lemma' is missing requirements: pos"
    assert isinstance(info.value, ValueError)
