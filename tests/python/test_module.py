import _velmora


def test_module_imports_with_version():
    assert _velmora.__version__ == "0.1.0"
    assert _velmora.__doc__ == "Native components of Velmora."
