"""The fixture generator (tools/fixtures/generate.py): its cache key, by
which a fixture made without the shared data, or on another CPU, is never
reused; and a stop, which ends its workers and leaves nothing of what they
were making."""

import contextlib
import os
import pathlib
import re
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
