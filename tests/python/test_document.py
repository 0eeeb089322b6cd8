import subprocess
import sys

import pytest

from _velmora import (ConstituencyTree, CorefAttachment, CorefChain, CorefMention, Document,
                      Sentence)


def make_doc():
    return Document.from_dict([
        [
            {"id": 1, "text": "Ann", "upos": "PROPN", "head": 2, "deprel": "nsubj",
             "ner": "S-PER", "misc": "SpaceAfter=No"},
            {"id": (2, 3), "text": "isn't"},
            {"id": 2, "text": "is", "head": 0, "deprel": "root"},
            {"id": 3, "text": "n't", "head": 2},
            {"id": (3, 1), "text": "was"},
        ],
        [{"id": 1, "text": "Bob", "ner": "S-PER"}, {"id": 2, "text": "ran", "head": 0}],
    ], text="Ann isn't. Bob ran")


def test_empty_document():
    for doc in (Document(), Document("")):
        assert len(doc.sentences) == 0 and doc.num_tokens == 0 and doc.num_words == 0
        assert doc.to_conll() == "" and doc.to_dict() == []
        assert repr(doc) == "[]" and format(doc) == "[]" and str(doc) == "[]"


def test_text_offsets_and_lang():
    doc = Document(text="aéb")
    assert doc.codepoint_count == 3
    assert doc.byte_offset(3) == 4 and doc.byte_offset(codepoint_index=1) == 1
    with pytest.raises(IndexError, match="code point index is outside the document"):
        doc.byte_offset(4)
    with pytest.raises(TypeError):
        doc.byte_offset(-1)
    doc.lang = "en"
    assert doc.lang == "en"
    doc.lang = None
    assert doc.lang is None


def test_conversion_is_strict():
    doc = make_doc()
    word, token = doc.sentences[0].words[0], doc.sentences[0].tokens[0]
    refused = [
        lambda: Document(b"bytes"), lambda: setattr(word, "lemma", b"x"),
        lambda: setattr(token, "manual_expansion", 1), lambda: setattr(word, "head", 2 ** 31),
        lambda: setattr(word, "head", 1.0), lambda: setattr(token, "text", None),
        lambda: setattr(token, "multi_ner", "B-PER"), lambda: Sentence(),
        lambda: CorefAttachment(CorefChain(0, [], "x"), 1, False, False),
        lambda: doc == 1, lambda: word == token, lambda: doc.sentences[0] == doc,
    ]
    for call in refused:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(AttributeError):
        doc.extra = 1
    word.lemma = None
    token.manual_expansion = True
    assert word.lemma is None and token.manual_expansion is True


def test_sentence_views():
    doc = make_doc()
    assert doc == doc.sentences[0].doc == doc.ents[0].doc and doc != make_doc()
    first, second = doc.sentences
    assert (second.index, second.id) == (1, 1)
    assert [w.id for w in first.all_words] == [1, 2, 3, (3, 1)]
    assert [w.id for w in first.empty_words] == [(3, 1)]
    assert len(doc.iter_words()) == doc.num_words == 5
    assert len(doc.iter_tokens()) == doc.num_tokens == 4
    deps = first.dependencies
    assert [(h.id, rel, d.id) for h, rel, d in deps] == [(2, "nsubj", 1), (0, "root", 2)]
    root = deps[1][0]
    assert root.text == "ROOT" and root.parent is None and root.lemma is None
    assert [w.id for w in first.get_roots()] == [2]
    first.sentiment = 2
    assert first.sentiment == 2
    first.sentiment = None
    assert first.sentiment is None
    tree = ConstituencyTree("ROOT", [ConstituencyTree("NN", [ConstituencyTree("Ann")])])
    first.constituency = tree
    assert first.constituency == tree and first.constituency != ConstituencyTree("ROOT")
    first.constituency = None
    assert first.constituency is None
    with pytest.raises(TypeError):
        first.constituency = "(ROOT)"


@pytest.mark.parametrize("head", [3, -1, -4])
def test_dependencies_refuse_heads_outside_the_sentence(head):
    doc = make_doc()
    doc.sentences[1].words[1].head = 0
    doc.sentences[1].words[0].head = head
    doc.sentences[1].words[0].deprel = "nsubj"
    with pytest.raises(IndexError, match="^index is outside the sequence$"):
        doc.sentences[1].dependencies


def test_token_and_word_views():
    doc = make_doc()
    ann, mwt = doc.sentences[0].tokens
    assert ann.id == (1,) and mwt.id == (2, 3)
    assert mwt.is_mwt() and not ann.is_mwt()
    assert ann.spaces_after == "" and mwt.spaces_after == " "
    assert [w.text for w in mwt.words] == ["is", "n't"]
    word = ann.words[0]
    assert word.parent == ann and word.sent == doc.sentences[0]
    assert doc.sentences[0].empty_words[0].parent is None
    word.pos = "NOUN"
    assert word.upos == "NOUN"
    word.upos = "PROPN"
    assert word.pos == "PROPN"
    with pytest.raises(ValueError, match="^a token must have non-empty text$"):
        ann.text = ""
    word.morphemes = ("An", "n")
    assert word.morphemes == ["An", "n"]


