"""The fixture generator's cache key (tools/fixtures/generate.py): a fixture
made without the shared data, or on another CPU, is never reused."""

import pathlib
import sys

import pytest

FIXTURES = pathlib.Path(__file__).resolve().parents[2] / "tools" / "fixtures"


@pytest.fixture
def generate(monkeypatch, tmp_path):
    monkeypatch.syspath_prepend(str(FIXTURES))
    import generate

    # The key reads the torch version from the package metadata; this
    # interpreter need not have torch.
    monkeypatch.setattr(generate.importlib.metadata, "version", lambda name: "2.13.0")
    monkeypatch.setitem(generate.DATA_FILES, "EWT_DEV", tmp_path / "treebank.conllu")
    generate.data_state.cache_clear()
    yield generate
    generate.data_state.cache_clear()
    sys.modules.pop("generate", None)


def test_key_follows_the_data_a_module_reads_and_the_cpu(generate, monkeypatch, tmp_path):
    def keys():
        generate.data_state.cache_clear()
        return generate.module_key("langid"), generate.module_key("bundle")

    absent = keys()
    (tmp_path / "treebank.conllu").write_text("# text = a\n1\ta\n")
    present = keys()
    (tmp_path / "treebank.conllu").write_text("# text = b\n1\tb\n")
    changed = keys()
    # The language identifier reads the treebank; the bundle fixtures do not.
    assert len({absent[0], present[0], changed[0]}) == 3
    assert absent[1] == present[1] == changed[1]

    monkeypatch.setattr(generate, "cpu_flags", lambda: "fpu sse sse2")
    other_cpu = keys()
    assert other_cpu[0] != changed[0] and other_cpu[1] != changed[1]


def test_a_module_building_another_ones_output_waits_for_it(generate):
    assert generate.dependencies("coref") == {"transformer"}
    assert generate.dependencies("transformer") == set()
