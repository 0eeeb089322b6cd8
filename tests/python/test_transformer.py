import base64
import json
import os
import pathlib
import struct
import subprocess
import sys
import zipfile

import pytest

from _velmora import SubwordError, TransformerEncoder, TransformerError, WordPieceError
from release_probe import assert_keeps_lock, assert_releases_lock

# Compiled kernels reorder float32 sums; a wrong row, window or position is
# off by far more.
TOLERANCE = 2e-5


@pytest.fixture(scope="module")
def fixtures():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    directory = pathlib.Path(root) / "transformer"
    if not (directory / "reference.json").is_file():
        pytest.skip(f"transformer fixtures missing: {directory}")
    reference = json.loads((directory / "reference.json").read_text(encoding="utf-8"))
    return Fixtures(directory, reference)


class Fixtures:
    """The tiny package of each bundle, its tokenizer description and the
    eager module's reference rows; encoders are loaded once per setting."""

    def __init__(self, directory, reference):
        self.directory = directory
        self.reference = reference
        self.encoders = {}

    def package(self, kind):
        return self.directory / kind / "tiny.pt2"

    def tokenizer(self, kind):
        assets = json.loads((self.directory / kind / "assets.json").read_text(encoding="utf-8"))
        return assets["transformer"]["tokenizer"]

    def encoder(self, kind, length=512):
        if (kind, length) not in self.encoders:
            self.encoders[kind, length] = build(self.package(kind), self.tokenizer(kind), length)
        return self.encoders[kind, length]


def build(package, t, length):
    """The constructor of the description's kind, all arguments by position."""
    if t["type"] == "WordPiece":
        return TransformerEncoder(package, t["vocabulary"], t["lowercase"], t["strip_accents"], 0,
                                  length, t["unknown_token"], t["cls_token"], t["sep_token"],
                                  t["continuing_subword_prefix"],
                                  t["max_input_characters_per_word"])
    if t["type"] == "ByteBPE":
        return TransformerEncoder(package, t["vocabulary"], [tuple(m) for m in t["merges"]],
                                  t["add_prefix_space"], 0, length, t["unknown_token"],
                                  t["cls_token"], t["sep_token"])
    return TransformerEncoder(package, t["vocabulary"], t["scores"],
                              list(base64.b64decode(t["precompiled_charsmap"])), t["unknown_id"],
                              0, length, t["cls_token"], t["sep_token"])


def assert_rows_close(actual, expected, label=""):
    assert len(actual) == len(expected), label
    for r, (got_row, want_row) in enumerate(zip(actual, expected)):
        assert len(got_row) == len(want_row), (label, r)
        for got, want in zip(got_row, want_row):
            assert abs(got - want) <= TOLERANCE * (1 + abs(want)), (label, r, got, want)


def test_word_rows_and_encodings_match_the_eager_model(fixtures):
    for case in fixtures.reference["word_cases"]:
        label = (case["tokenizer"], case["model_max_length"], case["keep_endpoints"],
                 len(case["words"]))
        encoder = fixtures.encoder(case["tokenizer"], case["model_max_length"])
        rows = encoder.encode(case["words"], case["keep_endpoints"])
        assert len(rows) == len(case["words"]) + (2 if case["keep_endpoints"] else 0)
        assert_rows_close(rows, case["rows"], label)
        encoding = encoder.tokenize(case["words"])
        assert encoding.input_ids == case["input_ids"], label
        assert encoding.word_ids == case["word_ids"], label
        assert encoding.attention_mask == [1] * len(case["input_ids"])
        bare = encoder.tokenize(words=case["words"], add_special_tokens=False)
        assert bare.input_ids == case["input_ids"][1:-1]
        assert -1 not in bare.word_ids


def test_encode_ids_runs_the_package_once(fixtures):
    encoder = fixtures.encoder("wordpiece")
    for case in fixtures.reference["id_cases"]:
        rows = encoder.encode_ids(case["input_ids"], case["attention_mask"])
        assert_rows_close(rows, case["rows"], len(case["input_ids"]))
        if all(case["attention_mask"]):
            assert_rows_close(encoder.encode_ids(input_ids=tuple(case["input_ids"])), rows)
    assert encoder.encode_ids([]) == []
    with pytest.raises(TransformerError) as raised:
        encoder.encode_ids([2, 5, 3], [1, 1])
    assert str(raised.value) == "transformer attention mask length does not match input ids"
    with pytest.raises(TypeError):
        encoder.encode_ids([2, 5, 3.0])
    with pytest.raises(TypeError):
        encoder.encode_ids("253")


