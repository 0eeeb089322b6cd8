"""Hostile text through the whole default pipeline and through every
processor over fixture bundles: no crash, no hang, a clear error where the
text cannot be taken, and no memory kept from one document to the next."""

import pytest

from _velmora import Document, LangIDModelError, Pipeline
from conftest import read_conll
from test_full_pipeline import as_read_back

EVERY = "tokenize,langid,mwt,pos,lemma,depparse,ner,sentiment,constituency,coref,morphseg"

TEXTS = {
    "empty": "",
    "whitespace": " \t\n\r\n  \u00a0\u2003\u3000\n\n\n",
    "one_megabyte_word": "a" * 1_000_000,
    "nul_bytes": "ab\x00cd. \x00\x00 e\x00",
    "mixed_scripts": "Hello мир 世界 مرحبا שלום नमस्ते ☃ ελληνικά 한국어.",
    "right_to_left": "\u202eabc\u202c مرحبا بالعالم. שלום עולם! \u200f(1)\u200e",
    "combining_marks": "e" + "\u0301" * 300 + " x\u0308\u0323\u0301 " * 50,
    "emoji_sequences": "👨\u200d👩\u200d👧\u200d👦 🏳️\u200d🌈 👍🏽 🇺🇳 #️⃣ " * 50,
    "controls": "".join(chr(c) for c in range(1, 32)) + "\x7f\x85\u2028\u2029 end.",
    "hard_wrapped": "Dr. Smith said the report\nwasn't ready.\r\nShe\tsaid\rso.",
}


@pytest.fixture(scope="module", params=["default", "every"])
def pipeline(request, all_models):
    if request.param == "every":
        return Pipeline("en", EVERY, model_dir=all_models)
    return Pipeline("en", model_dir=all_models)


def check_annotated(doc, text):
    assert doc.text == text
    for sentence in doc.sentences:
        heads = [w.head for w in sentence.words]
        assert heads.count(0) == 1
        assert all(w.upos is not None and w.deprel is not None for w in sentence.words)
        for token in sentence.tokens:
            # The token text keeps the spaces the tokenizer read after its last
            # character, and one of more than 1000 characters reads "<UNK>".
            span = text[token.start_char:token.end_char]
            if token.text == "<UNK>":
                assert len(span) > 1000
            else:
                assert token.text.split() == span.split()
    read_conll(doc)
    assert Document.from_dict(doc.to_dict()).to_dict() == as_read_back(doc.to_dict())


@pytest.mark.parametrize("name", sorted(TEXTS))
def test_hostile_text_is_annotated(pipeline, name):
    text = TEXTS[name]
    if not text and len(pipeline.processors) > 5:
        # Nothing to identify a language from.
        for call in (lambda: pipeline(text), lambda: pipeline.bulk_process(["fine", text])):
            with pytest.raises(LangIDModelError,
                               match="^language identification requires non-empty text$"):
                call()
        return
    doc = pipeline(text)
    check_annotated(doc, text)
    if name in ("empty", "whitespace"):
        assert doc.sentences == [] or all(not s.words for s in doc.sentences)
    (bulk,) = pipeline.bulk_process([text])
    assert bulk.to_dict() == doc.to_dict()


def test_a_hundred_thousand_one_character_sentences(pipeline):
    text = "a.\n\n" * 100_000
    (doc,) = pipeline.bulk_process([text])
    check_annotated(doc, text)
    assert len(doc.sentences) > 1000


@pytest.mark.parametrize("text", ["\ud800", "ab\udfffcd", "x \udc00\ud800 y"])
def test_lone_surrogates_are_refused(pipeline, text):
    # A string that cannot be encoded as UTF-8 matches no overload.
    for call in (lambda: pipeline(text), lambda: pipeline.bulk_process(["fine", text]),
                 lambda: Document(text)):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()
    assert pipeline("fine").text == "fine"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        import os
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_ten_thousand_documents_keep_memory_flat(pipeline):
    texts = [f"Document {i} says hello. It has {i % 7} words, more or less!" for i in range(100)]

    def run(rounds):
        for _ in range(rounds):
            for doc in pipeline.bulk_process(texts):
                assert doc.sentences
            pipeline(texts[0])

    run(20)  # warm up caches and allocator pools
    before = resident_bytes()
    run(100)  # 10,000 documents in bulk, 100 more one by one
    growth = resident_bytes() - before
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"
