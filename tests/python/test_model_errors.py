"""A model build that fails for want of space ends with one line that names
the folder whose file system is full, whatever error the space ran out under
(the compiler's wraps the one that stopped it)."""

import os
import pathlib

import pytest

from conftest import TORCH_PYTHON, run_child

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILDER = ROOT / "tools" / "models" / "build_models.py"

# The builder asked for the coref bundle, with a stand-in for the coref
# bundle's module whose build, in its cached directory's work folder, fails
# as the arguments say: "compiler" as the compiler fails when a write finds
# the device full (the write's error, which names no file, kept inside its
# own); otherwise with a quota error naming the file given, the cause of
# another error.
FAILING = r"""
import errno, os, pathlib, sys, types
sys.path[:0] = [sys.argv[1]]
import build_models
how = sys.argv[2]

def fail(work):
    if how == "compiler":
        from torch._inductor.exc import InductorError
        try:
            with open(work / "kernel.so", "wb") as out:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        except OSError as error:
            raise InductorError(error, None) from None
    try:
        raise OSError(errno.EDQUOT, os.strerror(errno.EDQUOT), how)
    except OSError as error:
        raise RuntimeError("the weights were not written") from error

def bundle_dir(cache, force=False, quiet=False):
    target = pathlib.Path(cache) / "models" / "coref-standin"
    build_models.cached_directory(target, fail, force=force, quiet=quiet)
    return target / "coref"

sys.modules["coref_bundle"] = types.SimpleNamespace(bundle_dir=bundle_dir)
sys.argv[1:] = sys.argv[3:]
build_models.main()
"""


def test_a_full_device_is_named_by_its_folder(tmp_path):
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    cache = tmp_path / "cache"
    for how, said in [
            # The work folder written in is gone: the cache's models folder,
            # which held it, is named.
            ("compiler", f"no space left on device in {cache / 'models'}"),
            (str(elsewhere / "tensors.bin"), f"disk quota exceeded in {elsewhere}")]:
        code, out, err = run_child(
            [str(TORCH_PYTHON), "-c", FAILING, str(BUILDER.parent), how, "--cache", str(cache),
             "--quiet", "--processors", "coref"],
            {**os.environ, "OMP_WAIT_POLICY": "PASSIVE"}, 300)
        assert (code, out, err) == (
            1, "", f"build_models: building the coref bundle failed: {said}\n"), how
        assert not [p for p in cache.rglob(".*") if p.is_dir()]  # no work folder left
