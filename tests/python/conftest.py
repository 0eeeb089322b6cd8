import collections
import contextlib
import functools
import io
import json
import os
import pathlib
import re
import signal
import subprocess

import pytest

EWT_DEV = (pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "ud-en-ewt" /
           "en_ewt-ud-dev.conllu")

# Fixture bundles for the default processors "tokenize,mwt,pos,lemma,depparse".
# Set-up's environments: the torch one builds models and fixtures.
CACHE = pathlib.Path(os.environ.get("VELMORA_CACHE", pathlib.Path.home() / ".cache/velmora"))
TORCH_PYTHON = CACHE / "venv-torch" / "bin" / "python"

DEFAULT_BUNDLES = {"tokenize": "tokenizer/mwt_gated",
                   "mwt": "wordform/mwt_native_dict/bundle",
                   "pos": "pos/models/composite_charlm_proj_l2",
                   "lemma": "wordform/lemma_ensemble/bundle",
                   "depparse": "depparse/models/plain_lin_dist_l2"}

# Fixture bundles for every processor, for pipelines that run all of them.
ALL_BUNDLES = {**DEFAULT_BUNDLES,
               "langid": "langid/models/l1",
               "ner": "ner/models/charlstm_l1",
               "sentiment": "sentiment/models/plain",
               "constituency": "constituency/models/plain",
               "coref": "coref/models/bpe_all",
               "morphseg": "morphseg/random/bundle"}


def write_model_index(root, fixture_dir, bundles, version="1.14.0", lang="en"):
    """Links fixture bundles into a model directory under root and writes its
    index; bundles maps processor names to paths relative to fixture_dir."""
    index_dir = root / version / lang
    index_dir.mkdir(parents=True, exist_ok=True)
    entries = []
    for processor, relative in bundles.items():
        (index_dir / processor).symlink_to(fixture_dir / relative, target_is_directory=True)
        entries.append({"processor": processor, "package": "default", "path": processor})
    index = {"format": "velmora-model-index", "format_version": 1,
             "resources_version": version, "language": lang, "bundles": entries}
    (index_dir / "index.json").write_text(json.dumps(index), encoding="utf-8")
    return root


def check_conll_ids(text):
    """Strict CoNLL-U numbering, which the reader does not insist on. In each
    sentence the words run 1, 2, ..., n; the empty words after word n (after
    none: 0) run n.1, n.2, ... without a gap and before any range line; and a
    range line a-b stands right before word a, with b > a and word b present."""
    for block in text.split("\n\n"):
        ids = [line.split("\t", 1)[0] for line in block.split("\n")
               if line and not line.startswith("#")]
        word, empty, range_open, range_ends = 0, 0, False, []
        for ident in ids:
            if "-" in ident:
                first, last = map(int, ident.split("-"))
                assert first == word + 1 and last > first, f"range {ident} after {word}: {ids}"
                range_ends.append(last)
                range_open = True
            elif "." in ident:
                n, k = map(int, ident.split("."))
                assert (n, k) == (word, empty + 1) and not range_open, \
                    f"empty word {ident} after {word}.{empty}: {ids}"
                empty = k
            else:
                assert int(ident) == word + 1, f"word {ident} after {word}: {ids}"
                word, empty, range_open = word + 1, 0, False
        assert all(last <= word for last in range_ends), f"range past word {word}: {ids}"


def read_conll(doc):
    """The document's CoNLL-U through an independent reader. Every row must be
    one line of exactly ten columns and numbered strictly, which the reader
    alone does not insist on, and every sentence must come back."""
    conllu = pytest.importorskip("conllu", reason="the conllu package is not installed")
    text = doc.to_conll()
    check_conll_ids(text)
    sentences = conllu.parse(text)
    rows = [line for line in text.split("\n") if line and not line.startswith("#")]
    assert all(line.count("\t") == 9 for line in rows)
    assert sum(len(sentence) for sentence in sentences) == len(rows)
    assert len(sentences) == len(doc.sentences)
    return sentences


def default_signals():
    """Gives a child the default actions of SIGINT, SIGQUIT and SIGHUP,
    which it inherits ignored when this run is a background job of a script
    or under nohup: a child that a test stops, or that stops itself, must
    take them as it would from a terminal."""
    for signum in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def as_another_user():
    """The words to run a command with as any user but root would, whose
    file modes bind it: none for such a user; for root, setpriv dropping
    root's overrides of them, for reading and searching folders too (the
    test skips where that cannot be)."""
    if os.geteuid() != 0:
        return []
    caps = "-dac_override,-dac_read_search"
    drop = ["setpriv", f"--inh-caps={caps}", f"--bounding-set={caps}"]
    try:
        dropped = subprocess.run([*drop, "true"], capture_output=True, timeout=60).returncode == 0
    except FileNotFoundError:
        dropped = False
    if not dropped:
        pytest.skip("root's override of file modes cannot be dropped here")
    return drop


