import json
import subprocess
import sys
import textwrap

import pytest

from _velmora import CorefChain, CorefMention, Document
from conftest import read_conll


def one_token(misc=None, **keys):
    entry = {"id": 1, "text": "a", **keys}
    if misc is not None:
        entry["misc"] = misc
    return Document.from_dict([[entry]])


def token_of(**keys):
    return one_token(**keys).sentences[0].tokens[0]


def test_entry_keys_and_order():
    doc = Document.from_dict([[
        {"id": (2, 1), "text": "e"},
        {"id": (1, 2), "text": "ab", "ner": "S-LOC", "misc": "SpaceAfter=No", "start_char": 0,
         "end_char": 2},
        {"id": 1, "text": "a", "lemma": "a", "head": 0, "deprel": "root", "ner": "ignored"},
        {"id": 2, "text": "b", "misc": "X=1"},
        {"id": 3, "text": "c", "ner": "S-PER", "multi_ner": "S-PER"},
    ]])
    doc.coref = [CorefChain(0, [CorefMention(0, 2, 3)], "c", 0)]
    entries = doc.sentences[0].to_dict()
    assert [e["id"] for e in entries] == [(1, 2), 1, 2, (2, 1), 3]
    assert list(entries[0]) == ["id", "text", "misc", "ner", "start_char", "end_char"]
    assert entries[0]["misc"] == "SpaceAfter=No"
    assert entries[1] == {"id": 1, "text": "a", "lemma": "a", "head": 0, "deprel": "root"}
    assert entries[2] == {"id": 2, "text": "b", "misc": "X=1"}
    last = entries[4]
    assert list(last) == ["id", "text", "ner", "multi_ner", "coref_chains"]
    # The word on its own carries no token-level tags.
    assert doc.sentences[0].words[2].to_dict() == {
        "id": 3, "text": "c", "coref_chains": [
            {"index": 0, "representative_text": "c", "is_start": True, "is_end": True,
             "is_representative": True}]}


def test_composed_misc_goes_last_when_new():
    doc = one_token(ner="S-PER", misc="SpaceAfter=No")
    doc.coref = [CorefChain(0, [CorefMention(0, 0, 1)], "a")]
    entry = doc.sentences[0].to_dict()[0]
    assert list(entry) == ["id", "text", "ner", "coref_chains", "misc"]
    assert entry["misc"] == "SpaceAfter=No"
    assert one_token().sentences[0].to_dict() == [{"id": 1, "text": "a"}]


def test_renderings():
    doc = Document.from_dict([[{"id": 1, "text": "café", "misc": "SpaceAfter=No"}]])
    assert format(doc) == format(doc, "json") == \
        '[[{"id": 1, "text": "café", "misc": "SpaceAfter=No"}]]'
    assert repr(doc) == json.dumps(doc.to_dict(), ensure_ascii=False, indent=2)
    assert format(doc, "C") == format(doc, "conll") == doc.to_conll()
    assert doc.to_conll().splitlines()[-1] == "1\tcafé\t_\t_\t_\t_\t_\t_\t_\tSpaceAfter=No"
    sentence = doc.sentences[0]
    assert format(sentence) == repr(sentence) == repr(sentence.to_dict())
    assert format(sentence, "c") == sentence.to_conll()
    assert repr(sentence.tokens[0]) == repr(sentence.tokens[0].to_dict())


@pytest.mark.parametrize("misc, before, after, expected", [
    (None, "", " ", None),
    (None, "", "", "SpaceAfter=No"),
    (None, "  ", "\n", "SpacesAfter=\\n|SpacesBefore=\\s\\s"),
    ("MWT=Yes", "", "", "MWT=Yes|SpaceAfter=No"),
    ("Z=1|A=2", "", " ", "Z=1|A=2"),
    ("Z=1|A=2", "", "", "A=2|SpaceAfter=No|Z=1"),
    ("||", "", " ", None),
    (None, "", "|\\", "SpacesAfter=\\p\\\\"),
    (None, "", "\u00a0\t\r", "SpacesAfter=\\u00A0\\t\\r"),
])
def test_spacing_round_trip(misc, before, after, expected):
    keys = {"spaces_before": before, "spaces_after": after}
    entry = one_token(misc=misc, **keys).sentences[0].to_dict()[0]
    assert entry.get("misc") == expected
    back = Document.from_dict([[entry]]).sentences[0].tokens[0]
    assert (back.spaces_before, back.spaces_after) == (before, after)