def test_entities():
    doc = make_doc()
    assert len(doc.ents) == len(doc.entities) == 2
    span = doc.ents[0]
    assert (span.text, span.type) == ("Ann", "PER")
    assert span.to_dict() == {"text": "Ann", "type": "PER", "start_char": None, "end_char": None}
    assert span.pretty_print() == "<Span text=Ann;type=PER>"
    doc.sentences[0].tokens[1].ner = "S-ORG"
    assert len(doc.ents) == 2
    doc.rebuild_entities()
    assert [s.type for s in doc.ents] == ["PER", "ORG", "PER"]
    assert [s.type for s in doc.sentences[0].ents] == ["PER", "ORG"]


def test_coref_values():
    m = CorefMention(0, 2, 5)
    assert (m.sentence, m.start_word, m.end_word) == (0, 2, 5)
    assert repr(m) == "<CorefMention sentence=0>"
    assert CorefMention(0, [3, 1], (3, 1)).start_word == (3, 1)
    with pytest.raises(ValueError, match="zero-anaphora word position must contain two integers"):
        CorefMention(0, (1, 2, 3), 1)
    with pytest.raises(TypeError, match="^start_word must be an integer, not float$"):
        CorefMention(0, (1, 1.5), 2)
    with pytest.raises(OverflowError, match="^end_word is outside the 32-bit integer range: 2147483648$"):
        CorefMention(0, 2, 2 ** 31)
    with pytest.raises(TypeError):
        CorefMention(0, 1.5, 2)
    with pytest.raises(ValueError, match="sentence index cannot be negative"):
        CorefMention(-1, 0, 1)
    assert CorefChain(0, [], "x").representative_index is None
    with pytest.raises(ValueError, match="representative coreference mention index is invalid"):
        CorefChain(0, [], "x", 0)
    chain = CorefChain(index=3, mentions=[m], representative_text="Ann and Bob",
                       representative_index=0)
    assert repr(chain) == "<CorefChain index=3 representative=Ann and Bob>"
    first, second = chain.mentions, chain.mentions
    assert first is not second and first[0] is second[0]
    del chain
    assert first[0].end_word == 5  # the element keeps its chain alive
    attachment = CorefAttachment(CorefChain(1, [], "it"), False, True, False)
    assert attachment.to_json() == {"index": 1, "representative_text": "it", "is_end": True}
    assert repr(attachment) == "<CorefAttachment chain=1>"


def test_document_coref():
    doc = make_doc()
    doc.coref = [CorefChain(0, [CorefMention(0, 0, 1), CorefMention(1, 0, 1)], "Ann", 0),
                 CorefChain(1, [CorefMention(0, (3, 1), (3, 1))], "was")]
    chains = doc.coref
    assert [c.index for c in chains] == [0, 1]
    attachments = doc.sentences[0].words[0].coref_chains
    assert attachments[0].chain is chains[0] is doc.coref[0]
    assert attachments[0].to_json() == {"index": 0, "representative_text": "Ann", "is_start": True,
                                        "is_end": True, "is_representative": True}
    assert doc.sentences[0].empty_words[0].coref_chains[0].chain.index == 1
    with pytest.raises(IndexError, match="invalid sentence index"):
        doc.coref = [CorefChain(0, [CorefMention(0, 1, 2)], "x"),
                     CorefChain(1, [CorefMention(5, 0, 1)], "x")]
    # A refused assignment changes nothing.
    assert doc.coref[0] is chains[0] and len(doc.coref) == 2
    assert doc.sentences[0].words[0].coref_chains[0].chain is chains[0]
    assert doc.sentences[0].words[1].coref_chains == []
    with pytest.raises(TypeError):
        doc.coref = [1]
    doc.coref = []
    assert doc.coref == [] and doc.sentences[0].words[0].coref_chains == []


def test_constituency_tree():
    leaf = ConstituencyTree("cat")
    assert leaf.is_leaf() and len(leaf) == 1 and str(leaf) == "cat"
    pre = ConstituencyTree(label="NN", children=[leaf])
    assert pre.is_preterminal() and repr(pre) == "(NN cat)"
    tree = ConstituencyTree("NP", [ConstituencyTree("DT", [ConstituencyTree("the")]), pre])
    assert len(tree) == 2 and len(tree.children) == 2
    assert tree.leaf_labels() == ["the", "cat"] and str(tree) == "(NP (DT the) (NN cat))"
    assert tree.children[1] == pre and pre in tree.children
    assert ConstituencyTree("NN", [leaf]) not in tree.children
    with pytest.raises(TypeError):
        ConstituencyTree("NP", ["cat"])
    with pytest.raises(TypeError):
        tree == "(NN cat)"


DEEP_TREE = """
import _velmora
tree = _velmora.ConstituencyTree("w")
for _ in range(200000):
    tree = _velmora.ConstituencyTree("X", [tree])
doc = _velmora.Document.from_dict([[{"id": 1, "text": "w"}]])
doc.sentences[0].constituency = tree
text = str(doc.sentences[0].constituency)
assert text == "(X " * 200000 + "w" + ")" * 200000
assert len(tree) == 1 and tree.leaf_labels() == ["w"]
del tree, doc
print("dropped")
"""


def test_a_very_deep_tree_renders_and_drops():
    # In a child process: the failure this guards against ends the process.
    run = subprocess.run([sys.executable, "-c", DEEP_TREE], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0 and run.stdout == "dropped\n", run.stderr