def test_defaults_and_properties(fixtures):
    package = fixtures.package("wordpiece")
    vocabulary = fixtures.tokenizer("wordpiece")["vocabulary"]
    # Path and vocabulary alone: the WordPiece kind with the assets' own
    # settings, which are the defaults, and a maximum length of 512.
    plain = TransformerEncoder(str(package), vocabulary)
    configured = fixtures.encoder("wordpiece")
    short = fixtures.reference["word_cases"][0]
    assert plain.tokenize(short["words"]).input_ids == short["input_ids"]
    long_words = fixtures.reference["word_cases"][4]["words"] * 5  # past 512 subwords
    assert len(plain.tokenize(long_words).input_ids) > 512
    rows = plain.encode(long_words)
    assert_rows_close(rows, configured.encode(long_words))
    with pytest.raises(AssertionError):  # other windows give other rows
        assert_rows_close(rows, fixtures.encoder("wordpiece", 300).encode(long_words))

    for form in (package, str(package), os.fsencode(package)):
        encoder = TransformerEncoder(model_path=form, vocabulary=vocabulary, lowercase=True)
        assert isinstance(encoder.model_path, pathlib.Path)
        assert encoder.model_path == package
    assert TransformerEncoder.runtime_version() == "2.13.0"
    with pytest.raises(AttributeError):
        plain.model_path = package


def test_overload_selection(fixtures):
    package = fixtures.package("bpe")
    bpe = fixtures.tokenizer("bpe")
    vocabulary = bpe["vocabulary"]
    merges = [tuple(m) for m in bpe["merges"]]
    expected = fixtures.encoder("bpe").tokenize(["crêpes"]).input_ids

    by_keyword = TransformerEncoder(package, vocabulary, merges=merges, add_prefix_space=True)
    assert by_keyword.tokenize(["crêpes"]).input_ids == expected
    # A list of pairs without add_prefix_space fits no constructor.
    with pytest.raises(TypeError):
        TransformerEncoder(package, vocabulary, merges)
    # An empty list then a bool: byte-level BPE without merges, one id per byte.
    unmerged = TransformerEncoder(package, vocabulary, [], True)
    ids = [vocabulary.index(t) for t in ("<s>", "\u0120", "a", "b", "</s>")]
    assert unmerged.tokenize(["ab"]).input_ids == ids
    # An empty list then a sequence: the XLM-R kind, refused by its tokenizer.
    with pytest.raises(SubwordError, match="^XLM-R vocabulary and score arrays must be nonempty"):
        TransformerEncoder(package, vocabulary, [], [0, 0, 0, 0], 3)

    xlmr = fixtures.tokenizer("xlmr")
    charsmap = base64.b64decode(xlmr["precompiled_charsmap"])
    expected = fixtures.encoder("xlmr").tokenize(["crêpes"]).input_ids
    encoder = TransformerEncoder(model_path=package, vocabulary=xlmr["vocabulary"],
                                 scores=xlmr["scores"], precompiled_charsmap=bytearray(charsmap),
                                 unknown_id=xlmr["unknown_id"])
    assert encoder.tokenize(["crêpes"]).input_ids == expected
    with pytest.raises(TypeError):
        TransformerEncoder(package, xlmr["vocabulary"], xlmr["scores"], charsmap,
                           xlmr["unknown_id"])