@pytest.mark.parametrize("after, first, mwt, last", [
    ("", "SpaceAfter=No|SpacesBefore=\\s\\n", "SpaceAfter=No", "SpaceAfter=No|Z=1"),
    (" ", "SpacesBefore=\\s\\n", "_", "Z=1"),
    ("  ", "SpacesAfter=\\s\\s|SpacesBefore=\\s\\n", "SpacesAfter=\\s\\s", "SpacesAfter=\\s\\s|Z=1"),
    ("\t", "SpacesAfter=\\t|SpacesBefore=\\s\\n", "SpacesAfter=\\t", "SpacesAfter=\\t|Z=1"),
])
def test_conll_writes_the_spacing_the_dictionaries_write(after, first, mwt, last):
    doc = Document.from_dict([[
        {"id": 1, "text": "a", "spaces_before": " \n", "spaces_after": after},
        {"id": (1, 1), "text": "e", "misc": "E=1"},
        {"id": (2, 3), "text": "bc", "spaces_after": after},
        {"id": 2, "text": "b"}, {"id": 3, "text": "c", "misc": "Z=1"},
        {"id": 4, "text": "d", "spaces_after": after, "misc": "Z=1"}]])
    lines = [line.split("\t") for line in doc.to_conll().splitlines() if line[0] != "#"]
    assert [(line[0], line[9]) for line in lines] == [
        ("1", first), ("1.1", "E=1"), ("2-3", mwt), ("2", "_"), ("3", "Z=1"), ("4", last)]
    assert [line[9] for line in lines] == \
        [entry.get("misc", "_") for entry in doc.sentences[0].to_dict()]


@pytest.mark.parametrize("misc, after, remaining", [
    ("SpaceAfter=no", "no", None),
    ("SpaceAfter=", "", None),
    ("SpaceAfter=No|SpacesAfter=\\s\\s", "  ", None),
    ("SpaceAfter=Yes", " ", None),
    ("SpaceAfter=No~|MWT=Yes", "", "MWT=Yes"),
    ("SpacesAfter=\\x\\u00a0\\", "\\x\\u00a0\\", None),
])
def test_spacing_extraction(misc, after, remaining):
    token = token_of(misc=misc)
    assert token.spaces_after == after and token.misc == remaining
    assert token.words[0].misc == remaining


def test_spacing_defaults_and_keys():
    assert token_of(spaces_after="  ").spaces_after == "  "
    assert token_of(spaces_after="_").spaces_after == " "
    # The words of a multi-word token keep their misc as read.
    mwt = Document.from_dict([[{"id": (1, 2), "text": "ab"},
                               {"id": 1, "text": "a", "misc": "SpaceAfter=No|MWT=Yes"},
                               {"id": 2, "text": "b"}]]).sentences[0].tokens[0]
    assert mwt.spaces_after == " " and mwt.to_dict()[1]["misc"] == "SpaceAfter=No|MWT=Yes"


def test_annotations_with_tabs_and_line_breaks_render_as_conll():
    doc = Document.from_dict([[{"id": (1, 2), "text": "a\tb", "misc": "x\r\ny"},
                               {"id": 1, "text": "a\nb", "lemma": "l\tm", "feats": "F=\r"},
                               {"id": 2, "text": "c", "deprel": "d\ne"},
                               {"id": 3, "text": "!", "misc": "SpacesAfter=\\r\\n"},
                               {"id": 4, "text": "?"}]])
    sentence = doc.sentences[0]
    (parsed,) = read_conll(doc)
    assert [t["form"] for t in parsed] == ["a b", "a b", "c", "!", "?"]
    assert (parsed[1]["lemma"], parsed[2]["deprel"]) == ("l m", "d e")
    assert parsed.metadata["text"] == "a\tb ! ?"
    # Only the rendering changes: the stored strings keep their characters.
    assert sentence.text == "a\tb !\r\n? " and sentence.words[0].lemma == "l\tm"
    assert Document.from_dict(doc.to_dict()).to_dict() == doc.to_dict()


def test_sentence_text_from_tokens_keeps_the_spaces_after_each_token():
    doc = Document.from_dict([[{"id": 1, "text": "Hello"},
                               {"id": 2, "text": "world", "misc": "SpaceAfter=No"},
                               {"id": 3, "text": "!"}]])
    assert doc.sentences[0].text == "Hello world! "


def test_from_dict_ids():
    doc = Document.from_dict([[{"id": "12", "text": "ab"}, {"id": [1], "text": "a"},
                               {"id": "2", "text": "b"}, {"id": (2, 1), "text": "e"}]])
    sentence = doc.sentences[0]
    assert [t.id for t in sentence.tokens] == [(1, 2)]
    assert [w.id for w in sentence.all_words] == [1, 2, (2, 1)]
    with pytest.raises(ValueError, match="^a token has an invalid ID range$"):
        Document.from_dict([[{"id": (0, 1), "text": "a"}]])
    for bad in ((), (1, 2, 3)):
        with pytest.raises(ValueError, match="one/two-element sequence"):
            Document.from_dict([[{"id": bad, "text": "a"}]])
    with pytest.raises(ValueError, match="^every token entry must contain an id$"):
        Document.from_dict([[{"id": None, "text": "a"}]])
    # A word beyond the range ends the multi-word token.
    doc = Document.from_dict([[{"id": (1, 2), "text": "ab"}, {"id": 1, "text": "a"},
                               {"id": 2, "text": "b"}, {"id": 3, "text": "c"}]])
    assert [t.id for t in doc.sentences[0].tokens] == [(1, 2), (3,)]
    # Empty words whose index exceeds their id, as the coreference resolver
    # numbers them, read back as empty words, not as multi-word tokens.
    entries = [[{"id": 1, "text": "a"}, {"id": (1, 4), "text": "_"}, {"id": (1, 5), "text": "_"},
                {"id": 2, "text": "b", "ner": "O"}, {"id": (3, 4), "text": "cd"},
                {"id": 3, "text": "c"}, {"id": 4, "text": "d"}]]
    doc = Document.from_dict(entries)
    assert [w.id for w in doc.sentences[0].all_words] == [1, (1, 4), (1, 5), 2, 3, 4]
    assert [t.id for t in doc.sentences[0].tokens] == [(1,), (2,), (3, 4)]
    assert doc.to_dict() == entries


