"""How the main command ends: bad arguments, text that is not UTF-8, a failed
call, a closed pipe, streams that cannot be read or written, an interrupt,
SIGTERM, SIGHUP and SIGQUIT, a killed build, a damaged model cache, one that
cannot be written and an environment without HOME each end with one line on
standard error (none after SIGHUP), no traceback, and the documented exit
status; cache folders whose names the shell would split or expand are taken
as they are."""

import contextlib
import fcntl
import io
import json
import os
import pathlib
import pty
import re
import shutil
import signal
import subprocess
import sys
import termios
import time

import pytest

import _velmora
from conftest import (CACHE, DEFAULT_BUNDLES, TORCH_PYTHON, as_another_user, default_signals,
                      run_child, session, session_process, ud_validator, write_model_index,
                      write_right_taken)

ROOT = pathlib.Path(__file__).resolve().parents[2]
MAIN = ROOT / "tools" / "main.sh"
ANNOTATE = ROOT / "tools" / "annotate.py"
BUILDER = ROOT / "tools" / "models" / "build_models.py"
TIMING = re.compile(r"(1 word|(?!1 )\d+ words) in (1 sentence|(?!1 )\d+ sentences): "
                    r".* words per second")


def annotate(*args, stdin=b""):
    return subprocess.run([sys.executable, str(ANNOTATE), *args], input=stdin,
                          capture_output=True, timeout=300)


def only_line(stderr):
    """The one line of `stderr`, which must hold no traceback."""
    text = stderr.decode("utf-8", "replace")
    assert "Traceback" not in text, text
    lines = text.splitlines()
    assert len(lines) == 1, text
    return lines[0]


@pytest.fixture(scope="module")
def models(fixture_dir, tmp_path_factory):
    return str(write_model_index(tmp_path_factory.mktemp("models"), fixture_dir, DEFAULT_BUNDLES))


def test_bad_arguments_end_with_status_2_before_any_model_loads():
    # No model directory exists: a check made after loading would fail with 1.
    missing = ["--model-dir", "/nonexistent/models"]
    for args, message in [
            (["--processors", ""], "annotate: argument --processors: names no processor: ''"),
            (["--processors", " , ,"], "names no processor"),
            (["--processors"], "argument --processors: expected one argument"),
            (["--threads", "two"], "argument --threads: invalid int value: 'two'"),
            (["--threads", "0"], "annotate: argument --threads: not a positive integer: '0'"),
            (["--threads", "-1"], "argument --threads: not a positive integer: '-1'"),
            (["--threads", "257"], "annotate: argument --threads: more than 256 threads: '257'"),
            # ASCII digits alone: no blanks, underscores or digits of other scripts.
            (["--threads", "4 "], "argument --threads: invalid int value: '4 '"),
            (["--threads", "1_0"], "argument --threads: invalid int value: '1_0'"),
            (["--threads", "\u0664"], "argument --threads: invalid int value: '\u0664'"),
            (["--processors", "tokenize,foo"],
             "annotate: argument --processors: unknown processor: 'foo'"),
            (["--processors", "tokenize,pos,pos"],
             "argument --processors: a processor may only appear once in a pipeline: 'pos'"),
            (["--processors", "tokenize,depparse"],
             "argument --processors: processor 'depparse' is missing requirements: pos, lemma"),
            (["--bogus"], "unrecognized arguments: --bogus")]:
        run = annotate(*missing, "Some text.", *args)
        assert run.returncode == 2 and run.stdout == b"", (args, run)
        assert message in only_line(run.stderr), args
    run = annotate("Some text.")
    assert run.returncode == 2
    assert only_line(run.stderr).endswith("required: --model-dir")
    run = annotate("--check", "--threads", "256", "Some text.")  # the ceiling itself
    assert run.returncode == 0 and run.stdout == b"tokenize,mwt,pos,lemma,depparse\n", run


def test_text_that_is_not_utf8_is_refused_naming_the_first_bad_byte(models):
    for args, stdin, message in [
            ([], b"Hello \xff\xfe world.\n", "standard input is not valid UTF-8: byte 0xff at "
             "offset 6"),
            # A surrogate in UTF-8's form, and a sequence cut short.
            ([], "Café ".encode() + b"\xed\xa0\x80.", "standard input is not valid UTF-8: "
             "byte 0xed at offset 6"),
            ([b"Fine.", b"Cut \xe2\x82"], b"", "text argument 2 is not valid UTF-8: byte 0xe2 "
             "at offset 4")]:
        run = annotate("--model-dir", models, *args, stdin=stdin)
        assert run.returncode == 1 and run.stdout == b"", run
        assert only_line(run.stderr) == f"annotate: {message}"
    # main.sh's check before the build refuses such an argument already.
    run = annotate("--check", b"Cut \xe2\x82")
    assert run.returncode == 1 and run.stdout == b""
    assert only_line(run.stderr).startswith("annotate: text argument 1 is not valid UTF-8")

    # The same text in UTF-8 is annotated.
    run = annotate("--model-dir", models, stdin="Café au lait.".encode())
    assert run.returncode == 0 and "é" in run.stdout.decode(), run.stderr
    assert TIMING.match(only_line(run.stderr))


def test_a_failed_call_ends_with_status_1(tmp_path):
    run = annotate("--model-dir", str(tmp_path), "Some text.")
    assert run.returncode == 1 and run.stdout == b""
    assert only_line(run.stderr).startswith("annotate: ModelBundleError: ")


def test_a_reader_that_stops_early_ends_the_command_quietly_with_141(models):
    # `| true`: the reader is gone before anything is written.
    child = subprocess.Popen([sys.executable, str(ANNOTATE), "--model-dir", models, "Hi there."],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()
    stderr = child.communicate(timeout=300)[1]
    assert child.returncode == 141
    assert TIMING.match(only_line(stderr))

    # `| head -1`, from the shell, with more output than a pipe holds.
    text = "The cat sat on the mat. " * 600
    run = subprocess.run(["bash", "-c", 'set -o pipefail; "$@" | head -1', "bash", sys.executable,
                          str(ANNOTATE), "--model-dir", models, text], capture_output=True,
                         timeout=300)
    assert run.returncode == 141
    assert run.stdout.decode().startswith("# sent_id = 0") and run.stdout.count(b"\n") == 1
    assert TIMING.match(only_line(run.stderr))


def blocked_reading_stdin(pid):
    """Whether a thread of the process waits in read(0, ...) (x86-64 and
    arm64 numbers)."""
    for path in pathlib.Path(f"/proc/{pid}/task").glob("*/syscall"):
        try:
            fields = path.read_text().split()
        except (FileNotFoundError, ProcessLookupError):  # a thread that ended
            continue
        except OSError:
            pytest.skip("/proc/<pid>/task/<tid>/syscall cannot be read here")
        if len(fields) > 1 and fields[0] in ("0", "63") and fields[1] == "0x0":
            return True
    return False


def interrupted(command, ready, env=None):
    """(status, stdout, stderr) of `command`, sent SIGINT once ready(pid)."""
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env, preexec_fn=default_signals)
    try:
        deadline = time.monotonic() + 120
        while not ready(child.pid):
            if child.poll() is not None:
                pytest.fail(f"ended before the signal: {child.communicate()[1].decode()}")
            assert time.monotonic() < deadline
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=120)
    finally:
        child.kill()
    return child.returncode, stdout, stderr


def test_an_interrupt_ends_with_one_line_and_status_130(models):
    status, stdout, stderr = interrupted([sys.executable, str(ANNOTATE), "--model-dir", models],
                                         blocked_reading_stdin)
    assert status == 130 and stdout == b""
    assert only_line(stderr) == "annotate: interrupted"


# --- the model cache --------------------------------------------------------------------


