import json
import os
import subprocess
import sys

import pytest
from conftest import DEFAULT_BUNDLES, run_child

import _velmora

EXCEPTIONS = [
    ("ProcessorNotImplementedError", NotImplementedError),
    ("ProcessorRequirementsError", ValueError),
    ("ModelBundleError", RuntimeError),
    ("TokenizerModelError", "ModelBundleError"),
    ("Seq2SeqModelError", "ModelBundleError"),
    ("MWTModelError", "ModelBundleError"),
    ("POSModelError", "ModelBundleError"),
    ("LemmaModelError", "ModelBundleError"),
    ("DepparseModelError", "ModelBundleError"),
    ("NERModelError", "ModelBundleError"),
    ("SentimentModelError", "ModelBundleError"),
    ("ConstituencyModelError", "ModelBundleError"),
    ("CorefModelError", "ModelBundleError"),
    ("CharLMModelError", "ModelBundleError"),
    ("LangIDModelError", "ModelBundleError"),
    ("MorphSegModelError", "ModelBundleError"),
    ("WordPieceError", RuntimeError),
    ("SubwordError", RuntimeError),
    ("TransformerError", RuntimeError),
]

# The classes of the document side, in the order the module registers them.
DOCUMENT_CLASSES = [
    "CorefMention", "CorefChain", "CorefAttachment", "ConstituencyTree", "Document",
    "Sentence", "Token", "Word", "Span",
    "_SentenceIterator", "SentenceSequence", "_TokenIterator", "TokenSequence",
    "_WordIterator", "WordSequence", "_SpanIterator", "SpanSequence",
    "_TreeIterator", "TreeSequence",
]


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout


def test_attributes_come_first_in_order():
    assert _velmora.__doc__ == "Native components of Velmora."
    assert _velmora.__version__ == "0.1.0"
    assert _velmora.free_threaded_build is False
    names = [n for n in vars(_velmora) if n not in
             ("__name__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names[:3] == ["__doc__", "__version__", "free_threaded_build"]
    exception_names = [name for name, _ in EXCEPTIONS]
    assert names[3:3 + len(EXCEPTIONS)] == exception_names
    registered = [n for n in names if n in DOCUMENT_CLASSES]
    assert registered == DOCUMENT_CLASSES


def test_exception_classes_and_hierarchy():
    for name, base in EXCEPTIONS:
        cls = getattr(_velmora, name)
        if isinstance(base, str):
            base = getattr(_velmora, base)
        assert cls.__bases__ == (base,)
        assert cls.__module__ == "_velmora" and cls.__name__ == name
        assert cls.__doc__ is None
    assert issubclass(_velmora.TokenizerModelError, RuntimeError)
    assert all(getattr(_velmora, name).__doc__ is None for name in DOCUMENT_CLASSES)


def test_import_loads_no_helper_modules():
    out = run_python(
        "import sys\n"
        "watched = ('json', 'pathlib', 'collections.abc')\n"
        "before = [m for m in watched if m in sys.modules]\n"
        "import _velmora\n"
        "after = [m for m in watched if m in sys.modules]\n"
        "format(_velmora.Document())\n"
        "print(before, after, 'json' in sys.modules)\n")
    assert out.strip() == "[] [] True"


def test_sub_interpreters_are_refused():
    out = run_python(
        "import sys, _xxsubinterpreters as si\n"
        "i = si.create()\n"
        "try:\n"
        "    si.run_string(i, 'import sys; sys.path[:0] = %r; import _velmora' % (sys.path,))\n"
        "    print('imported')\n"
        "except si.RunFailedError as e:\n"
        "    print('refused', 'does not support loading in subinterpreters' in str(e))\n"
        "si.destroy(i)\n"
        "import _velmora\n"
        "print(_velmora.__version__)\n")
    assert out.split() == ["refused", "True", "0.1.0"]


# Sub-interpreters that share the main interpreter's lock do not enforce the
# module's declaration: the module refuses them itself. RUNS of them try
# before the main interpreter imports it and RUNS after, each destroyed once
# it has tried, and each prints what it found as JSON: the import's message,
# whether the module is in its sys.modules, and its count of exit functions.
SHARED_LOCK_SUB_INTERPRETERS = r"""
import sys, threading
import _testcapi, _xxsubinterpreters as si
kind, pos_bundle, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
code = '''
import atexit, json, sys
sys.path[:0] = %r
try:
    import _velmora
    print(json.dumps("imported"), flush=True)
except ImportError as error:
    print(json.dumps([str(error), "_velmora" in sys.modules, atexit._ncallbacks()]), flush=True)
''' % (sys.path,)

def sub_interpreter():
    if kind == "legacy":
        assert _testcapi.run_in_subinterp(code) == 0
    else:
        interpreter = si.create(isolated=False)
        si.run_string(interpreter, code)
        si.destroy(interpreter)

for _ in range(runs):
    sub_interpreter()
import _velmora
for _ in range(runs):
    sub_interpreter()
# The main interpreter is whole: a call from another thread comes back, and
# the exit reports nothing.
pos = _velmora.POSProcessor(pos_bundle)
doc = lambda: _velmora.Document.from_dict([[{"id": 1, "text": "Dogs"}, {"id": 2, "text": "bark"}]])
pos(doc())
tagged = []
worker = threading.Thread(target=lambda: tagged.append(pos(doc())), daemon=True)
worker.start()
worker.join(2.0)
print(len(tagged), flush=True)
"""


@pytest.mark.parametrize("kind", ["shared", "legacy"])
def test_shared_lock_sub_interpreters_are_refused_and_change_nothing(kind, fixture_dir):
    runs = 10
    code, out, err = run_child(
        [sys.executable, "-c", SHARED_LOCK_SUB_INTERPRETERS, kind,
         str(fixture_dir / DEFAULT_BUNDLES["pos"]), str(runs)], dict(os.environ), 120)
    refused = ["_velmora loads only in the main interpreter, not in a sub-interpreter", False, 0]
    assert (code, err) == (0, ""), (code, err[-3000:])
    lines = out.splitlines()
    assert [json.loads(line) for line in lines[:-1]] == [refused] * (2 * runs), out
    assert lines[-1] == "1", out


def test_standard_exceptions_translate():
    doc = _velmora.Document.from_dict([[{"id": 1, "text": "a", "head": 0, "deprel": "root"}]])
    sentence = doc.sentences[0]
    with pytest.raises(IndexError, match="^index is outside the sequence$"):
        doc.sentences[1]
    with pytest.raises(ValueError, match="^a word must have non-empty text$"):
        sentence.words[0].text = ""
    root = sentence.dependencies[0][0]
    with pytest.raises(RuntimeError, match="^the synthetic ROOT word is immutable$") as info:
        root.lemma = "x"
    assert type(info.value) is RuntimeError
    # A conversion failing inside a binding's own body names what it converts.
    with pytest.raises(TypeError, match="^text must be a str, not bytes$"):
        _velmora.Document.from_dict([[{"id": 1, "text": b"a"}]])
    with pytest.raises(StopIteration):
        next(iter(_velmora.Document().sentences))


# The module's classes in registration order: Python base, constructor ("-"
# none, else how many overloads), then every member in registration order.
# A member reads "name" (method), "name ro" / "name rw" (property without /
# with a setter), "name static" (static method), "name static-ro" (static
# read-only property); "*N" gives a callable's number of overloads.
SURFACE = """
TensorDescriptor | object | - | name ro, dtype ro, shape ro, offset ro, nbytes ro, sha256 ro
ModelBundle | object | 1 | path ro, language ro, processor ro, package ro, tavrel_version ro,
    resources_version ro, checksums_verified ro, tensor_file_size ro, tensor_names ro, tensor
CharLMPlan | object | 1 | bundle ro, is_forward ro, hidden_size ro, encode
CorefPrediction | object | - | word_clusters ro, span_clusters ro, zero_words ro
CorefPlan | object | 1 | bundle ro, predicts_singletons ro, predicts_zero_anaphora ro, resolve
MorphSegPlan | object | 1 | bundle ro, segment, segment_many
WordPieceEncoding | object | - | input_ids ro, attention_mask ro, word_ids ro
WordPieceTokenizer | object | 1 | encode, vocabulary_size ro, cache_size ro,
    highway_enabled static-ro
ByteBPETokenizer | object | 1 | encode, tokenize, vocabulary_size ro, cache_size ro,
    highway_enabled static-ro
XLMRobertaTokenizer | object | 1 | encode, tokenize, vocabulary_size ro, cache_size ro,
    highway_enabled static-ro
TransformerEncoder | object | 3 | encode, tokenize, encode_ids, model_path ro,
    runtime_version static
CorefMention | object | 1 | sentence ro, start_word ro, end_word ro, __repr__
CorefChain | object | 1 | index ro, mentions ro, representative_text ro, representative_index ro,
    __repr__
CorefAttachment | object | 1 | chain ro, is_start ro, is_end ro, is_representative ro, to_json,
    __repr__
ConstituencyTree | object | 1 | label ro, children ro, is_leaf, is_preterminal, leaf_labels,
    __len__, __str__, __repr__, __eq__, __hash__
Document | object | 1 | from_dict static, text ro, codepoint_count ro, byte_offset, lang rw,
    sentences ro, ents ro, entities ro, num_tokens ro, num_words ro, coref rw, iter_words,
    iter_tokens, rebuild_entities, to_dict, to_conll, __format__, __repr__, __eq__, __hash__
Sentence | object | - | index ro, id ro, sent_id ro, speaker ro, doc_id ro, text ro, doc ro,
    tokens ro, words ro, empty_words ro, all_words ro, ents ro, entities ro, sentiment rw,
    constituency rw, comments ro, dependencies ro, get_roots, to_dict, to_conll, __format__,
    __repr__, __eq__, __hash__
Token | object | - | id ro, text rw, misc rw, ner rw, multi_ner rw, start_char ro, end_char ro,
    manual_expansion rw, spaces_before rw, spaces_after rw, words ro, sent ro, is_mwt, to_dict,
    __repr__, __eq__, __hash__
Word | object | - | id ro, text rw, lemma rw, upos rw, pos rw, xpos rw, feats rw, head rw,
    deprel rw, deps rw, misc rw, start_char ro, end_char ro, manual_expansion ro, morphemes rw,
    coref_chains ro, parent ro, sent ro, to_dict, __repr__, __eq__, __hash__
Span | object | - | text ro, type ro, start_char ro, end_char ro, tokens ro, words ro, sent ro,
    doc ro, to_dict, pretty_print, __repr__, __eq__, __hash__
_SentenceIterator | object | - | __iter__, __next__
SentenceSequence | object | - | __len__, __getitem__ *2, __iter__, __reversed__, __contains__,
    __repr__
_TokenIterator | object | - | __iter__, __next__
TokenSequence | object | - | __len__, __getitem__ *2, __iter__, __reversed__, __contains__,
    __repr__
_WordIterator | object | - | __iter__, __next__
WordSequence | object | - | __len__, __getitem__ *2, __iter__, __reversed__, __contains__,
    __repr__
_SpanIterator | object | - | __iter__, __next__
SpanSequence | object | - | __len__, __getitem__ *2, __iter__, __reversed__, __contains__,
    __repr__
_TreeIterator | object | - | __iter__, __next__
TreeSequence | object | - | __len__, __getitem__ *2, __iter__, __reversed__, __contains__,
    __repr__
Processor | object | - | name ro, requires ro, provides ro, module ro, implemented ro, process,
    __call__, bulk_process, __repr__
LangIDProcessor | Processor | 2 | bundle_path ro, lang_subset ro, identify, identify_many
TokenizeProcessor | Processor | 2 | bundle_path ro, predict_labels
MWTProcessor | Processor | 2 | bundle_path ro, expand
POSProcessor | Processor | 2 | bundle_path ro
LemmaProcessor | Processor | 2 | bundle_path ro, lemmatize
DepparseProcessor | Processor | 2 | bundle_path ro
NERProcessor | Processor | 2 | bundle_path ro, tag
SentimentProcessor | Processor | 2 | bundle_path ro, classify, classify_many
ConstituencyProcessor | Processor | 2 | bundle_path ro, uses_xpos ro, parse, parse_many
CorefProcessor | Processor | 2 | bundle_path ro, predicts_singletons ro, predicts_zero_anaphora ro
MorphSegProcessor | Processor | 2 | bundle_path ro, segment, segment_many
Pipeline | object | 1 | lang ro, package ro, model_dir ro, resources_version ro, processors ro,
    process *4, __call__ *4, bulk_process *2, process_many *2, __repr__
"""


def surface_table():
    rows = []
    for line in SURFACE.strip().replace("\n    ", " ").splitlines():
        name, base, constructor, members = (part.strip() for part in line.split("|"))
        rows.append((name, base, constructor, [m.split() for m in members.split(", ")]))
    return rows


def member_kind(value):
    kind = type(value).__name__
    if kind == "property":
        return "rw" if value.fset is not None else "ro"
    return {"nb_static_property": "static-ro", "nb_func": "static", "nb_method": ""}.get(kind, kind)


def test_module_surface_in_registration_order():
    table = surface_table()
    assert len(table) == 43
    names = [n for n in vars(_velmora) if not n.startswith("__")]
    exceptions = [name for name, _ in EXCEPTIONS]
    assert names == (["free_threaded_build"] + exceptions + [row[0] for row in table] +
                     ["processor_specs", "native_version"])
    for name, base, constructor, members in table:
        cls = getattr(_velmora, name)
        assert cls.__bases__ == ((object,) if base == "object" else (getattr(_velmora, base),))
        own = {k: v for k, v in vars(cls).items()
               if k not in ("__new__", "__doc__", "__module__", "__init__")}
        assert list(own) == [m[0] for m in members], name
        for member, *rest in members:
            overloads = [int(r[1:]) for r in rest if r.startswith("*")]
            kind = [r for r in rest if not r.startswith("*")]
            value = own[member]
            assert member_kind(value) == (kind[0] if kind else ""), (name, member)
            if not kind or kind[0] == "static":
                assert len(value.__nb_signature__) == (overloads[0] if overloads else 1), \
                    (name, member)
        init = vars(cls).get("__init__")
        if constructor == "-":
            with pytest.raises(TypeError):
                cls()
        else:
            assert len(init.__nb_signature__) == int(constructor), name