def test_construction_failures(fixtures, tmp_path):
    package = fixtures.package("wordpiece")
    vocabulary = fixtures.tokenizer("wordpiece")["vocabulary"]
    with pytest.raises(TypeError):
        TransformerEncoder(package, vocabulary, intra_op_threads=-1)
    with pytest.raises(TypeError):
        TransformerEncoder(package, vocabulary, 1, 1)
    failures = [
        (dict(model_max_length=4), "transformer model_max_length must be at least 5"),
        (dict(intra_op_threads=9999),
         "intra_op_threads cannot change the process-wide ATen thread pool during "
         "TransformerEncoder construction; call torch.set_num_threads() before constructing "
         "Velmora models"),
    ]
    for options, message in failures:
        with pytest.raises(TransformerError) as raised:
            TransformerEncoder(package, vocabulary, **options)
        assert str(raised.value) == message

    missing = tmp_path / "absent.pt2"
    with pytest.raises(TransformerError) as raised:
        TransformerEncoder(missing, vocabulary)
    assert str(raised.value) == f"AOTInductor transformer model does not exist: {missing}"
    garbage = tmp_path / "garbage.pt2"
    garbage.write_bytes(b"not a model package")
    with pytest.raises(TransformerError) as raised:
        TransformerEncoder(garbage, vocabulary)
    assert str(raised.value).startswith(f"could not load AOTInductor transformer '{garbage}': ")
    # Tokenizer errors pass unchanged.
    with pytest.raises(WordPieceError, match="missing required token: \\[CLS\\]$"):
        TransformerEncoder(package, ["[UNK]", "[SEP]"])


def test_model_work_releases_the_lock(fixtures):
    encoder = fixtures.encoder("wordpiece", 64)
    words = fixtures.reference["word_cases"][4]["words"]
    assert_releases_lock(lambda n: lambda: encoder.encode(words * 2 * n, keep_endpoints=True))
    # The package takes at most 512 positions, so longer work is more calls.
    ids = list(range(512))
    assert_releases_lock(lambda n: lambda: [encoder.encode_ids(ids) for _ in range(4 * n)])
    assert_releases_lock(lambda n: lambda: encoder.tokenize(
        [f"w{i}q{n}" for i in range(10000 * n)]))
    package, tokenizer = fixtures.package("xlmr"), fixtures.tokenizer("xlmr")
    assert_keeps_lock(lambda: build(package, tokenizer, 512))


PT_GNU_STACK = 0x6474E551

# Tries each package in a fresh process and prints the stack's permissions
# first and after each attempt.
STACK_PROBE = r"""
import json, sys
from _velmora import TransformerEncoder, TransformerError
assets, *packages = sys.argv[1:]
vocabulary = json.load(open(assets))["transformer"]["tokenizer"]["vocabulary"]
def stack():
    return next(l.split()[1] for l in open("/proc/self/maps") if l.rstrip().endswith("[stack]"))
print(stack())
for package in packages:
    try:
        TransformerEncoder(package, vocabulary)
        print("loaded")
    except TransformerError as error:
        print(error)
    print(stack())
"""


def copy_package(source, target, change=lambda name, data: data):
    """`source` rewritten member by member through change(name, data)."""
    with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
        for info in old.infolist():
            new.writestr(info.filename, change(info.filename, old.read(info)))
    return target


def with_stack_header(library, kind, flags):
    """The library with its PT_GNU_STACK program header rewritten."""
    library = bytearray(library)
    offset, = struct.unpack_from("<Q", library, 0x20)
    size, count = struct.unpack_from("<HH", library, 0x36)
    for at in range(offset, offset + size * count, size):
        if struct.unpack_from("<I", library, at)[0] == PT_GNU_STACK:
            struct.pack_into("<II", library, at, kind, flags)
            return bytes(library)
    raise AssertionError("the library has no PT_GNU_STACK header")


def compile_path_package(genuine, target, marker):
    """`genuine` with sources and compile and link flags in place of its
    library: a runtime that compiled it would run the flags' compiler, here
    a command that creates `marker`."""
    with zipfile.ZipFile(genuine) as old, zipfile.ZipFile(target, "w") as new:
        library = next(n for n in old.namelist() if n.endswith(".so"))
        stem = library[:-len(".so")]
        for info in old.infolist():
            if info.filename != library:
                new.writestr(info.filename, old.read(info))
        new.writestr(stem + ".cpp", "int unused;\n")
        flags = {"compiler": f"touch {marker}; true", "definitions": [], "include_dirs": [],
                 "cflags": [], "ldflags": [], "libraries_dirs": [], "libraries": [],
                 "passthrough_args": [], "aot_mode": True, "use_relative_path": False,
                 "compile_only": True}
        for kind in ("compile", "linker"):
            new.writestr(f"{stem}_{kind}_flags.json", json.dumps(flags))
    return target, stem + ".cpp"