# Spinning OpenMP threads make a build many times slower on a busy machine.
BUILDER_ENV = {**os.environ, "OMP_WAIT_POLICY": "PASSIVE"}
# The builder's test hook: it waits in the pos bundle's build, its work
# folder made, until a stop comes (":deaf": answering none, as in a long
# tensor call), so that a signal sent once that folder is there always finds
# the build under way.
HOLD_POS = {"VELMORA_BUILD_HOLD": "pos"}
HOLD_POS_DEAF = {"VELMORA_BUILD_HOLD": "pos:deaf"}


def builder(cache, *args):
    return subprocess.run([str(TORCH_PYTHON), str(BUILDER), "--cache", str(cache), *args],
                          capture_output=True, timeout=600, env=BUILDER_ENV)


@pytest.fixture
def cache(tmp_path, fixture_dir):
    """A private cache whose model directory holds copies of the fixture
    tokenizer and expander bundles, indexed, as the builder leaves it."""
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    key = subprocess.run(
        [str(TORCH_PYTHON), "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
         "import build_models; print(build_models.cache_key())", str(BUILDER.parent)],
        capture_output=True, text=True, check=True, env=BUILDER_ENV).stdout.strip()
    root = tmp_path / "models" / key
    out = root / "1.14.0" / "en"
    out.mkdir(parents=True)
    for name in ("tokenize", "mwt"):
        shutil.copytree(fixture_dir / DEFAULT_BUNDLES[name], out / name)
    index = {"format": "velmora-model-index", "format_version": 1, "resources_version": "1.14.0",
             "language": "en", "bundles": [{"processor": p, "package": "default", "path": p}
                                           for p in ("tokenize", "mwt")]}
    (out / "index.json").write_text(json.dumps(index))
    (root / ".complete").write_text("")
    return tmp_path


def index_names(cache):
    [index] = cache.glob("models/*/1.14.0/en/index.json")
    return [entry["processor"] for entry in json.loads(index.read_text())["bundles"]]


def test_a_damaged_index_is_rewritten_and_said_so(cache):
    first = builder(cache, "--processors", "mwt,tokenize")
    assert first.returncode == 0 and first.stderr == b"", first.stderr
    [index] = cache.glob("models/*/1.14.0/en/index.json")
    good = json.loads(index.read_text())

    for spoil, problem in [
            (lambda path: path.write_bytes(b"{\"bundles\": [\xff"), "is not JSON"),
            (lambda path: path.write_text(json.dumps(good).replace('"default"', "1")),
             "is not the index"),
            # Unreadable even to root (chmod would not do).
            (lambda path: os.remove(path) or os.mkdir(path), "cannot be read (Is a directory)")]:
        spoil(index)
        run = builder(cache, "--processors", "tokenize")
        assert run.returncode == 0, run.stderr
        line = only_line(run.stderr)
        assert line.startswith(f"[models] damaged cache: {index} {problem}"), line
        assert line.endswith("; rewriting the index")
        assert json.loads(index.read_text()) == good

    # An index naming a bundle that is gone names only those left.
    shutil.rmtree(index.parent / "mwt")
    run = builder(cache, "--processors", "tokenize")
    assert run.returncode == 0
    assert f"names a bundle that is not there: {index.parent / 'mwt'}" in only_line(run.stderr)
    assert index_names(cache) == ["tokenize"]


def test_a_damaged_bundle_is_rebuilt_and_said_so(cache):
    [out] = cache.glob("models/*/1.14.0/en")
    tensors = out / "tokenize" / "tensors.bin"
    assert builder(cache, "--processors", "tokenize").returncode == 0
    stale = out / ".tokenize-x1y2z3_4"  # a work folder a killed build left
    stale.mkdir()
    size = tensors.stat().st_size
    with open(tensors, "r+b") as file:
        file.truncate(100)
    run = builder(cache, "--quiet", "--processors", "tokenize")
    assert run.returncode == 0
    assert only_line(run.stderr) == (f"[models] damaged cache: {tensors} has 100 bytes, not "
                                     f"{size}; rebuilding tokenize")
    assert not stale.exists() and index_names(cache) == ["tokenize", "mwt"]

    # The same size, other bytes: found by the digest, since the file changed.
    data = bytearray(tensors.read_bytes())
    data[-1] ^= 1
    tensors.write_bytes(data)
    run = builder(cache, "--quiet", "--processors", "tokenize,mwt")
    assert run.returncode == 0
    assert only_line(run.stderr) == (f"[models] damaged cache: {tensors} does not match its "
                                     "checksum; rebuilding tokenize")
    run = builder(cache, "--processors", "tokenize,mwt")
    assert run.returncode == 0 and run.stderr == b""

    # A bundle without its manifest is named by that file, counted once,
    # beside another damaged file.
    manifest = out / "tokenize" / "manifest.json"
    manifest.unlink()
    with open(out / "mwt" / "tensors.bin", "r+b") as file:
        file.truncate(100)
    run = builder(cache, "--quiet", "--processors", "tokenize,mwt")
    assert run.returncode == 0
    assert only_line(run.stderr) == (f"[models] damaged cache: {manifest} is missing (and 1 "
                                     "more); rebuilding tokenize, mwt")
    assert index_names(cache) == ["tokenize", "mwt"]
    run = builder(cache, "--processors", "tokenize,mwt")
    assert run.returncode == 0 and run.stderr == b""


def test_an_interrupted_build_ends_with_one_line_and_status_130(tmp_path):
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    status, stdout, stderr = interrupted(
        [str(TORCH_PYTHON), str(BUILDER), "--cache", str(tmp_path), "--processors", "pos"],
        lambda pid: list(tmp_path.glob("models/*/1.14.0/en/.pos-*")),  # in its work folder
        {**BUILDER_ENV, **HOLD_POS})
    assert status == 130 and stdout == b""
    assert only_line(stderr) == "build_models: interrupted; the next run builds what is missing"
    [out] = tmp_path.glob("models/*/1.14.0/en")
    assert list(out.iterdir()) == []


# A Ctrl-C whose handler runs inside a __del__ method, where the interpreter
# only reports the KeyboardInterrupt as ignored, as it does inside the import
# system's weak-reference callbacks; then one in an exit callback, reported
# so too, after which the interpreter puts every signal back to its default
# action. Given a signal's name, that signal comes the moment the alarm that
# raises the lost one again is armed, its handler in the hook the interpreter
# reports to (a thread held up there for a millisecond).
LOST_STOP = r"""
import atexit, os, signal, sys, time
sys.path[:0] = [sys.argv[1]]
import stops
stops.take()

class Lost:
    def __del__(self):
        signal.raise_signal(signal.SIGINT)

if sys.argv[2] == "exit":
    atexit.register(lambda: (os.kill(os.getpid(), signal.SIGINT), time.sleep(0.2)))
    sys.exit()
if sys.argv[2].startswith("SIG"):
    arm = signal.setitimer
    def setitimer(which, seconds, *interval, came=[]):
        previous = arm(which, seconds, *interval)
        if seconds and not came:
            came.append(seconds)
            signal.raise_signal(getattr(signal, sys.argv[2]))
        return previous
    signal.setitimer = setitimer
try:
    Lost()
    time.sleep(5)
    print("went on")
except KeyboardInterrupt:
    print("stopped")
"""


def test_the_model_builder_still_stops_on_an_interrupt_the_interpreter_lost():
    for where, said in [("del", "stopped\n"), ("SIGALRM", "stopped\n"), ("SIGTERM", "stopped\n"),
                        ("exit", "")]:  # not ended by the alarm
        code, out, err = run_child([sys.executable, "-c", LOST_STOP, str(BUILDER.parent), where],
                                   dict(os.environ), 60)
        assert (code, out, err) == (0, said, ""), (where, code, out, err)


