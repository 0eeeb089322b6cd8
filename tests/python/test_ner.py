"""The entity tagger from Python: its processor class, the PyTorch reference
through bulk_process over the treebank's documents, a tokenize-mwt-ner
pipeline on raw text, and hostile input."""

import json

import pytest
from release_probe import assert_releases_lock

import _velmora
from _velmora import Document, NERProcessor, Pipeline

NER = "ner/models/charlstm_l1"
TOKENIZER = "tokenizer/mwt_gated"
MWT = "wordform/mwt_native_dict/bundle"
# A reference path closer than this to the second-best one may flip with
# rounding; at most one sentence in a hundred may be that close.
PATH_MARGIN = 1e-4


@pytest.fixture(scope="module")
def tagger(fixture_dir):
    if not (fixture_dir / NER).is_dir():
        pytest.skip(f"fixture bundle missing: {fixture_dir / NER}")
    return NERProcessor(fixture_dir / NER)


def well_formed(tags):
    """Every B and I tag is followed by an I or E tag of its type, and every
    I and E tag follows a B or I tag of its type."""
    def split(i):
        tag = tags[i] if 0 <= i < len(tags) else "O"
        return (tag[0], tag[2:]) if len(tag) >= 2 and tag[1] == "-" else (None, None)

    for i in range(len(tags)):
        prefix, kind = split(i)
        if prefix in ("B", "I") and split(i + 1) not in (("I", kind), ("E", kind)):
            return False
        if prefix in ("I", "E") and split(i - 1) not in (("B", kind), ("I", kind)):
            return False
    return True


def spans_of(tags):
    """(first token, end token, type) of every entity the tags spell."""
    spans, i = [], 0
    while i < len(tags):
        prefix, kind = tags[i][:1], tags[i][2:]
        end = i + 1
        if prefix == "B":
            while tags[end - 1][:1] != "E":
                end += 1
        if prefix in ("B", "S"):
            spans.append((i, end, kind))
        i = end
    return spans


def test_processor_surface(tagger, fixture_dir):
    assert tagger.implemented and tagger.bundle_path == fixture_dir / NER
    assert tagger.requires == ["tokenize"] and tagger.provides == ["ner"]
    assert tagger.tag([]) == []
    words = ["Paris", "is", "in", "New York", "."]
    tags = tagger.tag(words)
    assert len(tags) == 5 and well_formed(tags)
    assert tagger.tag(tuple(words)) == tags and tagger.tag(tokens=words) == tags
    with pytest.raises(TypeError):
        tagger.tag("abc")
    with pytest.raises(TypeError):
        tagger.tag(["a", 1])
    assert NERProcessor(model_path=fixture_dir / NER, verify_checksums=True).tag(words) == tags
    with pytest.raises(_velmora.NERModelError) as info:
        NERProcessor(fixture_dir / "pos/models/plain_l1")
    assert str(info.value) == "expected an NER bundle, got 'pos'"

    empty = NERProcessor()
    with pytest.raises(_velmora.ProcessorNotImplementedError) as info:
        empty.tag(words)
    assert str(info.value) == "the 'ner' processor has no loaded model bundle"
    assert empty.bulk_process([]) == []


def test_tag_releases_the_interpreter_lock(tagger):
    def make_call(scale):
        words = ["Washington", "says", "the", "story", "is", "good"] * (50 * scale)
        return lambda: tagger.tag(words)

    assert_releases_lock(make_call)


def as_dict(sentences):
    """Document dictionaries of token lists ([surface] or [surface, word...])."""
    result = []
    for tokens in sentences:
        entries, word_id = [], 1
        for token in tokens:
            if len(token) == 1:
                entries.append({"id": word_id, "text": token[0]})
                word_id += 1
                continue
            last = word_id + len(token) - 2
            entries.append({"id": (word_id, last), "text": token[0]})
            for word in token[1:]:
                entries.append({"id": word_id, "text": word})
                word_id += 1
        result.append(entries)
    return result


def test_bulk_process_matches_the_reference_on_the_treebank(tagger, fixture_dir):
    ewt = json.loads((fixture_dir / "ner" / "ewt.json").read_text(encoding="utf-8"))
    if "skipped" in ewt:
        pytest.skip(f"fixtures were generated without the treebank: {ewt['skipped']}")
    reference = ewt["models"]["charlstm_l1"]
    docs = [Document.from_dict(as_dict(sentences)) for sentences in ewt["documents"]]
    assert tagger.bulk_process(docs) == docs
    got = [[t.ner for t in s.tokens] for d in docs for s in d.sentences]
    assert len(got) == len(reference["tags"])
    near_ties = 0
    for tags, want, margin in zip(got, reference["tags"], reference["margins"]):
        if margin < PATH_MARGIN:
            near_ties += 1
        else:
            assert tags == want
    assert near_ties * 100 <= len(got)


def test_pipeline_on_treebank_text(model_dir, ewt_dev_texts):
    models = model_dir({"tokenize": TOKENIZER, "mwt": MWT, "ner": NER})
    pipeline = Pipeline("en", "tokenize,mwt,ner", model_dir=models)
    assert isinstance(pipeline.processors[2], NERProcessor)
    texts = [" ".join(ewt_dev_texts[i:i + 20]) for i in range(0, len(ewt_dev_texts), 20)]
    tokens = entities = 0
    for doc in pipeline.bulk_process(texts):
        expected = []
        for sentence in doc.sentences:
            tags = [t.ner for t in sentence.tokens]
            assert all(tag is not None for tag in tags) and well_formed(tags)
            assert [t.multi_ner for t in sentence.tokens] == [[tag] for tag in tags]
            tokens += len(tags)
            expected += [(sentence.tokens[begin], sentence.tokens[end - 1], kind)
                         for begin, end, kind in spans_of(tags)]
        assert [(s.tokens[0], s.tokens[-1], s.type) for s in doc.ents] == expected
        entities += len(expected)
    assert tokens > 20000 and entities > 100


def resident_bytes():
    import os
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_hostile_input(tagger):
    huge = Document.from_dict([[{"id": 1, "text": "a" * 1_000_000}, {"id": 2, "text": "b"}]])
    tags = [t.ner for t in tagger(huge).sentences[0].tokens]
    assert len(tags) == 2 and well_formed(tags)

    many = Document.from_dict([[{"id": 1, "text": "x"}]] * 10_000)
    tagger.process(many)
    assert all(len(s.tokens) == 1 and s.tokens[0].ner for s in many.sentences)

    mixed = ["Hello", "мир", "世界", "مرحبا", "שלום", "नमस्ते", "☃", "👨\u200d👩\u200d👧",
             "🏳️\u200d🌈", "e\u0301", "\u202eabc", "\x00", "\U0010FFFF"]
    doc = Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(mixed)]])
    tags = [t.ner for t in tagger(doc).sentences[0].tokens]
    assert len(tags) == len(mixed) and well_formed(tags)

    def run(rounds):
        for _ in range(rounds):
            tagger.bulk_process([Document.from_dict([[{"id": 1, "text": w}] for w in mixed])])
            tagger.tag(mixed * 20)

    run(20)
    before = resident_bytes()
    run(200)
    growth = resident_bytes() - before
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"
