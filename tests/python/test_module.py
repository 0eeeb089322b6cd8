import subprocess
import sys

import pytest

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
        "    print('refused', 'ImportError' in str(e))\n"
        "si.destroy(i)\n"
        "import _velmora\n"
        "print(_velmora.__version__)\n")
    assert out.split() == ["refused", "True", "0.1.0"]


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
    # A conversion failing inside a binding's own body arrives as RuntimeError.
    with pytest.raises(RuntimeError):
        _velmora.Document.from_dict([[{"id": 1, "text": b"a"}]])
    with pytest.raises(StopIteration):
        next(iter(_velmora.Document().sentences))