# The builder stopped the moment something it must not leave is made: its
# os.mkdir and Path.write_text raise the signal once they have made the
# first file or folder whose name matches the pattern. Or, with "exit" for a
# pattern, in an exit callback registered while it builds; with "__enter__"
# or "__exit__", as the first work folder's `with` has it made (its
# __enter__ returns) or as it begins to remove it (its __exit__ is called).
STOP_AT = r"""
import atexit, os, pathlib, re, signal, sys, time
sys.path[:0] = [sys.argv[1]]
import build_models
pattern, stop = sys.argv[2], getattr(signal, sys.argv[3])
sys.argv[1:] = sys.argv[4:]
if pattern == "exit":
    build = build_models.model_dir
    def model_dir(*args, **kwargs):
        atexit.register(lambda: (os.kill(os.getpid(), stop), time.sleep(0.2)))
        return build(*args, **kwargs)
    build_models.model_dir = model_dir
elif pattern in ("__enter__", "__exit__"):
    event = "return" if pattern == "__enter__" else "call"
    folders, make = [], build_models.work_folder
    def edge(frame, what, arg):
        if (what == event and frame.f_code.co_name == pattern
                and frame.f_locals.get("self") is folders[0]):
            sys.setprofile(None)
            signal.raise_signal(stop)
    def work_folder(*args):
        folders.append(make(*args))
        if len(folders) == 1:
            sys.setprofile(edge)
        return folders[-1]
    build_models.work_folder = work_folder
else:
    def stopping(make, sent=[]):
        def made(path, *args, **kwargs):
            result = make(path, *args, **kwargs)
            if not sent and re.fullmatch(pattern, os.path.basename(path)):
                sent.append(stop)
                signal.raise_signal(stop)
            return result
        return made
    os.mkdir = stopping(os.mkdir)
    pathlib.Path.write_text = stopping(pathlib.Path.write_text)
build_models.main()
"""


@pytest.mark.parametrize("made, stop", [
    (r"\.tokenize-\w{8}", "SIGTERM"),  # the bundle's work folder
    (r"\.index-\w{8}", "SIGINT"),  # the index's
    (r"progress\.\d+", "SIGTERM"),  # the progress file's staging file
    (r"\.stamps\.json\.\d+", "SIGINT"),  # the file of stamps'
    ("__enter__", "SIGINT"), ("__exit__", "SIGINT"),  # at the edges of the bundle's work folder
    ("exit", "SIGINT"), ("exit", "SIGTERM")])
def test_a_stop_at_any_instant_leaves_nothing_of_the_build(tmp_path, made, stop):
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    progress = tmp_path / "progress"
    code, out, err = run_child(
        [str(TORCH_PYTHON), "-c", STOP_AT, str(BUILDER.parent), made, stop, "--cache",
         str(tmp_path), "--quiet", "--processors", "tokenize", "--progress", str(progress)],
        BUILDER_ENV, 300)
    if made == "exit":  # the directory was whole: a stop changes nothing now
        assert (code, err) == (0, ""), err
        assert pathlib.Path(out.strip()).parent == tmp_path / "models"
    elif stop == "SIGINT":
        assert (code, out, err) == (
            130, "", "build_models: interrupted; the next run builds what is missing\n")
    else:
        assert (code, out, err) == (-signal.SIGTERM, "", "")
    assert not [path for path in tmp_path.rglob("*")
                if re.fullmatch(r"\.\w+-\w{8}|(progress|\.stamps\.json)\.\d+",
                                path.name)]  # work folders and staging files
    assert progress.read_text().splitlines()[1:] == []  # no folder standing


# The builder run as main.sh runs it, as a script, with a stand-in for the
# coref bundle's module, which builds in a cached directory of its own by
# way of the builder's module and waits there, its work folder made.
NESTED = r"""
import pathlib, runpy, signal, sys, types
sys.path[:0] = [sys.argv[1]]

def bundle_dir(cache, force=False, quiet=False):
    import build_models
    target = pathlib.Path(cache) / "models" / "coref-standin"
    build_models.cached_directory(target, lambda work: signal.pause(), force=force, quiet=quiet)
    return target / "coref"

sys.modules["coref_bundle"] = types.SimpleNamespace(bundle_dir=bundle_dir)
sys.argv[:] = sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def test_the_progress_file_names_the_work_folders_of_cached_bundles(tmp_path):
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    progress = tmp_path / "progress"
    child = subprocess.Popen(
        [str(TORCH_PYTHON), "-c", NESTED, str(BUILDER.parent), str(BUILDER), "--cache",
         str(tmp_path), "--processors", "coref", "--progress", str(progress)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=BUILDER_ENV)
    try:
        deadline = time.monotonic() + 300
        while not (cached := list(tmp_path.glob("models/.coref-standin-*"))):
            assert child.poll() is None, child.communicate()[1].decode()
            assert time.monotonic() < deadline
            time.sleep(0.01)
        # What a caller that kills the builder removes: every work folder.
        [bundle] = tmp_path.glob("models/*/1.14.0/en/.coref-*")
        assert progress.read_text().splitlines() == ["coref", str(bundle), str(cached[0])]
        child.terminate()
        assert child.wait(timeout=60) == -signal.SIGTERM
        assert not list(tmp_path.glob("models/.coref-standin-*"))
    finally:
        child.kill()
        child.communicate()


def test_an_unreadable_bundle_is_rebuilt_and_said_so(cache):
    # Root reads any file: as root, run the builder as the cache's owner
    # without that right, in a user namespace.
    prefix = []
    if os.geteuid() == 0:
        prefix = ["unshare", "--user", "--map-user=1000", "--map-group=1000"]
        if subprocess.run([*prefix, "true"], capture_output=True, timeout=60).returncode:
            pytest.skip("no user namespace to drop root's override in")
    [out] = cache.glob("models/*/1.14.0/en")
    tensors = out / "tokenize" / "tensors.bin"

    def run():
        return subprocess.run([*prefix, str(TORCH_PYTHON), str(BUILDER), "--cache", str(cache),
                               "--quiet", "--processors", "tokenize"], capture_output=True,
                              timeout=600, env=BUILDER_ENV)

    for locked, message in [(tensors, f"{tensors} cannot be read (Permission denied)"),
                            (out / "tokenize", f"{out / 'index.json'} names a bundle that "
                             f"cannot be read: {out / 'tokenize'}")]:
        os.chmod(locked, 0)
        rebuilt = run()
        assert rebuilt.returncode == 0, rebuilt.stderr
        line = only_line(rebuilt.stderr)
        assert line.startswith(f"[models] damaged cache: {message}"), line
        assert line.endswith("; rebuilding tokenize")
        assert os.stat(tensors).st_mode & 0o444 and index_names(cache) == ["tokenize", "mwt"]


# --- the main command ---------------------------------------------------------------------


def cpu_seconds(pid):
    try:
        fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.fixture
def main_command(cache):
    """Starts tools/main.sh as a terminal starts a job: in a process group
    (here a session) of its own, with the private model cache `cache`. Only
    where the module under test is the checkout's own build, which main.sh
    brings up to date before anything else."""
    if pathlib.Path(_velmora.__file__).resolve().parent != ROOT / "build" / "python":
        pytest.skip("the module under test is not this checkout's build/")
    env = {**BUILDER_ENV, "BUILD_DIR": str(ROOT / "build"), "VELMORA_MODEL_CACHE": str(cache)}
    started = []

    def start(*args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, shell='exec "$@"',
              changes=None, terminal=None):
        """main.sh with `args`, run as `shell` runs "$@" (the session's
        leader is main.sh itself unless `shell` makes a pipeline), with the
        default actions of SIGINT, SIGQUIT and SIGHUP, and the environment
        with `changes` made (a name given None is unset). Given `terminal`,
        the follower of a pseudo-terminal, its standard streams are that
        terminal, which the session has for its own."""
        environment = {name: value for name, value in {**env, **(changes or {})}.items()
                       if value is not None}
        streams = {"stdin": stdin, "stdout": stdout, "stderr": subprocess.PIPE}
        if terminal is not None:
            streams = dict.fromkeys(streams, terminal)

        def prepare():
            default_signals()
            if terminal is not None:
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        started.append(subprocess.Popen(["bash", "-c", shell, "bash", "bash", str(MAIN), *args],
                                        env=environment, start_new_session=True,
                                        preexec_fn=prepare, **streams))
        return started[-1]

    yield start
    for child in started:
        for pid in session(child.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        child.communicate(timeout=60)


def interrupt(child, ready):
    """Sends SIGINT to the command's process group, as a terminal does on
    Ctrl-C, once ready(); returns the seconds the command took to end after
    it, its standard output and standard error."""
    deadline = time.monotonic() + 300
    while not ready():
        if child.poll() is not None:
            pytest.fail(f"ended before the signal: {child.communicate()[1].decode()}")
        assert time.monotonic() < deadline, "never ready for the signal"
        time.sleep(0.01)
    os.killpg(child.pid, signal.SIGINT)
    sent = time.monotonic()
    child.wait(timeout=60)
    took = time.monotonic() - sent
    # What the command started may outlive it only while it winds down, with
    # the pipes held open.
    stdout, stderr = child.communicate(timeout=120)
    return took, stdout, stderr


def test_the_model_builder_takes_the_thread_rule(cache):
    # main.sh refuses these itself before anything is set up; the builder
    # does too, before it checks the cache.
    for value, message in [("257", "more than 256 threads: '257'"),
                           (" 4", "invalid int value: ' 4'"), ("1_0", "invalid int value")]:
        run = builder(cache, "--processors", "pos", "--threads", value)
        assert run.returncode == 2 and f"argument --threads: {message}".encode() in run.stderr
    assert not list(cache.glob("models/*/.stamps.json"))


# Run by the model builder's interpreter as it starts, from its site module:
# it says so in the file "starting" beside it and takes its time, its
# standard error kept in the file "said" there (the copy main.sh passes it
# through may be stopped first).
STARTING = r"""
import os, sys, time
if sys.argv[0].endswith("build_models.py"):
    here = os.path.dirname(__file__)
    os.dup2(os.open(os.path.join(here, "said"), os.O_WRONLY | os.O_CREAT, 0o600), 2)
    open(os.path.join(here, "starting"), "w").close()
    time.sleep(30)
