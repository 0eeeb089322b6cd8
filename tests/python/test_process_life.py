"""A Ctrl-C during the import, an exit with a call still running in a daemon
thread and a fork while other threads are inside calls: each ends as Python
code expects, never with a signal or a hang. Every case runs in child
processes with timeouts."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest
from conftest import ALL_BUNDLES, DEFAULT_BUNDLES, run_child
from process_life_probe import FORKED_CALL, FORKED_DOCUMENT

PROBE = pathlib.Path(__file__).with_name("process_life_probe.py")
TRIALS = 20

IMPORT = r"""
import signal, sys
print("ready", flush=True)
try:
    import _velmora
    outcome = "imported"
except KeyboardInterrupt:
    # Nothing of the interrupted import is left to trip over.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    import _velmora
    try:
        _velmora.Pipeline("en", "tokenize", model_dir="/nonexistent")
    except _velmora.ModelBundleError:
        outcome = "interrupted"
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(outcome, flush=True)
"""


def interrupted_import(delay):
    child = subprocess.Popen([sys.executable, "-c", IMPORT], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.communicate()
    return child.returncode, out.strip(), err


def test_an_interrupted_import_raises_keyboard_interrupt_or_completes():
    # The import's duration as this machine runs it, from a whole one.
    start = time.monotonic()
    code, _, err = run_child([sys.executable, "-c", "import _velmora"], dict(os.environ), 120)
    assert code == 0, err
    duration = time.monotonic() - start
    outcomes = []
    for k in range(40):
        code, out, err = interrupted_import(duration * k / 40)
        assert code == 0 and out in ("interrupted", "imported") and err == "", (k, code, out, err)
        outcomes.append(out)
    # The signal landed in the import, and after it.
    assert "interrupted" in outcomes and "imported" in outcomes, outcomes


@pytest.fixture(scope="module")
def bundles(fixture_dir):
    for relative in ALL_BUNDLES.values():
        if not (fixture_dir / relative).is_dir():
            pytest.skip(f"fixture bundle missing: {fixture_dir / relative}")
    return json.dumps({name: str(fixture_dir / path) for name, path in ALL_BUNDLES.items()})


@pytest.mark.parametrize("form", ["document", "bulk", "text"])
def test_the_process_exits_at_once_while_a_daemon_thread_calls(form, bundles, model_dir):
    models = model_dir(DEFAULT_BUNDLES)
    env = dict(os.environ, OMP_NUM_THREADS="3")
    for trial in range(TRIALS):
        # The process's own status, not 0, which a lost one would give too.
        status = 3 + trial % 2
        code, out, err = run_child([sys.executable, str(PROBE), "exit", form, bundles,
                                    str(models), str(status)], env, 120)
        ended = time.monotonic()
        assert (code, err) == (status, ""), (trial, code, err[-3000:])
        leaving, called = out.split("\n", 1)
        assert ended - float(leaving) < 2.0, (trial, ended - float(leaving))
        # The exit's own thread still calls as usual.
        assert called == "called at exit\n", (trial, out)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="gcc 12's address sanitizer runtime does not hold its allocator's "
                    "locks across fork: a child forked while other threads allocate can hang in "
                    "it, in the interpreter's own after-fork code")
def test_a_child_forked_during_calls_runs_or_refuses_at_once(bundles):
    code, out, err = run_child([sys.executable, str(PROBE), "fork", bundles, str(TRIALS)],
                               dict(os.environ, OMP_NUM_THREADS="3"), 900)
    assert code == 0, err[-3000:]
    children = json.loads(out)["children"]
    assert len(children) == TRIALS
    refused = 0
    for child in children:
        # A child that hangs is killed, with no report.
        assert child["status"] == 0 and child["report"], child
        report = child["report"]
        assert report["call"] in (["done", True], ["refused", FORKED_CALL]), report
        assert report["load"] == report["call"], report
        assert all(d[0] == "done" or d == ["refused", FORKED_DOCUMENT]
                   for d in report["documents"]), report
        refused += report["call"][0] == "refused"
    # Three threads calling without a pause: a fork nearly always meets one.
    assert refused > 0, children
