"""Every processor in pipelines over fixture bundles, end to end on the raw
text of the EWT development treebank."""

from _velmora import Document, Pipeline
from conftest import read_conll
from test_default_pipeline import documents_of

# Every processor but the language identifier and the segmenter, which get
# pipelines of their own below.
EVERY_OTHER = "tokenize,mwt,pos,lemma,depparse,ner,sentiment,constituency,coref"


def sentence_values(doc):
    """What a document holds outside its dictionary form."""
    return [(s.sentiment, str(s.constituency)) for s in doc.sentences]


def entity_values(doc):
    return [(e.type, e.text, e.start_char, e.end_char) for e in doc.entities]


def as_read_back(entries):
    """The dictionary form as a document built from it gives it back: an
    optional string "_" (the lemma of the word "_", say) reads as absent,
    and coreference attachments are not read."""
    optional = ("lemma", "upos", "xpos", "feats", "deprel", "deps", "misc", "ner")
    return [[{k: v for k, v in e.items()
              if k != "coref_chains" and not (k in optional and v == "_")} for e in s]
            for s in entries]


def check_round_trip(doc):
    read_conll(doc)
    entries = doc.to_dict()
    assert Document.from_dict(entries).to_dict() == as_read_back(entries)


def test_every_sentence_carries_every_annotation(all_models, ewt_dev_texts):
    pipeline = Pipeline("en", EVERY_OTHER, model_dir=all_models)
    texts = documents_of(ewt_dev_texts)
    docs = pipeline.bulk_process(texts)
    classes, entities, mentions = set(), 0, 0
    for doc, text in zip(docs, texts):
        assert doc.text == text
        for sentence in doc.sentences:
            words = list(sentence.words)
            assert all(w.upos and w.deprel and w.lemma is not None for w in words)
            assert [w.head for w in words].count(0) == 1
            assert all(t.ner and t.multi_ner == [t.ner] for t in sentence.tokens)
            classes.add(sentence.sentiment)
            assert sentence.constituency.leaf_labels() == [w.text for w in words]
        entities += len(doc.entities)
        chains = doc.coref
        mentions += sum(len(c.mentions) for c in chains)
        attached = {a.chain.index for s in doc.sentences for w in s.all_words
                    for a in w.coref_chains}
        assert attached == {c.index for c in chains}
        check_round_trip(doc)
    assert None not in classes and len(classes) > 1
    assert entities > 1000 and mentions > 100

    # One document at a time gives what the batched call gives, except the
    # sentiment, which depends on the sentences batched together.
    for doc, text in list(zip(docs, texts))[::9]:
        alone = pipeline(text)
        assert alone.to_dict() == doc.to_dict()
        assert [t for _, t in sentence_values(alone)] == [t for _, t in sentence_values(doc)]
        assert entity_values(alone) == entity_values(doc)


def test_language_identifier_and_segmenter_pipelines(all_models, ewt_dev_texts):
    texts = documents_of(ewt_dev_texts)
    identify = Pipeline("en", "tokenize,mwt,langid", model_dir=all_models)
    langid = identify.processors[2]
    docs = identify.bulk_process(texts)
    assert [d.lang for d in docs] == langid.identify_many(texts)
    assert len({d.lang for d in docs}) > 1
    # Texts of equal length run together in one call; any other runs alone,
    # as it does in a call of its own.
    lengths = [len(t) for t in texts]
    alone = [i for i, n in enumerate(lengths) if lengths.count(n) == 1][::9]
    assert [identify(texts[i]).lang for i in alone] == [docs[i].lang for i in alone]
    for doc in docs[::9]:
        check_round_trip(doc)

    segment = Pipeline("en", "tokenize,mwt,pos,morphseg", model_dir=all_models)
    docs = segment.bulk_process(texts)
    for doc in docs:
        for word in doc.iter_words():
            assert word.morphemes
        check_round_trip(doc)
    assert [segment(t).to_dict() for t in texts[::9]] == [d.to_dict() for d in docs[::9]]