"""


@pytest.mark.parametrize("moment", [0.5, 2, 4, "starting the builder", "building pos"])
def test_an_interrupt_ends_the_main_command_at_once(main_command, cache, moment):
    # Set-up, the build check, the argument check, the model builder's
    # interpreter as it starts (where it would take a Ctrl-C of its own) or
    # the model build, which cannot end first.
    site, changes = cache / "site", HOLD_POS
    if moment == "starting the builder":
        site.mkdir()
        (site / "sitecustomize.py").write_text(STARTING)
        changes = {**HOLD_POS, "PYTHONPATH": str(site)}
    child = main_command("--processors", "tokenize,mwt,pos", "Some text.", changes=changes)
    started = time.monotonic()

    def work():
        return list(cache.glob("models/*/1.14.0/en/.*"))

    # main.sh starts no process before its traps are set.
    ready = {"building pos": work, "starting the builder": (site / "starting").exists}.get(
        moment, lambda: time.monotonic() - started >= moment and len(session(child.pid)) > 1)
    took, stdout, stderr = interrupt(child, ready)
    assert child.returncode == 130 and stdout == b""
    line = only_line(stderr)
    assert line.startswith("main.sh: interrupted"), line
    if moment == "building pos":
        assert line.startswith("main.sh: interrupted while building the pos bundle;")
    assert took < 1
    assert session(child.pid) == [] and work() == []  # the builder removed its work folder
    if moment == "starting the builder":
        assert (site / "said").read_text() == ""


# Stands in for every command main.sh runs itself, each step and each short
# command alike: it does the command's work, and on the call that
# STANDIN_AT counts to (among those main.sh, a subshell of it or a step's
# shell makes)
# closes its output, says so in the file "ready" and exits normally the
# moment a Ctrl-C comes, as a command may that is exiting as the Ctrl-C
# reaches the group. Bash waiting for such a command in the foreground would
# take it that the command handled the Ctrl-C, and go on.
STANDIN = r"""#!/bin/bash
name="${0##*/}"
PATH="${PATH#*:}" # the real commands'
mapfile -d '' -t parent <"/proc/$PPID/cmdline"
case "$name" in
  build.sh) printf 'VELMORA_%s=%q\n' PY "$STANDIN/python" TORCH_PY "$STANDIN/builder" \
    BUILD "$STANDIN_BUILD" ;;
  builder) printf '%s\n' "$STANDIN_MODELS" ;;
  python) "$STANDIN_PYTHON" "$@" ;;
  *) "$name" "$@" ;;
esac
status=$?
if [[ "${parent[0]-} ${parent[1]-}" == "bash -c" ]]; then # a step's shell: its parent's
  read -r stat <"/proc/$PPID/stat"
  stat="${stat##*) }"
  stat="${stat#* }"
  mapfile -d '' -t parent <"/proc/${stat%% *}/cmdline"
