"""The fixture generator (tools/fixtures/generate.py): its cache key, by
which a fixture made without the shared data, or on another CPU, is never
reused; the build, which brings a tree's fixtures in line with that key;
and a stop, which ends its workers and leaves nothing of what they were
making."""

import contextlib
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from conftest import TORCH_PYTHON, default_signals, session, session_process

FIXTURES = pathlib.Path(__file__).resolve().parents[2] / "tools" / "fixtures"


@pytest.fixture
def generate(monkeypatch, tmp_path):
    monkeypatch.syspath_prepend(str(FIXTURES))
    import generate

    # The key reads the torch version from the package metadata; this
    # interpreter need not have torch.
    monkeypatch.setattr(generate, "torch_version", lambda: "2.13.0")
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


PROBE = """from ud_data import EWT_DEV


def generate(out_dir):
    (out_dir / "made_from").write_text(EWT_DEV.read_text() if EWT_DEV.exists() else "nothing")
"""


def test_a_build_tree_follows_the_data_its_fixtures_read(tmp_path):
    # A checkout of the build rule and the generator alone, whose one module
    # reads the treebank of the ../shared/data beside it: the data comes,
    # changes and goes between builds of one tree.
    cmake = shutil.which("cmake")
    if not TORCH_PYTHON.exists() or cmake is None or shutil.which("ninja") is None:
        pytest.skip(f"no fixture-generating interpreter at {TORCH_PYTHON}, or no cmake and ninja")
    checkout = tmp_path / "checkout"
    (checkout / "tools" / "models").mkdir(parents=True)
    shutil.copy(FIXTURES.parent / "CMakeLists.txt", checkout / "tools")
    shutil.copy(FIXTURES.parent / "arguments.py", checkout / "tools")
    shutil.copy(FIXTURES.parent / "models" / "stops.py", checkout / "tools" / "models")
    shutil.copytree(FIXTURES, checkout / "tools" / "fixtures",
                    ignore=shutil.ignore_patterns("gen_*.py", "__pycache__"))
    (checkout / "tools" / "fixtures" / "gen_probe.py").write_text(PROBE)
    (checkout / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.24)\nproject(probe NONE)\n"
        f'set(VELMORA_TORCH_PYTHON "{TORCH_PYTHON}")\n'
        f'set(VELMORA_CACHE_DIR "{tmp_path / "cache"}")\nadd_subdirectory(tools)\n')
    treebank = tmp_path / "shared" / "data" / "ud-en-ewt" / "en_ewt-ud-dev.conllu"
    env = {**os.environ, "TMPDIR": str(tmp_path)}
    subprocess.run([cmake, "-S", checkout, "-B", tmp_path / "build", "-G", "Ninja"], env=env,
                   check=True, capture_output=True)

    def build():
        done = subprocess.run([cmake, "--build", tmp_path / "build"], env=env, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        assert done.returncode == 0, done.stdout
        made = (tmp_path / "build" / "fixtures" / "probe" / "made_from").read_text()
        return made, "probe: generated" in done.stdout

    assert build() == ("nothing", True)
    treebank.parent.mkdir(parents=True)
    treebank.write_text("# text = a\n")
    assert build() == ("# text = a\n", True)
    treebank.write_text("# text = b\n")
    assert build() == ("# text = b\n", True)
    # Gone again: what was made without it is in the cache, and linked back.
    treebank.unlink()
    assert build() == ("nothing", False)
    assert build() == ("nothing", False)


def test_a_module_building_another_ones_output_waits_for_it(generate):
    assert generate.dependencies("coref") == {"transformer"}
    assert generate.dependencies("transformer") == set()


def test_a_stop_ends_the_workers_and_leaves_nothing(tmp_path):
    # The generator's test hook holds the worker of the harness module in
    # it, its work folder made, waiting on a child that stands for a
    # compiler. The runs, each with a cache and a temporary folder of its
    # own, go at once.
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no fixture-generating interpreter at {TORCH_PYTHON}")
    runs = {}
    try:
        for stop, whom in [(signal.SIGTERM, "alone"), (signal.SIGTERM, "group"),
                           (signal.SIGINT, "group")]:
            folder = tmp_path / f"{stop.name}-{whom}"
            (folder / "tmp").mkdir(parents=True)
            env = {**os.environ, "TMPDIR": str(folder / "tmp"), "VELMORA_FIXTURE_HOLD": "harness"}
            with open(folder / "output", "w") as output:
                runs[stop, whom, folder] = subprocess.Popen(
                    [str(TORCH_PYTHON), str(FIXTURES / "generate.py"), "--out",
                     str(folder / "out"), "--cache", str(folder / "cache"), "--only", "harness"],
                    stdout=output, stderr=output, env=env, start_new_session=True,
                    preexec_fn=default_signals)
        for (stop, whom, folder), child in runs.items():
            deadline = time.monotonic() + 120
            while not session_process(child.pid, b"sleep", b"infinity"):
                assert child.poll() is None, (folder / "output").read_text()
                assert time.monotonic() < deadline
                time.sleep(0.01)
            if whom == "group":
                os.killpg(child.pid, stop)
            else:
                child.send_signal(stop)
        for (stop, whom, folder), child in runs.items():
            status = child.wait(timeout=60)
            assert session(child.pid) == [], (stop, whom)  # the worker and its compiler too
            output = (folder / "output").read_text()
            if stop == signal.SIGINT:
                assert (status, output) == (
                    130, "generate: interrupted; the next run generates what is missing\n")
            else:
                assert (status, output) == (-stop, ""), (whom, output)
            assert list((folder / "tmp").iterdir()) == [], (stop, whom)
            # No work folder nor entry of the module: its lock alone.
            left = [path.name for path in (folder / "cache").iterdir()]
            assert len(left) == 1 and re.fullmatch(r"\.harness-\w{16}\.lock", left[0]), left
    finally:
        for child in runs.values():
            for pid in session(child.pid):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            child.wait()
