"""A model build that fails for want of space ends with one line that names
the folder whose file system is full, whatever error the space ran out under
(the compiler's wraps the one that stopped it), and leaves nothing of the
bundle it was building."""

import os
import pathlib
import subprocess

import pytest

from conftest import TORCH_PYTHON, run_child

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILDER = ROOT / "tools" / "models" / "build_models.py"

# The builder asked for the coref bundle, with a stand-in for the coref
# bundle's module whose build, in its cached directory's work folder, goes
# as the arguments say: "compiler" as the compiler fails when a write finds
# the device full (the write's error, which names no file, kept inside its
# own); "package" as the coref bundle's package is compiled, at a small size
# (64 MiB of weights); otherwise with a quota error naming the file given,
# the cause of another error.
# Then it prints what the build left in the cache other than folders and
# their locks: work folders, bundles, files.
STANDIN = r"""
import errno, os, pathlib, sys, types
sys.path[:0] = [sys.argv[1]]
import build_models
how, cache = sys.argv[2], pathlib.Path(sys.argv[4])

def package(work):
    sys.path.insert(0, str(build_models.FIXTURES))
    import torch
    from aot_package import compile_package

    exported = torch.export.export(torch.nn.Linear(4096, 4096, bias=False),
                                   (torch.zeros(1, 4096),))
    # Quick to compile: the wrapper's headers not precompiled, nor optimised.
    compile_package(exported, work / "encoder.pt2", {
        "aot_inductor.precompile_headers": False, "aot_inductor.compile_wrapper_opt_level": "O0"})

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
    build = package if how == "package" else fail
    build_models.cached_directory(target, build, force=force, quiet=quiet)
    return target / "coref"

sys.modules["coref_bundle"] = types.SimpleNamespace(bundle_dir=bundle_dir)
sys.argv[1:] = sys.argv[3:]
try:
    build_models.main()
finally:
    left = [str(p) for p in cache.rglob("*")
            if p.suffix != ".lock" and (p.is_file() or p.name.startswith((".", "coref")))]
    if left:
        print("left:", *left)
"""


def build(how, cache, tmp_path, prefix=()):
    """Runs the stand-in build (through `prefix`) with a temporary folder of
    its own, which the compiler's import fills; its outcome."""
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    temporary = tmp_path / "tmp"
    temporary.mkdir(exist_ok=True)
    return run_child(
        [*prefix, str(TORCH_PYTHON), "-c", STANDIN, str(BUILDER.parent), how, "--cache",
         str(cache), "--quiet", "--processors", "coref"],
        {**os.environ, "OMP_WAIT_POLICY": "PASSIVE", "TMPDIR": str(temporary)}, 300)


def failed(said):
    return 1, "", f"build_models: building the coref bundle failed: {said}\n"


def test_a_full_device_is_named_by_its_folder(tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    cache = tmp_path / "cache"
    for how, said in [
            # The work folder written in is gone: the cache's models folder,
            # which held it, is named.
            ("compiler", f"no space left on device in {cache / 'models'}"),
            (str(elsewhere / "tensors.bin"), f"disk quota exceeded in {elsewhere}")]:
        assert build(how, cache, tmp_path) == failed(said), how


def test_a_device_filled_by_a_package_is_named_by_its_folder(tmp_path):
    # The cache on a file system of 100 MiB, mounted in a mount namespace of
    # the build's own (and a user namespace, for a user other than root): it
    # holds what the compiler writes (the weights among it), not that and
    # the package of them as well.
    cache = tmp_path / "cache"
    cache.mkdir()
    prefix = ["unshare", "--mount"] if os.geteuid() == 0 else [
        "unshare", "--user", "--map-root-user", "--mount"]
    prefix += ["sh", "-c", 'mount -t tmpfs -o size=100m tmpfs "$0" && exec "$@"', str(cache)]
    try:
        probe = subprocess.run([*prefix, "true"], capture_output=True, timeout=60)
    except FileNotFoundError:
        probe = None
    if probe is None or probe.returncode:
        pytest.skip("no tmpfs can be mounted here (it needs root or user namespaces)")
    assert build("package", cache, tmp_path, prefix) == failed(
        f"no space left on device in {cache / 'models'}")
