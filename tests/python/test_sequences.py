import pytest

from _velmora import ConstituencyTree, Document, TokenSequence


def five_word_doc(text=""):
    words = [{"id": i, "text": f"w{i}"} for i in range(1, 6)]
    return Document.from_dict([words, [{"id": 1, "text": "x"}]], text=text)


def ids(sequence):
    return [w.id for w in sequence]


def test_indexing_and_slicing_give_views():
    words = five_word_doc().sentences[0].words
    assert repr(words) == "<velmora.WordSequence length=5>"
    assert words[-1] == words[4] and words[-5] == words[0]
    for bad in (5, -6):
        with pytest.raises(IndexError, match="^index is outside the sequence$"):
            words[bad]
    odd = words[1::2]
    assert repr(odd) == "<velmora.WordSequence length=2>" and ids(odd) == [2, 4]
    assert ids(odd[::-1]) == [4, 2]
    assert ids(words[3:100]) == [4, 5]
    assert ids(words[::-1]) == ids(reversed(words)) == [5, 4, 3, 2, 1]
    assert ids(words[::-2][1:]) == [3, 1]
    assert len(words[4:1]) == 0
    with pytest.raises(ValueError):
        words[::0]
    for key in ("1", 1.0, None):
        with pytest.raises(TypeError):
            words[key]
    assert words[True] == words[1]


def test_empty_views():
    for sequence in (Document().sentences, five_word_doc().sentences[1].empty_words):
        assert len(sequence) == 0 and repr(sequence).endswith(" length=0>")
        for index in (0, -1):
            with pytest.raises(IndexError):
                sequence[index]
        assert len(sequence[1:]) == 0 and list(sequence) == [] and list(reversed(sequence)) == []


def test_iterators_are_independent_and_stay_exhausted():
    tokens = five_word_doc().sentences[0].tokens
    assert isinstance(tokens, TokenSequence)
    first, second = iter(tokens), iter(tokens)
    assert iter(first) is first
    assert next(first).id == (1,)
    assert [t.id for t in second] == [(i,) for i in range(1, 6)]
    assert len(list(first)) == 4
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(first)
    backwards = reversed(tokens)
    assert [t.id[0] for t in backwards] == [5, 4, 3, 2, 1]


def test_membership_is_identity():
    doc = five_word_doc("w1 w2 w3 w4 w5 x")
    other = five_word_doc("w1 w2 w3 w4 w5 x")
    sentence = doc.sentences[0]
    assert sentence in doc.sentences and sentence not in other.sentences
    assert sentence in doc.sentences[0].doc.sentences
    assert sentence not in doc.sentences[1:]
    words = sentence.words
    assert words[2] in words[::2] and words[1] not in words[::2]
    assert doc.sentences[1].words[0] not in words
    for foreign in ("w1", 1, sentence.tokens[0]):
        with pytest.raises(TypeError):
            foreign in words


def test_views_outlive_their_document():
    words = five_word_doc().sentences[0].words
    it = iter(words[::-1])
    assert next(it).text == "w5"


def test_tree_sequence():
    leaves = [ConstituencyTree(label) for label in "abc"]
    children = ConstituencyTree("X", leaves).children
    assert repr(children) == "<velmora.TreeSequence length=3>"
    assert [str(t) for t in children[::-1]] == ["c", "b", "a"]
    assert children[-1] == leaves[2] and leaves[0] in children
    assert ConstituencyTree("a") not in children
    with pytest.raises(IndexError, match="^tree index is outside the sequence$"):
        children[3]


def test_slices_of_slices_with_huge_steps():
    # Steps multiply as slices nest; a product past 64 bits must not
    # overflow, for trees as for the document's sequences.
    labels = list("abcdefghij")
    children = ConstituencyTree("X", [ConstituencyTree(label) for label in labels]).children
    words = five_word_doc().sentences[0].words
    for sequence, texts, text_of in ((children, labels, str),
                                     (words, [w.text for w in words], lambda w: w.text)):
        for step in (2**62, -(2**62), 2**63 - 1, -(2**63)):
            nested = sequence[::8][::step]
            assert [text_of(x) for x in nested] == texts[::8][::step]
            assert [text_of(x) for x in nested[::-1][::step]] == texts[::8][::step][::-1][::step]
            assert nested[0] in nested and nested[-1] == nested[0]
