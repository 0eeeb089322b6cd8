"""A package compile writes only in the folder of its caller's work: the
temporary folder it was given stays empty whether the compile ends well or
is killed while the C++ compiler runs, so that removing the work folder, as
the builders and the main command do, leaves nothing behind."""

import os
import pathlib
import signal
import subprocess
import time

import pytest

from conftest import TORCH_PYTHON

ROOT = pathlib.Path(__file__).resolve().parents[2]

# The model builder's coreference bundle at a tiny size, built as the
# builder builds it: in a work folder beside its cached place, named in the
# progress file.
BUILD = r"""
import pathlib, sys
sys.path.insert(0, sys.argv[1])
import build_models, coref_bundle
build_models.progress_file = pathlib.Path(sys.argv[3])
sentences = build_models.fallback_corpus()
texts = build_models.documents(sentences)
tiny = {"layers": 1, "hidden": 16, "heads": 2, "feed_forward": 32, "vocabulary": 300,
        "max_length": 512}
build_models.cached_directory(
    pathlib.Path(sys.argv[2]) / "coref-tiny",
    lambda work: coref_bundle.build_coref(work / "coref", sentences, texts, sizes=tiny),
    quiet=True)
"""


@pytest.fixture
def build(tmp_path):
    """Starts the build in a session of its own, with an empty temporary
    folder; (process, temporary folder, cache folder, progress file)."""
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    temporary, cache, progress = tmp_path / "tmp", tmp_path / "models", tmp_path / "progress"
    temporary.mkdir()
    env = {**os.environ, "TMPDIR": str(temporary), "OMP_NUM_THREADS": "1"}
    env.pop("TORCHINDUCTOR_CACHE_DIR", None)
    child = subprocess.Popen([str(TORCH_PYTHON), "-c", BUILD, str(ROOT / "tools" / "models"),
                              str(cache), str(progress)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True)
    yield child, temporary, cache, progress
    if child.poll() is None:
        os.killpg(child.pid, signal.SIGKILL)
    child.communicate()


def compiler_running(leader):
    """Whether a C++ compiler runs in the session `leader` started."""
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            name, rest = stat.read_text().split(" (", 1)[1].rsplit(")", 1)
        except OSError:  # ended meanwhile
            continue
        if int(rest.split()[3]) == leader and name in ("cc1plus", "as", "ld"):
            return True
    return False


def test_a_build_leaves_only_its_bundle(build):
    child, temporary, cache, _ = build
    _, stderr = child.communicate(timeout=600)
    assert child.returncode == 0, stderr.decode()
    assert sorted(p.name for p in temporary.iterdir()) == []
    assert sorted(p.name for p in cache.iterdir()) == [".coref-tiny.lock", "coref-tiny"]
    assert sorted(p.name for p in (cache / "coref-tiny").iterdir()) == [
        ".complete", "coref", "encoder_check.json"]


def test_a_build_killed_while_the_compiler_runs_leaves_all_in_its_work_folder(build):
    child, temporary, cache, progress = build
    deadline = time.monotonic() + 600
    while not compiler_running(child.pid):
        assert child.poll() is None, child.communicate()[1].decode()
        assert time.monotonic() < deadline, "the compiler never ran"
        time.sleep(0.01)
    os.killpg(child.pid, signal.SIGKILL)  # as a builder and what it runs die
    child.communicate(timeout=60)
    assert sorted(p.name for p in temporary.iterdir()) == []
    # All but the lock is in the folders the progress file names.
    [work] = progress.read_text().splitlines()[1:]
    assert [p.name for p in pathlib.Path(work).iterdir() if p.name.startswith(".scratch-")]
    assert sorted(p.name for p in cache.iterdir()) == sorted([".coref-tiny.lock",
                                                              pathlib.Path(work).name])