@contextlib.contextmanager
def write_right_taken(*folders):
    """Takes the write right from `folders` (reading and searching them
    stay) for the block, and gives each its own mode back however the block
    ends: the tree can then be removed by whoever made it, as it can by
    root whatever the modes say."""
    modes = {}
    try:
        for folder in folders:
            modes[folder] = os.stat(folder).st_mode & 0o7777
            os.chmod(folder, 0o555)
        yield
    finally:
        for folder, mode in modes.items():
            os.chmod(folder, mode)


def run_child(command, env, timeout):
    """Runs `command` in a session of its own, with the default actions of
    the stop signals, killed whole (forked children included) when it
    outlives `timeout` seconds, which fails the test; its return code,
    standard output and standard error."""
    run = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, start_new_session=True, preexec_fn=default_signals)
    try:
        out, err = run.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL)
        run.communicate()
        pytest.fail(f"{command[1]} did not finish in {timeout} s")
    return run.returncode, out, err


def session(leader):
    """The processes still running in the session `leader` started."""
    running = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            state, _, _, sid = stat.read_text().rsplit(")", 1)[1].split()[:4]
        except OSError:  # ended meanwhile
            continue
        if int(sid) == leader and state != "Z":
            running.append(int(stat.parent.name))
    return running


def session_process(leader, *words, at=None):
    """The pid of the process in the session whose command line holds
    `words` (at index `at` on, in order, when given), or None."""
    for pid in session(leader):
        try:
            command = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if at is None and all(word in command for word in words):
            return pid
        if at is not None and command[at:at + len(words)] == list(words):
            return pid
    return None


def preloading(library, env):
    """`env` with the shared library `library` preloaded after what it
    preloads already. The loader splits LD_PRELOAD at spaces as well as at
    colons, so a build folder whose path holds a space would lose it: the
    library is named alone, and its folder leads the library path, which
    splits at colons only."""
    return {**env, "LD_PRELOAD": ":".join(filter(None, [env.get("LD_PRELOAD"), library.name])),
            "LD_LIBRARY_PATH": ":".join(filter(None, [str(library.parent),
                                                      env.get("LD_LIBRARY_PATH")]))}


@functools.cache
def ud_validator():
    from udtools import Validator

    return Validator(lang="en", level=2, output=None)


def ud_errors(conll):
    """The errors the UD validator finds at level 2 in CoNLL-U text written
    as one file, counted by test id, followed by the column's name for an
    error in one column ("trailing-whitespace FORM")."""
    state = ud_validator().validate_file_handle(io.StringIO(conll + "\n\n"))
    return collections.Counter(
        " ".join([incident.testid, *re.findall(r"in column (\w+)", incident.message)[:1]])
        for incident in state.error_tracker if incident.is_error())


@pytest.fixture(scope="session")
def fixture_dir():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    return pathlib.Path(root).resolve()


@pytest.fixture
def model_dir(tmp_path, fixture_dir):
    """Builds a model directory whose index names fixture bundles.

    Call it with {processor: bundle path relative to the fixture dir}; bundles
    are linked in, so the fixture directory itself is never written.
    """

    def build(bundles, version="1.14.0", lang="en"):
        for relative in bundles.values():
            if not (fixture_dir / relative).is_dir():
                pytest.skip(f"fixture bundle missing: {fixture_dir / relative}")
        return write_model_index(tmp_path / "models", fixture_dir, bundles, version, lang)

    return build


@pytest.fixture
def default_models(model_dir):
    """A model directory holding a bundle for every default processor."""
    return model_dir(DEFAULT_BUNDLES)


@pytest.fixture(scope="session")
def all_models(tmp_path_factory, fixture_dir):
    """A model directory holding a bundle for every processor."""
    for relative in ALL_BUNDLES.values():
        if not (fixture_dir / relative).is_dir():
            pytest.skip(f"fixture bundle missing: {fixture_dir / relative}")
    return write_model_index(tmp_path_factory.mktemp("models"), fixture_dir, ALL_BUNDLES)


@pytest.fixture(scope="session")
def ewt_dev_texts():
    """The raw text of every sentence of the EWT development treebank."""
    if not EWT_DEV.is_file():
        pytest.skip(f"shared test data not found: ../shared/data/ud-en-ewt/{EWT_DEV.name}")
    prefix = "# text = "
    return [line[len(prefix):] for line in EWT_DEV.read_text(encoding="utf-8").splitlines()
            if line.startswith(prefix)]
