import collections.abc
import gc
import json
import pathlib

import pytest
from release_probe import assert_releases_lock

import _velmora
from _velmora import (Document, Pipeline, ProcessorNotImplementedError,
                      ProcessorRequirementsError)

REGISTRY = ["langid", "tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment",
            "constituency", "coref", "morphseg"]


def names(pipeline):
    return [processor.name for processor in pipeline.processors]


def write_index(model_dir, bundles, version="1.14.0", lang="en"):
    index_dir = pathlib.Path(model_dir) / version / lang
    index_dir.mkdir(parents=True, exist_ok=True)
    index = {"format": "velmora-model-index", "format_version": 1,
             "resources_version": version, "language": lang, "bundles": bundles}
    (index_dir / "index.json").write_text(json.dumps(index), encoding="utf-8")


class ItemsMapping(collections.abc.Mapping):
    """A mapping whose items() gives the pairs it was built with, or fails."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0

    def items(self):
        if self.pairs is None:
            raise OSError("cannot list")
        return self.pairs


def test_module_functions():
    assert list(vars(_velmora))[-2:] == ["processor_specs", "native_version"]
    assert _velmora.native_version() == "0.1.0" == _velmora.__version__
    specs = _velmora.processor_specs()
    assert list(specs) == REGISTRY
    for name, entry in specs.items():
        assert list(entry) == ["requires", "provides", "module", "implemented"]
        assert entry["provides"] == [name]
        assert entry["implemented"] is (name != "coref")
    assert specs["depparse"]["requires"] == ["tokenize", "pos", "lemma"]
    assert specs["constituency"]["module"] == "extended"
    specs["pos"]["requires"].append("x")
    assert _velmora.processor_specs()["pos"]["requires"] == ["tokenize"]


def test_defaults_and_properties():
    pipeline = Pipeline("en")
    assert repr(pipeline) == "<Pipeline lang=en processors=5>"
    assert (pipeline.lang, pipeline.package, pipeline.model_dir, pipeline.resources_version) == (
        "en", "default", None, "1.14.0")
    assert [type(p).__name__ for p in pipeline.processors] == [
        "TokenizeProcessor", "MWTProcessor", "POSProcessor", "LemmaProcessor",
        "DepparseProcessor"]
    processors = pipeline.processors
    processors.clear()
    assert len(pipeline.processors) == 5
    # The processor objects co-own their native processors.
    kept = pipeline.processors
    del pipeline
    gc.collect()
    assert [p.name for p in kept] == ["tokenize", "mwt", "pos", "lemma", "depparse"]
    positional = Pipeline("fr", "tokenize,pos", "gsd", None, "1.15.0", False, ["en"])
    assert repr(positional) == "<Pipeline lang=fr processors=2>"
    assert (positional.package, positional.resources_version) == ("gsd", "1.15.0")


@pytest.mark.parametrize("processors, expected", [
    (" tokenize ,\t, pos ,\n", ["tokenize", "pos"]),
    ("\vtokenize\f,,,mwt\r,", ["tokenize", "mwt"]),
    ("", []), (" , ,\t", []), (None, []), (",", []),
    (("tokenize", "pos"), ["tokenize", "pos"]), (type("S", (str,), {})("langid ,"), ["langid"]),
    (["tokenize"], ["tokenize"]), ([], []),
])
def test_processor_list_normalisation(processors, expected):
    assert names(Pipeline("en", processors)) == expected


def test_list_elements_pass_verbatim():
    cases = [([" pos"], "unknown processor: ' pos'"),
             (["tokenize,pos"], "unknown processor: 'tokenize,pos'"),
             ([""], "unknown processor: ''"),
             # Only ASCII blanks are trimmed from a string: a no-break space stays.
             ("tokenize,\u00a0pos", "unknown processor: '\u00a0pos'"),
             ("tokenize,POS", "unknown processor: 'POS'")]
    for processors, message in cases:
        with pytest.raises(ValueError) as info:
            Pipeline("en", processors)
        assert str(info.value) == message


def test_processor_list_conversion_failures_come_before_package():
    for processors, kind in ((["tokenize", 1], "int"), (5, "int"), (b"tokenize", "bytes"),
                             ([b"tokenize"], "bytes")):
        with pytest.raises(TypeError, match=f"^processors must (hold only|be a sequence of) str, "
                                            f"not {kind}$"):
            Pipeline("en", processors, package=None)


def test_package_forms():
    pipeline = Pipeline("en", "tokenize,pos", package={"pos": "combined"})
    assert pipeline.package == {"pos": "combined"}
    reverse = Pipeline("en", "tokenize,mwt,pos", package={"pos": "a", "mwt": "b", "tokenize": "c"})
    assert list(reverse.package) == ["mwt", "pos", "tokenize"]
    assert Pipeline("en", "tokenize", package={}).package == {}
    returned = pipeline.package
    returned["tokenize"] = "x"
    assert pipeline.package == {"pos": "combined"}
    doubled = ItemsMapping([("pos", "first"), ("pos", "second")])
    assert Pipeline("en", "tokenize,pos", package=doubled).package == {"pos": "first"}


def test_package_refusals():
    kind = "package must be a string or mapping from processor names to package names"
    items = "package mapping processor names and package names must be strings"
    cases = [(None, kind), (["pos"], kind), (b"default", kind),
             ({"pos": 1}, items), ({1: "x"}, items), (ItemsMapping(None), items),
             (ItemsMapping([("pos",)]), items), (ItemsMapping([["pos", "x"]]), items)]
    for package, message in cases:
        with pytest.raises(TypeError) as info:
            Pipeline("en", "tokenize,pos", package=package)
        assert str(info.value) == message


def test_native_construction_refusals_in_order():
    cases = [
        (dict(lang=""), "a pipeline language is required"),
        (dict(lang="", package=""), "a pipeline language is required"),
        (dict(package=""), "a pipeline package cannot be empty"),
        (dict(resources_version=""), "a pipeline resources version cannot be empty"),
        (dict(processors="pos,tokenize,pos"), "a processor may only appear once in a pipeline: "
                                              "'pos'"),
        (dict(processors="bogus,bogus"), "a processor may only appear once in a pipeline: 'bogus'"),
        (dict(processors="tokenize", package={"pos": "x"}),
         "package was specified for unrequested processor: 'pos'"),
        (dict(processors="tokenize,pos", package={"tokenize": "x", "pos": ""}),
         "package for processor 'pos' cannot be empty"),
        (dict(processors="depparse,bogus"), "unknown processor: 'bogus'"),
    ]
    for kwargs, message in cases:
        kwargs.setdefault("lang", "en")
        with pytest.raises(ValueError) as info:
            Pipeline(**kwargs)
        assert type(info.value) is ValueError
        assert str(info.value) == message


def test_requirements_are_checked_after_every_processor_is_built():
    cases = [("tokenize,depparse", "processor 'depparse' is missing requirements: pos, lemma"),
             ("lemma,tokenize", "processor 'lemma' is missing requirements: tokenize"),
             ("tokenize,constituency,pos", "processor 'constituency' is missing requirements: pos")]
    for processors, message in cases:
        with pytest.raises(ProcessorRequirementsError) as info:
            Pipeline("en", processors)
        assert isinstance(info.value, ValueError)
        assert str(info.value) == message


def test_typed_arguments_are_strict():
    refused = [dict(lang=b"en"), dict(lang=None), dict(verify_model_checksums=1),
               dict(resources_version=None), dict(model_dir=3), dict(langid_lang_subset="en"),
               dict(langid_lang_subset=["en", 1]), dict(processors="tokenize", bogus=1)]
    for kwargs in refused:
        kwargs.setdefault("lang", "en")
        with pytest.raises(TypeError):
            Pipeline(**kwargs)
    assert names(Pipeline("en", "langid", langid_lang_subset=("en", "fr"))) == ["langid"]


def test_model_directory(tmp_path):
    write_index(tmp_path, [{"processor": "constituency", "package": "wsj", "path": "con"}])
    for form in (tmp_path, str(tmp_path), bytes(tmp_path)):
        pipeline = Pipeline("en", None, model_dir=form)
        assert pipeline.model_dir == tmp_path and isinstance(pipeline.model_dir, pathlib.Path)
        assert pipeline.processors == []

    with pytest.raises(_velmora.ModelBundleError) as info:
        Pipeline("en", "tokenize,constituency", package={"constituency": "ptb"},
                 model_dir=tmp_path)
    assert str(info.value) == "no converted bundle for en/tokenize/default"
    with pytest.raises(_velmora.ModelBundleError) as info:
        Pipeline("en", "constituency", package="ptb", model_dir=tmp_path)
    assert str(info.value) == "no converted bundle for en/constituency/ptb"
    # Found in the index: the bundle reader then refuses the missing
    # directory.
    with pytest.raises(_velmora.ModelBundleError) as info:
        Pipeline("en", "constituency", package={"constituency": "wsj"}, model_dir=tmp_path)
    assert str(info.value) == ("model bundle is not a directory: "
                               f"{tmp_path / '1.14.0' / 'en' / 'con'}")
    with pytest.raises(_velmora.ModelBundleError):
        Pipeline("en", "tokenize", model_dir=tmp_path / "elsewhere")


def test_processing_overloads():
    pipeline = Pipeline("en", None)
    doc = pipeline.process("Hello world.")
    assert isinstance(doc, Document) and doc.text == "Hello world."
    given = Document("Given text.")
    for call in (pipeline.process, pipeline):
        result = call(given)
        assert result is not given and result == given
        texts = call(["a", "bé"])
        assert [d.text for d in texts] == ["a", "bé"]
        docs = call((given, doc))
        assert docs[0] == given and docs[1] == doc
        assert call([]) == []
    for call in (pipeline.bulk_process, pipeline.process_many):
        assert [d.text for d in call(("x", "y"))] == ["x", "y"]
        assert call([given])[0] == given
        with pytest.raises(TypeError):
            call("x")
        with pytest.raises(TypeError):
            call(given)

    refused = [lambda: pipeline.process(["a", given]), lambda: pipeline.process(b"x"),
               lambda: pipeline.process(None), lambda: pipeline.process(text="x"),
               lambda: pipeline("\ud800")]
    for call in refused:
        with pytest.raises(TypeError):
            call()


def test_processing_reaches_the_processors():
    pipeline = Pipeline("en")
    message = "the 'tokenize' processor is registered but native inference is not implemented"
    for call in (lambda: pipeline("text"), lambda: pipeline.process(Document("x")),
                 lambda: pipeline.bulk_process(["a", "b"]), lambda: pipeline([Document()])):
        with pytest.raises(ProcessorNotImplementedError) as info:
            call()
        assert str(info.value) == message
    assert pipeline.bulk_process([]) == []


def test_processing_releases_the_interpreter_lock():
    # The processors without models refuse at once, so the only native work
    # long enough to watch is building the document over a large text. ASCII
    # text needs no encoding while the lock is still held.
    pipeline = Pipeline("en", None)

    def make_call(scale):
        text = "Some text. " * (250_000 * scale)
        return lambda: pipeline.process(text)

    assert_releases_lock(make_call)