fi
[[ "${parent[1]-}" == */tools/main.sh ]] || exit "$status"
exec 9>>"$STANDIN/calls"
flock 9
echo >&9
mapfile -t calls <"$STANDIN/calls"
flock -u 9
((${#calls[@]} == STANDIN_AT)) || exit "$status"
exec >&-
echo "$name" >"$STANDIN/ready"
trap 'exit 0' INT
for _ in {1..500}; do sleep 0.01; done
exit "$status"
"""


def test_a_ctrl_c_is_never_lost_whatever_the_command_waits_for(tmp_path, fixture_dir):
    # main.sh in a checkout of its own, whose build and model build only
    # print what the real ones would.
    bin_dir, tools = tmp_path / "bin", tmp_path / "tools"
    bin_dir.mkdir()
    tools.mkdir()
    standin = bin_dir / "standin"
    standin.write_text(STANDIN)
    standin.chmod(0o755)
    for name in ["readlink", "mktemp", "mkdir", "grep", "cat", "cut", "rm", "sleep", "python",
                 "builder"]:
        (bin_dir / name).symlink_to(standin)
    (tools / "build.sh").symlink_to(standin)
    (tools / "annotate.py").symlink_to(ANNOTATE)
    (tools / "arguments.sh").symlink_to(MAIN.parent / "arguments.sh")
    shutil.copy(MAIN, tools / "main.sh")
    models = write_model_index(tmp_path / "models", fixture_dir,
                               {"tokenize": DEFAULT_BUNDLES["tokenize"]})
    env = {**os.environ, "PATH": f"{bin_dir}:{os.environ['PATH']}", "STANDIN": str(bin_dir),
           "STANDIN_BUILD": str(pathlib.Path(_velmora.__file__).parent.parent),
           "STANDIN_MODELS": str(models), "STANDIN_PYTHON": sys.executable}

    def stopped(at, text):
        """The place main.sh's call number `at` is made at, and the command's
        status and standard error once a Ctrl-C came there (None and its
        standard output, where every place has been tried)."""
        (bin_dir / "calls").write_text("")
        (bin_dir / "ready").unlink(missing_ok=True)
        child = subprocess.Popen(
            ["bash", str(tools / "main.sh"), "--processors", "tokenize", text],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env={**env, "STANDIN_AT": str(at)}, start_new_session=True,
            preexec_fn=default_signals)
        try:
            deadline = time.monotonic() + 60
            while not (bin_dir / "ready").exists() and child.poll() is None:
                assert time.monotonic() < deadline
                time.sleep(0.005)
            if not (bin_dir / "ready").exists():  # every place tried
                stdout, stderr = child.communicate(timeout=60)
                assert child.returncode == 0, stderr
                return None, 0, stdout.decode()
            while not (place := (bin_dir / "ready").read_text().strip()):  # being written
                time.sleep(0.005)
            os.killpg(child.pid, signal.SIGINT)
            stderr = child.communicate(timeout=60)[1].decode()
            assert session(child.pid) == [], place
            return place, child.returncode, stderr
        finally:
            for pid in session(child.pid):
                os.kill(pid, signal.SIGKILL)
            child.communicate()

    places = []
    while (stop := stopped(len(places) + 1, "Text."))[0] is not None:
        place, status, stderr = stop
        places.append(place)
        # Its temporary folder going, or the annotation exiting, its output
        # written and its line handed over: the work is done, and stands.
        if place == "rm" or (place == "python" and places.count("python") == 2):
            assert status == 0 and TIMING.match(stderr), (places, stderr)
            assert stderr.count("\n") == 1, stderr
        else:
            assert (status, stderr) == (130, "main.sh: interrupted\n"), (places, stderr)
    assert "# text = Text." in stop[2]
    # Its temporary folder, its checkout, the build, the argument check, the
    # model build, the annotation and the temporary folder's removal at least.
    assert {"mkdir", "readlink", "build.sh", "python", "builder", "rm"} <= set(places), places

    # The argument check exiting once it has said its error: that error ends
    # the command.
    assert stopped(places.index("python") + 1, "\udcff") == (
        "python", 1, "annotate: text argument 1 is not valid UTF-8: byte 0xff at offset 0\n")


def ignoring_stops():
    for signum in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)


def test_the_stop_tests_pass_in_a_run_started_with_the_stop_signals_ignored(fixture_dir,
                                                                            tmp_path):
    # As a background job of a script (SIGINT and SIGQUIT ignored) under
    # nohup (SIGHUP too): each test that stops a child, or whose child stops
    # itself, gives it the default actions.
    tests = [f"{__file__}::{name}" for name in [
        "test_the_model_builder_still_stops_on_an_interrupt_the_interpreter_lost",
        r"test_a_stop_at_any_instant_leaves_nothing_of_the_build[\\.index-\\w{8}-SIGINT]",
        "test_a_ctrl_c_is_never_lost_whatever_the_command_waits_for"]]
    if not TORCH_PYTHON.exists():
        pytest.skip(f"no model-building interpreter at {TORCH_PYTHON}")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          f"--basetemp={tmp_path / 'nested'}", *tests],
                         capture_output=True, timeout=600, cwd=ROOT, preexec_fn=ignoring_stops)
    assert run.returncode == 0 and b"3 passed" in run.stdout, run.stdout.decode()[-4000:]


def test_an_interrupt_does_not_wait_for_the_annotation(main_command, cache, tmp_path):
    with open(long_text(tmp_path), "rb") as stdin:
        child = main_command("--processors", "tokenize,mwt", stdin=stdin)
        # Well into the call: loading takes a fraction of a second.
        took, stdout, stderr = interrupt(child, lambda: annotating(child) >= 1.5)
    assert child.returncode == 130 and stdout == b""
    assert only_line(stderr) == "main.sh: interrupted"
    assert took < 1


def annotating(child):
    """The CPU seconds of the command's annotation (0 before it starts)."""
    return cpu_seconds(session_process(child.pid, str(ANNOTATE).encode(), b"--main-model-dir"))


def long_text(tmp_path):
    """A file of text that takes seconds to annotate."""
    text = tmp_path / "long.txt"
    text.write_bytes(b"The cat didn't sit on the mat. " * 150_000)
    return text


# Stands in for rm: it lingers a second before removing main.sh's temporary
# folder (with LINGER=build, the build's instead), having said so in the
# file "lingering" beside it.
LINGERING_RM = r"""#!/bin/bash
for arg; do
  case "${LINGER-}:$arg" in
    build:*/velmora-build-* | :"$TMPDIR"/main.sh.*) : >"${0%/*}/lingering" && sleep 1 ;;
  esac
done
PATH="${PATH#*:}"
exec rm "$@"
"""


@pytest.mark.parametrize("name, whom, moment", [
    ("SIGTERM", "main.sh", "building pos"), ("SIGTERM", "main.sh", "annotating"),
    ("SIGHUP", "main.sh", "building pos"), ("SIGHUP", "main.sh", "annotating"),
    ("SIGHUP", "group", "building pos"), ("SIGTERM", "group", "building pos"),
    ("SIGQUIT", "main.sh", "building pos"), ("SIGQUIT", "main.sh", "annotating"),
    ("SIGQUIT", "group", "building pos"), ("SIGQUIT", "group", "annotating"),
    # As the command ends, its temporary folder going, after its work or a
    # refusal: the stop changes nothing, not even for a Ctrl-C.
    ("SIGINT", "group", "ending"), ("SIGTERM", "group", "ending"), ("SIGHUP", "group", "ending"),
    ("SIGQUIT", "group", "refusing"),
    # As the build removes its own temporary folder, for longer than the
    # command gives what it stops: nothing of it stays either.
    ("SIGTERM", "group", "building")])
def test_sigterm_sighup_and_sigquit_stop_everything_the_command_started(
        main_command, cache, tmp_path, name, whom, moment):
    # What kill, a supervisor, a closed terminal, timeout (to the whole
    # group) and Ctrl-\ (to the group) send.
    output, temporary, bin_dir = tmp_path / "output", tmp_path / "tmp", tmp_path / "bin"
    temporary.mkdir()
    changes = {"TMPDIR": str(temporary)}
    with open(output, "wb") as stdout:
        if moment in ("ending", "refusing", "building"):
            bin_dir.mkdir()
            (bin_dir / "rm").write_text(LINGERING_RM)
            (bin_dir / "rm").chmod(0o755)
            changes["PATH"] = f"{bin_dir}:{os.environ['PATH']}"
            if moment == "building":
                changes["LINGER"] = "build"
            refused = ["--threads", "0"] if moment == "refusing" else []
            child = main_command("--processors", "tokenize,mwt", *refused, "The dog barked.",
                                 stdout=stdout, changes=changes)
            ready = (bin_dir / "lingering").exists
        elif moment == "annotating":
            with open(long_text(tmp_path), "rb") as stdin:
                child = main_command("--processors", "tokenize,mwt", stdin=stdin, stdout=stdout,
                                     changes=changes)
            ready = lambda: annotating(child) >= 1.5  # noqa: E731
        else:
            # Held in the pos build. A signal to the whole group reaches the
            # builder too: there it answers none, as deep in a tensor call,
            # and the command has to kill it.
            child = main_command("--processors", "tokenize,mwt,pos", "Text.", stdout=stdout,
                                 changes={**changes,
                                          **(HOLD_POS_DEAF if whom == "group" else HOLD_POS)})
            ready = lambda: list(cache.glob("models/*/1.14.0/en/.pos-*"))  # noqa: E731
    deadline = time.monotonic() + 300
    while not ready():
        assert child.poll() is None, child.communicate()[1].decode()
        assert time.monotonic() < deadline, "never ready for the signal"
        time.sleep(0.01)
    (os.kill if whom == "main.sh" else os.killpg)(child.pid, getattr(signal, name))
    sent = time.monotonic()
    child.wait(timeout=60)
    # As it ends, the stand-in rm's second still to run, and then its own.
    assert time.monotonic() - sent < (5 if moment in ("ending", "refusing", "building") else 1)
    written = output.stat().st_size
    time.sleep(2)
    assert session(child.pid) == []
    assert output.stat().st_size == written
    assert not list(cache.glob("models/*/1.14.0/en/.*"))  # the builder removed its work folder
    assert list(temporary.iterdir()) == []
    stderr = child.communicate(timeout=60)[1]
    if moment == "ending":  # the work's status, and its output whole
        assert child.returncode == 0 and TIMING.match(only_line(stderr)), stderr
        assert output.read_bytes().startswith(b"# sent_id = 0\n")
        return
    if moment == "refusing":
        assert child.returncode == 2 and written == 0
        assert only_line(stderr) == "main.sh: argument --threads: not a positive integer: '0'"
        return
    if name == "SIGHUP":
        assert child.returncode == 129 and stderr == b""  # the terminal is gone
        return
    status, said = {"SIGTERM": (143, "terminated"), "SIGQUIT": (131, "quit")}[name]
    assert child.returncode == status
    if moment in ("annotating", "building"):
        assert only_line(stderr) == f"main.sh: {said}"
    else:
        assert only_line(stderr).startswith(f"main.sh: {said} while building the pos bundle; "
                                            "the bundles finished are kept")


def test_a_ctrl_c_as_the_build_removes_its_folder_cuts_nothing_short(main_command, tmp_path):
    # The build on its own, as test.sh runs it: its temporary folder goes.
    bin_dir, temporary = tmp_path / "bin", tmp_path / "tmp"
    bin_dir.mkdir()
    temporary.mkdir()
    (bin_dir / "rm").write_text(LINGERING_RM)
    (bin_dir / "rm").chmod(0o755)
    child = main_command(shell='exec "$1" "${2%/*}/build.sh"', changes={
        "TMPDIR": str(temporary), "LINGER": "build", "PATH": f"{bin_dir}:{os.environ['PATH']}"})
    interrupt(child, (bin_dir / "lingering").exists)
    assert session(child.pid) == [] and list(temporary.iterdir()) == []


@pytest.fixture
def terminal():
    """A pseudo-terminal whose echo is off, so that what its leader reads is
    what was written to it: (leader, follower), the leader non-blocking."""
    leader, follower = pty.openpty()
    attributes = termios.tcgetattr(follower)
    attributes[3] &= ~termios.ECHO
    termios.tcsetattr(follower, termios.TCSANOW, attributes)
    os.set_blocking(leader, False)
    yield leader, follower
    os.close(leader)
    os.close(follower)


def shown(leader):
    """What the terminal has been given since last asked."""
    text = b""
    with contextlib.suppress(BlockingIOError):
        while chunk := os.read(leader, 65536):
            text += chunk
    return text


def when(ready, child, deadline=300):
    """Waits for ready() while the command runs."""
    deadline += time.monotonic()
    while not ready():
        assert child.poll() is None, "ended before it was ready"
        assert time.monotonic() < deadline, "never ready"
        time.sleep(0.005)


# Run by the torch environment's interpreter as it starts, from its site
# module: where HOLD_AT says (the import of torch that configuring a new
# build tree runs, or the fixture generator that every build runs), it says
# so in the file "starting" beside it and takes its time.
HOLD_IN_BUILD = r"""
import os, sys, time
held = os.environ.get("HOLD_AT")
if (held == "configure" and "import os, torch" in " ".join(sys.orig_argv)) or (
        held == "generate" and sys.argv[0].endswith("generate.py")):
    open(os.path.join(os.path.dirname(__file__), "starting"), "w").close()
    time.sleep(60)
"""


@pytest.mark.parametrize("moment", ["configure", "generate"])
@pytest.mark.parametrize("key, word, status", [(b"\x03", "interrupted", 130),
                                               (b"\x1c", "quit", 131)])
def test_a_key_at_the_terminal_during_the_build_says_one_line(main_command, terminal, tmp_path,
                                                             moment, key, word, status):
    # Ctrl-C and Ctrl-\ go to the terminal's foreground group. The commands
    # cmake runs as it configures, and ninja, and what ninja runs, take them
    # as by default or by handlers of their own, and would say so there.
    site, temporary = tmp_path / "site", tmp_path / "tmp"
    site.mkdir()
    temporary.mkdir()
    (site / "sitecustomize.py").write_text(HOLD_IN_BUILD)
    changes = {"HOLD_AT": moment, "PYTHONPATH": str(site), "TMPDIR": str(temporary)}
    if moment == "configure":
        changes["BUILD_DIR"] = str(tmp_path / "build")
    leader, follower = terminal
    child = main_command("--processors", "tokenize,mwt", "Text.", terminal=follower,
                         changes=changes)
    when((site / "starting").exists, child)
    time.sleep(0.2)
    shown(leader)  # what configuring said so far
    os.write(leader, key)
    assert child.wait(timeout=60) == status
    assert session(child.pid) == [] and list(temporary.iterdir()) == []
    assert shown(leader) == f"main.sh: {word}\r\n".encode()


# Stands in for sudo, which asks for a password on the terminal with echo
# off (once: it is remembered) before it runs a command or, with -v, only
# asks; stopped as it asks, it puts the terminal back, ends the prompt's
# line and fails, saying so. With -n it fails rather than ask. It records
# the group it asked from and the terminal's foreground group.
SUDO = r"""#!PYTHON
import os, pathlib, signal, sys, termios
here, words = pathlib.Path(__file__).parent, sys.argv[1:]
if words[:1] == ["-n"] and not (here / "given").exists():
    sys.exit("sudo: a password is required")
if not (here / "given").exists():
    tty = os.open("/dev/tty", os.O_RDWR)
    (here / "asked").write_text(f"{os.getpgrp()} {os.tcgetpgrp(tty)}")
    saved = termios.tcgetattr(tty)
    def stopped(signum, frame):
        termios.tcsetattr(tty, termios.TCSANOW, saved)
        os.write(tty, b"\n")
        sys.exit("sudo: a password is required")
    for signum in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stopped)
    quiet = termios.tcgetattr(tty)
    quiet[3] &= ~termios.ECHO
    termios.tcsetattr(tty, termios.TCSANOW, quiet)
    os.write(tty, b"[sudo] password: ")
    answer = b""
    while not answer.endswith(b"\n"):
        answer += os.read(tty, 64)
    termios.tcsetattr(tty, termios.TCSANOW, saved)
    os.write(tty, b"\n")
    if answer != b"secret\n":
        sys.exit("Sorry, try again.")
    (here / "given").write_text("")
words = [word for word in words if word not in ("-n", "-v")]
if words:
    os.execvp(words[0], words)
"""
# Set-up's commands as another user on a machine that lacks clang-format
# has them: apt-get records what it is asked.
STANDINS = {
    "id": '#!/bin/sh\n[ "$1" = -u ] && echo 1000 || exec /usr/bin/id "$@"\n',
    "dpkg-query": '#!/bin/bash\n[ "${*: -1}" = clang-format ] || echo "install ok installed"\n',
    "apt-get": '#!/bin/sh\necho "$*" >>"${0%/*}/apt-get.log"\n'}


@pytest.mark.parametrize("answer", [b"secret\n", b"\x03", "SIGTERM"])
def test_set_ups_sudo_asks_at_the_terminal(main_command, terminal, tmp_path, answer):
    # The command runs set-up in a process group that the terminal does not
    # let read it: sudo has to ask from the terminal's foreground group, and
    # be gone however the command ends.
    bin_dir, temporary = tmp_path / "bin", tmp_path / "tmp"
    bin_dir.mkdir()
    temporary.mkdir()
    for name, text in {**STANDINS, "sudo": SUDO.replace("PYTHON", sys.executable)}.items():
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    leader, follower = terminal
    child = main_command("--processors", "tokenize,mwt", "The dog barked.", terminal=follower,
                         changes={"PATH": f"{bin_dir}:{os.environ['PATH']}",
                                  "TMPDIR": str(temporary)})
    said = b""

    def asked():
        nonlocal said
        said += shown(leader)
        return said.endswith(b"[sudo] password: ")

    when(asked, child)
    asking, foreground = (bin_dir / "asked").read_text().split()
    assert asking == foreground
    if answer == "SIGTERM":
        os.kill(child.pid, signal.SIGTERM)
    else:
        os.write(leader, answer)
    child.wait(timeout=600)
    assert session(child.pid) == [] and list(temporary.iterdir()) == []
    said = shown(leader).decode()
    if answer == b"secret\n":
        assert child.returncode == 0, said
        assert "# text = The dog barked." in said
        assert (bin_dir / "apt-get.log").read_text().splitlines() == [
            "update -qq", "install -y -qq clang-format"]
    else:
        # sudo's end of its prompt's line, and not what it says of the stop.
        assert (child.returncode, said) == (
            (130, "\r\nmain.sh: interrupted\r\n") if answer == b"\x03" else
            (143, "\r\nmain.sh: terminated\r\n"))
        assert not (bin_dir / "apt-get.log").exists()


# Makes the child of every fork wait 0.1 s before going on, unless the
# parent ignores SIGINT (as a stop does, and the steps main.sh starts): what
# main.sh forks lingers between its fork and its exec, where a stop must
# still find it.
SLOW_FORK = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

pid_t fork(void) {
  static pid_t (*real)(void);
  if (!real) real = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
  pid_t pid = real();
  struct sigaction action;
  if (pid == 0 && sigaction(SIGINT, 0, &action) == 0 && action.sa_handler != SIG_IGN) {
    struct timespec pause = {0, 100000000};
    nanosleep(&pause, 0);
  }
  return pid;
}
"""


def trapped(pid, signum):
    """Whether process `pid` has a handler for `signum`."""
    with contextlib.suppress(OSError):
        for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) >> (signum - 1) & 1)
    return False


def test_a_stop_in_the_first_moments_leaves_nothing(main_command, tmp_path):
    # From the moment main.sh can take a stop: as it makes its temporary
    # folder, finds its checkout, starts the build and set-up.
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the slow fork")
    (tmp_path / "slow_fork.c").write_text(SLOW_FORK)
    slow_fork = tmp_path / "slow_fork.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", slow_fork, tmp_path / "slow_fork.c",
                    "-ldl"], check=True)
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    said = {signal.SIGINT: (130, b"main.sh: interrupted\n"),
            signal.SIGQUIT: (131, b"main.sh: quit\n")}
    for at in range(10):
        signum = (signal.SIGINT, signal.SIGQUIT)[at % 2]
        send = (os.kill, os.killpg)[at // 2 % 2]
        child = main_command("--processors", "tokenize,mwt", "Text.", changes={
            "LD_PRELOAD": str(slow_fork), "TMPDIR": str(temporary)})
        when(lambda: trapped(child.pid, signal.SIGQUIT), child, 10)
        time.sleep(at * 0.06)
        send(child.pid, signum)
        child.wait(timeout=60)
        time.sleep(1)  # what a stop missed would go on
        case = (signum.name, send.__name__, at * 0.06)
        assert session(child.pid) == [] and list(temporary.iterdir()) == [], case
        assert (child.returncode, child.communicate(timeout=60)[1]) == said[signum], case


# The hand-over of the annotator's status, held: it says in the file
# "written" beside it that its output is written, and takes a moment before
# handing over, less than the 0.3 s main.sh gives a step it stops.
HELD_HAND_OVER = r"""
import importlib.util, os, pathlib, time
spec = importlib.util.spec_from_file_location("main_step", os.environ["REAL_MAIN_STEP"])
real = importlib.util.module_from_spec(spec)
spec.loader.exec_module(real)

def handed_over(status, line):
    if status == 0:
        (pathlib.Path(__file__).parent / "written").write_text("")
        time.sleep(0.15)
    return real.handed_over(status, line)
"""


@pytest.mark.parametrize("name, whom", [("SIGTERM", "group"), ("SIGTERM", "main.sh"),
                                        ("SIGINT", "group")])
def test_a_stop_once_the_output_is_written_changes_nothing(tmp_path, fixture_dir, name, whom):
    # main.sh in a checkout of its own, whose build and model build only
    # print what the real ones would; the annotator is the real one.
    tools, bin_dir = tmp_path / "tools", tmp_path / "bin"
    tools.mkdir()
    bin_dir.mkdir()
    shutil.copy(MAIN, tools)
    shutil.copy(ANNOTATE, tools)
    for shared in ["arguments.sh", "arguments.py", "thread_rule.py", "models"]:
        (tools / shared).symlink_to(MAIN.parent / shared)
    (tools / "main_step.py").write_text(HELD_HAND_OVER)
    models = write_model_index(tmp_path / "models", fixture_dir,
                               {"tokenize": DEFAULT_BUNDLES["tokenize"]})
    (tools / "build.sh").write_text(
        "printf 'VELMORA_%s=%q\\n' PY \"$STANDIN_PYTHON\" TORCH_PY \"$STANDIN_BUILDER\" "
        "BUILD \"$STANDIN_BUILD\"\n")
    (bin_dir / "builder").write_text(f"#!/bin/sh\necho '{models}'\n")
    (bin_dir / "builder").chmod(0o755)
    child = subprocess.Popen(
        ["bash", str(tools / "main.sh"), "--processors", "tokenize", "Text."],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True, preexec_fn=default_signals, env={
            **os.environ, "STANDIN_PYTHON": sys.executable,
            "STANDIN_BUILDER": str(bin_dir / "builder"),
            "STANDIN_BUILD": str(pathlib.Path(_velmora.__file__).parent.parent),
            "REAL_MAIN_STEP": str(MAIN.parent / "main_step.py")})
    try:
        when((tools / "written").exists, child, 60)
        (os.kill if whom == "main.sh" else os.killpg)(child.pid, getattr(signal, name))
        stdout, stderr = child.communicate(timeout=60)
    finally:
        for pid in session(child.pid):
            os.kill(pid, signal.SIGKILL)
    assert child.returncode == 0 and TIMING.match(only_line(stderr)), stderr
    assert b"# text = Text.\n" in stdout


def test_streams_that_cannot_be_read_or_written(main_command, models, cache, tmp_path):
    text = "The dog barked. It's late."
    whole = annotate("--model-dir", models, "--processors", "tokenize,mwt", text).stdout
    assert whole.startswith(b"# sent_id = 0\n")

    def run(*args, **streams):
        child = main_command("--processors", "tokenize,mwt", *args, **streams)
        stdout, stderr = child.communicate(timeout=600)
        return child.returncode, stdout, stderr

    # Standard output closed: refused before anything is built or annotated.
    with open(long_text(tmp_path), "rb") as stdin:
        started = time.monotonic()
        status, stdout, stderr = run("--processors", "tokenize,mwt,pos", stdin=stdin,
                                     shell='exec "$@" >&-')
    assert time.monotonic() - started < 10
    assert status == 1 and only_line(stderr) == "main.sh: standard output is closed"
    assert not list(cache.glob("models/*/.stamps.json"))  # the cache not even checked

    # The output cannot be written: the one line says so.
    with open("/dev/full", "wb") as full:
        status, _, stderr = run(text, stdout=full)
    assert status == 1
    assert only_line(stderr) == "annotate: cannot write standard output: No space left on device"

    # A diagnostic line that cannot be written changes nothing.
    for shell in ['exec "$@" 2>/dev/full', 'exec "$@" 2>&-']:
        status, stdout, stderr = run(text, shell=shell)
        assert (status, stdout, stderr) == (0, whole, b""), shell

    # Standard input that cannot be read, which the interpreter would not
    # even start on.
    directory = os.open("/", os.O_RDONLY | os.O_DIRECTORY)
    try:
        status, stdout, stderr = run(stdin=directory)
    finally:
        os.close(directory)
    assert status == 1 and stdout == b""
    assert only_line(stderr) == "annotate: cannot read standard input: Is a directory"


def test_cache_folders_of_any_name_and_no_home(main_command, cache, tmp_path):
    # Names the shell would split, unquote and expand; the environments are
    # this run's own, through links, and HOME is unset.
    odd = tmp_path / "my cache's \"$HOME\" `x`"
    odd.mkdir()
    for name in ("venv-torch", "venv-py312"):
        (odd / name).symlink_to(CACHE / name)
    models = tmp_path / "models of $HOME's"
    models.mkdir()
    (cache / "models").rename(models / "models")
    child = main_command("--processors", "tokenize,mwt", "The dog barked.",
                         changes={"VELMORA_CACHE": str(odd), "VELMORA_MODEL_CACHE": str(models),
                                  "HOME": None})
    stdout, stderr = child.communicate(timeout=600)
    assert child.returncode == 0, stderr
    assert stdout.startswith(b"# sent_id = 0\n# text = The dog barked.\n")
    assert TIMING.match(line := only_line(stderr)) and " words in 1 sentence: " in line, line
    assert sorted(p.name for p in odd.iterdir()) == ["venv-py312", "venv-torch"]

    # Neither VELMORA_CACHE nor HOME: one line says what to set.
    child = main_command("Text.", changes={"VELMORA_CACHE": None, "HOME": None})
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 1 and stdout == b""
    assert only_line(stderr) == ("main.sh: neither VELMORA_CACHE nor HOME is set: set "
                                 "VELMORA_CACHE to the folder to keep the environments and "
                                 "models in")


def test_a_cache_that_cannot_be_written_is_named(main_command, cache, tmp_path):
    # Root writes anywhere: as root, the command runs without that right.
    shell = f'exec {" ".join(as_another_user())} "$@"'
    empty = tmp_path / "empty"
    empty.mkdir()
    assert builder(cache, "--processors", "tokenize,mwt").returncode == 0  # found whole
    [out] = cache.glob("models/*/1.14.0/en")
    with write_right_taken(empty, out, *out.parents[:3]):
        for changes, processors, failed in [
                ({"VELMORA_MODEL_CACHE": str(empty)}, "tokenize",
                 f"the model directory failed: {empty}"),
                ({}, "tokenize,mwt,pos", f"the pos bundle failed: {out}"),
                ({}, "tokenize,mwt", None)]:  # all there: nothing to write
            child = main_command("--processors", processors, "The dog barked.", shell=shell,
                                 changes=changes)
            stdout, stderr = child.communicate(timeout=600)
            if failed is None:
                assert child.returncode == 0 and stdout.startswith(b"# sent_id = 0\n"), stderr
                continue
            assert child.returncode == 1 and stdout == b"", stderr
            assert only_line(stderr) == (f"build_models: building {failed} cannot be written "
                                         "(Permission denied)")


def test_a_reader_gone_while_bundles_build_stops_nothing_and_ends_with_141(main_command, cache):
    # A damaged index makes the builder's first line; the reader is gone
    # before its second, once morphseg is built.
    [out] = cache.glob("models/*/1.14.0/en")
    (out / "index.json").write_text("{")
    child = main_command("--processors", "tokenize,mwt,morphseg", "The dog barked.",
                         shell='set -o pipefail; "$@" 2>&1 | head -1')
    stdout, stderr = child.communicate(timeout=600)
    assert child.returncode == 141, (stdout, stderr)
    assert stdout.startswith(b"[models] damaged cache: ") and stdout.count(b"\n") == 1
    assert index_names(cache) == ["tokenize", "mwt", "morphseg"]
    assert builder(cache, "--processors", "tokenize,mwt,morphseg").stderr == b""  # all built


def test_the_builder_runs_on_half_the_cpus_it_may_use(cache):
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        pytest.skip("fewer than 2 CPUs to run on")
    env = {name: value for name, value in BUILDER_ENV.items() if name != "OMP_NUM_THREADS"}
    child = subprocess.Popen(["taskset", "-c", f"{cpus[-2]},{cpus[-1]}", str(TORCH_PYTHON),
                              str(BUILDER), "--cache", str(cache), "--processors", "langid"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    seconds = {}  # each thread's CPU seconds, last seen
    try:
        deadline = time.monotonic() + 300
        while child.poll() is None:
            for task in pathlib.Path(f"/proc/{child.pid}/task").glob("*"):
                seconds[task.name] = max(seconds.get(task.name, 0.0),
                                         cpu_seconds(f"{child.pid}/task/{task.name}"))
            assert time.monotonic() < deadline
            time.sleep(0.05)
    finally:
        child.kill()
    stderr = child.communicate(timeout=60)[1]
    assert child.returncode == 0, stderr.decode()
    busy = sorted(seconds.values(), reverse=True) + [0.0]
    # One thread does the work (about 4 s here); 4 did before, 1 s each.
    assert busy[0] > 1 and busy[1] < 0.25, busy


def test_a_killed_model_build_ends_with_one_line_naming_the_bundle(main_command, cache):
    child = main_command("--processors", "tokenize,mwt,pos", "Some text.", changes=HOLD_POS)
    deadline = time.monotonic() + 300
    while not (work := list(cache.glob("models/*/1.14.0/en/.pos-*"))):  # building pos
        assert child.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    # What a compiler that the builder started does once orphaned: it goes on
    # writing in the temporary folder it was given, in the work folder.
    scratch = work[0] / ".scratch-00000000"
    scratch.mkdir()
    compiler = subprocess.Popen(
        ["bash", "-c", 'while :; do : >"$TMPDIR/x$RANDOM"; done 2>/dev/null'],
        env={**os.environ, "TMPDIR": str(scratch)})
    try:
        # The builder's own process: the shell of its step names it too.
        os.kill(session_process(child.pid, str(BUILDER).encode(), at=1), signal.SIGKILL)
        stdout, stderr = child.communicate(timeout=60)
        assert child.returncode == 1 and stdout == b""
        assert only_line(stderr).startswith(
            "main.sh: the build of the pos bundle was killed by SIGKILL, most likely by the "
            "kernel for want of memory: it needs ")
        # The command ended it and removed the folder.
        assert compiler.wait(timeout=5) == -signal.SIGKILL
        assert not list(cache.glob("models/*/1.14.0/en/.*"))
    finally:
        compiler.kill()
        compiler.wait()


def test_blank_text_prints_no_sentence_and_an_empty_pipe_is_blank_text(main_command):
    for args, stdin in [(["  ", "\t"], None), ([], b""), ([], b" \n\n")]:
        child = main_command("--processors", "tokenize,mwt", *args,
                             stdin=subprocess.DEVNULL if stdin is None else subprocess.PIPE)
        stdout, stderr = child.communicate(stdin, timeout=600)
        assert child.returncode == 0, stderr
        assert TIMING.match(only_line(stderr))
        state = ud_validator().validate_file_handle(io.StringIO(stdout.decode()))
        assert [i.message for i in state.error_tracker if i.is_error()] == []
        assert b"\t" not in stdout  # no word lines

    # The sample paragraph stands in only for a text not given at a terminal.
    leader, follower = pty.openpty()
    try:
        child = main_command("--processors", "tokenize,mwt", stdin=follower)
        stdout, stderr = child.communicate(timeout=600)
    finally:
        os.close(leader)
        os.close(follower)
    assert child.returncode == 0 and b"# text = The quick brown fox" in stdout, stderr


def test_help_lists_the_options_and_builds_nothing(tmp_path):
    env = {**os.environ, "BUILD_DIR": str(tmp_path / "build")}
    for flag in ["--help", "-h"]:
        run = subprocess.run(["bash", str(MAIN), "--processors", "pos", flag], capture_output=True,
                             timeout=60, env=env)
        assert run.returncode == 0 and run.stderr == b""
        text = run.stdout.decode()
        assert all(option in text for option in ["--processors", "--json", "--threads"])
        assert not any(option in text for option in ["--model-dir", "--check", "--lang"])
    # A reader that has gone: quietly, with the status of a writer that SIGPIPE ended.
    reader, writer = os.pipe()
    os.close(reader)
    try:
        run = subprocess.run(["bash", str(MAIN), "--help"], stdout=writer, stderr=subprocess.PIPE,
                             timeout=60, env=env, preexec_fn=default_signals)
    finally:
        os.close(writer)
    assert (run.returncode, run.stderr) == (141, b"")
    # A full disk: the annotator's words for it.
    with open("/dev/full", "wb") as full:
        run = subprocess.run(["bash", str(MAIN), "--help"], stdout=full, stderr=subprocess.PIPE,
                             timeout=60, env=env)
    assert (run.returncode, run.stderr) == (
        1, b"main.sh: cannot write standard output: No space left on device\n")
    assert not (tmp_path / "build").exists()