def test_from_dict_values():
    token = one_token(lemma="_", text="_", head="3", upos="X", morphemes=None,
                      multi_ner="B-PER").sentences[0].tokens[0]
    assert token.text == "_" and token.words[0].lemma is None and token.words[0].head == 3
    assert token.multi_ner == ["B-PER"] and token.words[0].morphemes == []
    assert one_token(head="_").sentences[0].words[0].head is None
    assert token_of(start_char=0).start_char == 0
    assert token_of(start_char=4294967294).start_char == 4294967294
    for key in ("start_char", "end_char"):
        with pytest.raises(ValueError, match=f"^{key} cannot be negative$"):
            one_token(**{key: -1})
        for big in (4294967295, 2 ** 32 + 5):
            with pytest.raises(ValueError, match=f"^{key} is out of range$"):
                one_token(**{key: big})
    # A value of the wrong kind names its key.
    for bad, error, message in [
            ({"manual_expansion": 1}, TypeError, "manual_expansion must be True or False, not int"),
            ({"lemma": 3}, TypeError, "lemma must be a str, not int"),
            ({"lemma": "\udcff"}, ValueError, "lemma cannot be encoded as UTF-8"),
            ({"head": 1.0}, TypeError, "head must be an integer, not float"),
            ({"head": 2 ** 31}, OverflowError, "head is outside the 32-bit integer range: 2147483648"),
            ({"head": -2 ** 80}, OverflowError, "head is outside the 32-bit integer range"),
            ({"start_char": "x"}, TypeError, "start_char must be an integer, not str"),
            ({"morphemes": [1]}, TypeError, "morphemes must hold only str, not int")]:
        with pytest.raises(error) as info:
            one_token(**bad)
        assert str(info.value) == message
    with pytest.raises(TypeError, match="^text must be a str, not bytes$"):
        Document.from_dict([], text=b"x")
    assert Document.from_dict([], text="abc").text == "abc"
    assert Document.from_dict(sentences=()).text == ""


def test_from_dict_shapes():
    with pytest.raises(TypeError):
        Document.from_dict(5)
    with pytest.raises(ValueError, match="^each document sentence must be a sequence$"):
        Document.from_dict(["abc"])
    with pytest.raises(ValueError, match="^each sentence entry must be a dictionary$"):
        Document.from_dict([[[1, "a"]]])
    with pytest.raises(ValueError, match="^a token must have non-empty text$"):
        Document.from_dict([[{"id": 1}]])


def run_capped(code):
    """Runs `code` in a fresh interpreter, where cap(extra) lets the process
    map only `extra` bytes more than it has mapped at the call; returns its
    output."""
    prologue = textwrap.dedent("""
        import resource

        def cap(extra):
            with open("/proc/self/statm") as statm:
                mapped = int(statm.read().split()[0]) * resource.getpagesize()
            hard = resource.getrlimit(resource.RLIMIT_AS)[1]
            resource.setrlimit(resource.RLIMIT_AS, (mapped + extra, hard))
    """)
    done = subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_coref_chains_share_their_text_and_grow_linearly():
    # Twenty chains whose mentions span almost the whole sentence: every word
    # carries twenty attachments to texts as long as the sentence.
    out = run_capped("""
        import tracemalloc
        from _velmora import CorefChain, CorefMention, Document
        cap(2 << 30)

        def to_dict_bytes(n):
            words = [f"w{i:04d}" for i in range(n)]
            doc = Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(words)]])
            doc.coref = [CorefChain(k, [CorefMention(0, k, n)], " ".join(words[k:]), 0)
                         for k in range(20)]
            tracemalloc.start()
            entries = doc.to_dict()[0]
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            texts = {id(a["representative_text"]) for e in entries for a in e["coref_chains"]}
            assert len(texts) == 20, len(texts)
            return peak

        print(to_dict_bytes(400), to_dict_bytes(1600))
    """)
    small, large = map(int, out.split())
    # Four times the words: four times the bytes, not sixteen.
    assert large < 6 * small, (small, large)


def test_a_string_beyond_memory_is_memory_error():
    out = run_capped("""
        from _velmora import Document
        doc = Document.from_dict([[{"id": 1, "text": "a" * (128 << 20)}]])
        word = doc.sentences[0].words[0]
        # Room for the native copy of the text, not for the string made of it.
        cap(192 << 20)
        try:
            word.to_dict()
        except MemoryError:
            print("MemoryError")
    """)
    assert out.strip() == "MemoryError"
