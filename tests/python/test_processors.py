import pytest

import _velmora
from _velmora import (Document, LangIDProcessor, Processor, ProcessorNotImplementedError,
                      SentimentProcessor, TokenizeProcessor)

# Registry name of every processor class, in registration order.
CLASSES = [
    ("LangIDProcessor", "langid"), ("TokenizeProcessor", "tokenize"), ("MWTProcessor", "mwt"),
    ("POSProcessor", "pos"), ("LemmaProcessor", "lemma"), ("DepparseProcessor", "depparse"),
    ("NERProcessor", "ner"), ("SentimentProcessor", "sentiment"),
    ("ConstituencyProcessor", "constituency"), ("CorefProcessor", "coref"),
    ("MorphSegProcessor", "morphseg"),
]


def test_classes_follow_processor_and_precede_pipeline():
    names = list(vars(_velmora))
    order = ["TreeSequence", "Processor", *(cls for cls, _ in CLASSES), "Pipeline"]
    assert [n for n in names if n in order] == order
    for cls, _ in CLASSES:
        assert getattr(_velmora, cls).__bases__ == (Processor,)
    with pytest.raises(TypeError):
        Processor()


def test_model_less_processors_match_the_registry():
    specs = _velmora.processor_specs()
    for cls, name in CLASSES:
        processor = getattr(_velmora, cls)()
        assert isinstance(processor, Processor)
        assert processor.name == name
        assert processor.requires == specs[name]["requires"]
        assert processor.provides == [name]
        assert processor.module == specs[name]["module"]
        assert processor.implemented is False
        assert processor.bundle_path is None
        assert repr(processor) == f"<{name} processor implemented=False>"
    assert LangIDProcessor().lang_subset == []

    lemma = _velmora.LemmaProcessor()
    lemma.requires.append("pos")
    lemma.provides.clear()
    assert lemma.requires == ["tokenize"] and lemma.provides == ["lemma"]
    for attribute in ("extra", "name"):
        with pytest.raises(AttributeError):
            setattr(lemma, attribute, "pos")


def test_processing_without_a_model_refuses():
    doc = Document("Hello there.")
    for cls, name in CLASSES:
        processor = getattr(_velmora, cls)()
        message = f"the '{name}' processor is registered but native inference is not implemented"
        for call in (processor.process, processor, lambda d: processor.bulk_process([d])):
            with pytest.raises(ProcessorNotImplementedError) as info:
                call(doc)
            assert str(info.value) == message
            assert isinstance(info.value, NotImplementedError)
        assert processor.bulk_process([]) == []
        assert processor.bulk_process(()) == []
    # The document is left as it was.
    assert doc.text == "Hello there." and len(doc.sentences) == 0


def test_processing_arguments_are_strict():
    processor = SentimentProcessor()
    doc = Document("x")
    refused = [
        lambda: processor.process("x"), lambda: processor("x"),
        lambda: processor.process(None), lambda: processor.bulk_process(doc),
        lambda: processor.bulk_process("ab"), lambda: processor.bulk_process([doc, "x"]),
        lambda: processor.process(document=doc), lambda: TokenizeProcessor(1),
    ]
    for call in refused:
        with pytest.raises(TypeError):
            call()