def test_only_prebuilt_code_is_loaded_and_the_stack_stays_non_executable(fixtures, tmp_path):
    genuine = fixtures.package("wordpiece")
    with zipfile.ZipFile(genuine) as archive:
        library = next(n for n in archive.namelist() if n.endswith(".so"))
    # PF_X set; and no header at all, which the platform reads as PF_X.
    asking = copy_package(genuine, tmp_path / "pf_x.pt2", lambda name, data: with_stack_header(
        data, PT_GNU_STACK, 7) if name == library else data)
    silent = copy_package(genuine, tmp_path / "no_header.pt2", lambda name, data: with_stack_header(
        data, 0, 0) if name == library else data)
    marker = tmp_path / "compiled"
    compiling, source = compile_path_package(genuine, tmp_path / "sources.pt2", marker)
    run = subprocess.run(
        [sys.executable, "-c", STACK_PROBE, str(fixtures.directory / "wordpiece" / "assets.json"),
         str(asking), str(silent), str(compiling), str(genuine)],
        capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    refused = "could not load AOTInductor transformer '{}': package library '" + library + \
        "' requires an executable stack"
    assert run.stdout.splitlines() == [
        "rw-p", refused.format(asking), "rw-p", refused.format(silent), "rw-p",
        f"could not load AOTInductor transformer '{compiling}': package member '{source}' is a "
        "build input: only prebuilt packages are loaded", "rw-p", "loaded", "rw-p"]
    assert not marker.exists()


def test_hostile_package_archives_are_refused(fixtures, tmp_path):
    vocabulary = fixtures.tokenizer("wordpiece")["vocabulary"]

    def archive(name, members, compression=zipfile.ZIP_STORED):
        path = tmp_path / name
        with zipfile.ZipFile(path, "w", compression) as new:
            for member, data in members.items():
                new.writestr(member, data)
        return path

    def over_the_first(name, size):
        """A second member whose directory entry claims `size` bytes at the
        first member's place."""
        path = archive(name, {"a.bin": bytes(1 << 20), "b.bin": b""})
        data = bytearray(path.read_bytes())
        second = data.index(b"PK\x01\x02", data.index(b"PK\x01\x02") + 4)
        struct.pack_into("<II", data, second + 20, size, size)
        struct.pack_into("<I", data, second + 42, 0)
        path.write_bytes(bytes(data))
        return path

    truncated = tmp_path / "truncated.pt2"
    truncated.write_bytes(fixtures.package("wordpiece").read_bytes()[:100_000])

    cases = [
        (archive("parent.pt2", {"m/../../escaped.so": b"x"}),
         "member name is not a plain relative path: 'm/../../escaped.so'"),
        (archive("rooted.pt2", {"/m/x.so": b"x"}),
         "member name is not a plain relative path: '/m/x.so'"),
        (archive("deflated.pt2", {"m/notes.txt": b"a" * 1000}, zipfile.ZIP_DEFLATED),
         "compressed member 'm/notes.txt'"),
        # Would unpack into twice the file.
        (over_the_first("shared.pt2", 1 << 20), "members claim more bytes than the file holds"),
        (over_the_first("overlap.pt2", 16), "members 'b.bin' and 'a.bin' overlap"),
        (truncated, "no end of central directory record"),
    ]
    for path, defect in cases:
        with pytest.raises(TransformerError) as raised:
            TransformerEncoder(path, vocabulary)
        assert str(raised.value) == (f"could not load AOTInductor transformer '{path}': "
                                     f"invalid model package archive: {defect}")
    assert not (tmp_path.parent / "escaped.so").exists()


# Loads and drops the entity tagger (whose words go through a compiled
# transformer) many times, running it each time, and prints the growth of
# its resident memory (MiB) and of its mappings.
LOAD_PROBE = r"""
import sys
from _velmora import Document, NERProcessor
bundle, count = sys.argv[1], int(sys.argv[2])
def tag():
    words = ["Alice", "met", "Bob", "in", "Paris", "."]
    NERProcessor(bundle).process(Document.from_dict([[{"id": i + 1, "text": w}
                                                      for i, w in enumerate(words)]]))
def usage():
    rss = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmRSS:"))
    return rss / 1024, sum(1 for _ in open("/proc/self/maps"))
for _ in range(3):
    tag()
rss, maps = usage()
for _ in range(count):
    tag()
print(usage()[0] - rss, usage()[1] - maps)
"""


def test_loading_and_dropping_a_transformer_plan_leaves_nothing_behind(fixture_dir):
    bundle = fixture_dir / "ner" / "models" / "transformer_transform"
    if not bundle.is_dir():
        pytest.skip(f"fixture bundle missing: {bundle}")
    run = subprocess.run([sys.executable, "-c", LOAD_PROBE, str(bundle), "200"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    resident, mappings = map(float, run.stdout.split())
    # Each load used to leave its library mapped: 6 mappings and about
    # 0.4 MiB, 80 MiB over these loads.
    assert resident < 10, run.stdout
    assert mappings < 20, run.stdout


def test_damaged_packages_are_refused_in_the_library_s_words(fixture_dir):
    """A sample of the structural damage tools/package_damage.py runs by the
    thousand: each package loads or is refused with a message of the
    library's, in a child that survives and leaves no directory behind."""
    bundles = [fixture_dir / "coref" / "models" / "wordpiece_base",
               fixture_dir / "pos" / "models" / "transformer_l1"]
    for bundle in bundles:
        if not bundle.is_dir():
            pytest.skip(f"fixture bundle missing: {bundle}")
    tool = pathlib.Path(__file__).resolve().parents[2] / "tools" / "package_damage.py"
    run = subprocess.run([sys.executable, str(tool), "--cases", "60", "--jobs", "2", "--json",
                          *map(str, bundles)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    summary = json.loads(run.stdout)
    total = summary["total"]
    assert total["cases"] == 60 and total["loaded"] + total["refused"] == 60, summary
    assert total["loaded"] > 0 and total["refused"] > 0, summary
    for count in ("signals", "other exits", "timeouts", "left", "foreign"):
        assert total.get(count, 0) == 0, (count, summary)



# Loads a processor from a bundle whose transformer is a compiled package,
# says so, runs it once when told to and says so, then waits to be killed.
KILL_PROBE = r"""
import sys
import _velmora
from _velmora import Document
processor = getattr(_velmora, sys.argv[1])(sys.argv[2], True)
print("loaded", flush=True)
sys.stdin.readline()
words = ["Alice", "met", "Bob", "in", "Paris", ".", "She", "liked", "him", "."]
processor.process(Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(words)]]))
print("called", flush=True)
sys.stdin.readline()
"""


def test_a_worker_killed_after_loading_leaves_nothing_in_its_temporary_directory(fixture_dir,
                                                                                  tmp_path):
    """A server's worker killed by a timeout or the out-of-memory killer once
    its package is loaded, before or after its first call."""
    cases = [("POSProcessor", fixture_dir / "pos" / "models" / "transformer_l1"),
             ("CorefProcessor", fixture_dir / "coref" / "models" / "wordpiece_base")]
    for processor, bundle in cases:
        if not bundle.is_dir():
            pytest.skip(f"fixture bundle missing: {bundle}")
        for calls in (0, 1):
            temporary = tmp_path / f"{processor}-{calls}"
            temporary.mkdir()
            child = subprocess.Popen([sys.executable, "-c", KILL_PROBE, processor, str(bundle)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True,
                                     env=dict(os.environ, TMPDIR=str(temporary)))
            try:
                said = [child.stdout.readline()]
                for _ in range(calls):
                    child.stdin.write("\n")
                    child.stdin.flush()
                    said.append(child.stdout.readline())
                child.kill()
                _, errors = child.communicate(timeout=60)
            finally:
                child.kill()
            assert said == ["loaded\n", "called\n"][:calls + 1], (processor, said, errors)
            assert child.returncode == -9, (processor, errors)
            assert [p.name for p in temporary.iterdir()] == [], (processor, calls)
