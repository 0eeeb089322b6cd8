"""However the commands are started (through links to a script or to its
folder, by `sh`), they run the checkout that holds them under bash; a set-up
that fails ends every script with set-up's own line; and the death tests,
whose children end without running destructors, leave nothing in the
temporary folder."""

import os
import pathlib
import re
import shutil
import signal
import subprocess

import pytest

import _velmora
from conftest import run_child

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOLS = ROOT / "tools"
# Every script that runs set-up, with arguments that get it past its own checks.
SET_UP_FIRST = {"main.sh": ["Text."], "test.sh": [], "build.sh": [], "sanitize.sh": [],
                "fuzz.sh": ["1"], "clang_check.sh": []}
NO_PYTHON = "[setup] no CPython 3.12 found\n"


@pytest.fixture
def failing_set_up(tmp_path):
    """An environment in which set-up fails at once, installing nothing: its
    cache holds a torch environment whose interpreter passes every check by
    doing nothing, and no 3.12 one, which neither PATH nor PYENV_ROOT can
    make. The build folders it names must stay unmade."""
    search = "/usr/bin:/bin"
    if shutil.which("python3.12", path=search):
        pytest.skip(f"a CPython 3.12 is on {search}")
    python = tmp_path / "cache" / "venv-torch" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text("#!/bin/sh\nexit 0\n")
    python.chmod(0o755)
    cache = python.parents[2]
    return {**os.environ, "PATH": search, "PYENV_ROOT": str(tmp_path / "no-pyenv"),
            "VELMORA_CACHE": str(cache), "BUILD_DIR": str(tmp_path / "build"),
            "SANITIZE_BUILD_DIR": str(tmp_path / "build"),
            "FUZZ_BUILD_DIR": str(tmp_path / "build")}


def run_all(commands, env, cwd=None):
    """Runs every command of the dict at once; their (status, stdout,
    stderr) under the same keys."""
    started = {key: subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     start_new_session=True)
               for key, command in commands.items()}
    results = {}
    try:
        for key, child in started.items():
            out, err = child.communicate(timeout=300)
            results[key] = (child.returncode, out, err)
    finally:
        for child in started.values():
            if child.poll() is None:
                os.killpg(child.pid, signal.SIGKILL)
                child.communicate()
    return results


def test_a_failed_set_up_ends_every_script_with_its_own_line(failing_set_up, tmp_path):
    commands = {name: ["bash", str(TOOLS / name), *args] for name, args in SET_UP_FIRST.items()}
    for key, result in run_all(commands, failing_set_up).items():
        assert result == (1, "", NO_PYTHON), key
    assert not (tmp_path / "build").exists()


def test_links_to_a_script_or_its_folder_run_the_checkout_that_holds_it(failing_set_up,
                                                                         tmp_path):
    # A link in another folder, beside a tools/build.sh that must not run; a
    # chain of two links (the second relative); a link to tools/.
    (tmp_path / "tools").mkdir()
    (tmp_path / "tools" / "build.sh").write_text("echo 'the wrong checkout' >&2\nexit 3\n")
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    (bin_folder / "velmora").symlink_to(TOOLS / "main.sh")
    (bin_folder / "again").symlink_to("velmora")
    (tmp_path / "tools-link").symlink_to(TOOLS, target_is_directory=True)
    commands = {}
    for link in (bin_folder / "velmora", bin_folder / "again"):
        commands[f"bash {link.name}"] = ["bash", str(link), "Text."]
        commands[link.name] = [str(link), "Text."]
    for name, args in SET_UP_FIRST.items():
        commands[f"tools-link/{name}"] = ["bash", str(tmp_path / "tools-link" / name), *args]
    for key, result in run_all(commands, failing_set_up, cwd=tmp_path).items():
        assert result == (1, "", NO_PYTHON), key
    assert not (tmp_path / "build").exists()


def test_sh_runs_the_commands_under_bash(failing_set_up, tmp_path):
    # dash would stop at bash's first option with status 2, which stands for
    # a bad argument.
    runs = run_all({"help": ["sh", str(TOOLS / "main.sh"), "--help"],
                    "bash help": ["bash", str(TOOLS / "main.sh"), "--help"],
                    "main.sh": ["sh", str(TOOLS / "main.sh"), "Text."],
                    "test.sh": ["sh", str(TOOLS / "test.sh")]}, failing_set_up)
    assert runs["help"] == runs["bash help"] and runs["help"][0] == 0
    assert runs["help"][1].startswith("usage: bash tools/main.sh")
    assert runs["main.sh"] == runs["test.sh"] == (1, "", NO_PYTHON)
    # Read from standard input, the script is not a file bash could be given.
    for name in ("main.sh", "test.sh"):
        with open(TOOLS / name, "rb") as script:
            run = subprocess.run(["sh"], stdin=script, capture_output=True, text=True,
                                 timeout=60, env=failing_set_up, cwd=tmp_path)
        assert (run.returncode, run.stdout) == (1, ""), name
        assert run.stderr == f"{name}: run it with bash: bash tools/{name}" + (
            " [OPTION ...] [TEXT ...]\n" if name == "main.sh" else "\n")


def test_death_tests_leave_nothing_in_the_temporary_folder(tmp_path):
    # The threadsafe style runs a test again in a child, which ends without
    # running destructors: whatever that run made, it must remove itself.
    build = pathlib.Path(_velmora.__file__).resolve().parent.parent
    binaries = sorted((build / "tests").glob("velmora_*_tests"))
    if not binaries:
        pytest.skip(f"no C++ test binaries in {build / 'tests'}")
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    env = {**os.environ, "TMPDIR": str(temporary), "OMP_NUM_THREADS": "1"}
    ran = 0
    for binary in binaries:
        code, out, err = run_child([str(binary), "--gtest_filter=*DeathTest*.*"], env, 600)
        assert code == 0, out + err
        ran += sum(int(n) for n in re.findall(r"^\[ +PASSED +\] (\d+) test", out, re.M))
    assert ran > 0, "no death test ran"
    assert sorted(p.name for p in temporary.iterdir()) == []
