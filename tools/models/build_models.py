"""Builds an English model directory with a bundle for any of the eleven
processors, with the sizes of real converted models and seeded random
weights.

    <torch-python> tools/models/build_models.py [--processors LIST] [--cache DIR] [--force]
        [--threads N] [--progress FILE]

prints the model directory (the root to give `Pipeline(model_dir=...)`),
first building the bundles of LIST (comma-separated processor names, "all"
for every processor; default the default pipeline
"tokenize,mwt,pos,lemma,depparse") that it does not hold yet. It lives under
<cache>/models/<key>/, the key hashing this file, the fixture generator's
modules it borrows the networks from, the torch version, the CPU's
instruction-set flags and whether the EWT treebank was there; a bundle is
built the first time a list asks for it and kept, and concurrent callers wait
on a lock and reuse one build. Damage found there (model_cache.py says what
counts) is repaired, under the same lock: damaged bundles are rebuilt and a
damaged index rewritten, with one line on standard error that names the
damaged file. A build removes the work folders (.<bundle>-XXXXXXXX) that
killed builds of the same bundle left. Nothing of a build is written
outside the cache: what the compiler writes while the coref bundle's
package is built goes in that bundle's work folder (compile_scratch in
tools/fixtures/aot_package.py). Interrupted (SIGINT), it exits with
status 130 and one line; the bundles it finished are kept and the work
folder of the one it was building goes. SIGTERM, SIGHUP and SIGQUIT end it
the same way, with no line, and then by that signal. Whatever instant a
stop comes, nothing of the bundle it was building stays (stops.py says how);
one that comes once the builder knows how it ends (as it prints the
directory, or in its exit) changes nothing. A build that fails ends
it with status 1 and one line naming the bundle; when the cache cannot be
written there, or its file system is full, the line names the folder. With
--progress, FILE holds the name of the bundle being built, then the work
folders standing, one a line, so that a caller can name the bundle of a
build that a signal killed, and remove the folders of one that it had to
kill; run by main.sh, a build that fails hands it its line to say
(main_step.py). tools/main.sh and tools/bench/bench_pipeline.py use it;
the test suite runs it only on a private cache, building the tokenizer's
bundle (about a second).

It builds with --threads torch threads (1 to 256), else with OMP_NUM_THREADS
when set, else with half the CPUs the process may run on (its affinity,
which taskset and containers narrow), at least 1 and at most 4, the
annotator's rule (tools/thread_rule.py); the OpenMP wait policy is passive
unless OMP_WAIT_POLICY says otherwise.

The cache is VELMORA_MODEL_CACHE when set, else VELMORA_CACHE (the one that
also holds tools/setup.sh's Python environments), else ~/.cache/velmora.

Layout: <dir>/1.14.0/en/index.json naming one bundle per processor built so
far, each in <dir>/1.14.0/en/<processor>/ with real SHA-256 checksums. A
list that runs the lemmatizer without the tagger before it gets the
directory <cache>/models/<key>-untagged/ instead (model_dir() says why).

Sizes:
  tokenize  character embeddings 32, bidirectional LSTMs of 64, all nine
            features; random except for a few hand-set units that end tokens
            at spaces and punctuation, sentences after . ! ? before a space,
            and mark words with an apostrophe as multi-word tokens, so that
            the other models see words rather than random slices of text
  mwt       seq2seq with copy gate: embeddings 50, hidden 100, plus an
            expansion dictionary of the treebank's contractions
  pos       word embeddings 75 over 10,000 words, pretrained embeddings 100
            wide over 100,000 words, forward and backward character language
            models of hidden size 1024, highway LSTM 200 x 2, heads of 400
  lemma     seq2seq with copy gate, POS input and three edit classes:
            embeddings 50, hidden 200; a lemma dictionary from half of the
            treebank's sentences (the other half reaches the model); in
            the -untagged directory the same without the POS input, its
            dictionary keyed by the word alone
  depparse  the tagger's embeddings and the same character language models,
            highway LSTM 400 x 3, deep biaffine scorers of 400 with
            linearization and distance
  ner       entity_tagger() with the same character language models
  sentiment sentiment_classifier() with the same character language models
  constituency  gen_constituency.realistic_parser() with the same character
            language models, reading XPOS tags
  langid    language_identifier()
  morphseg  gen_morphseg.realistic_model() over the treebank's words
  coref     coref_bundle.py's bundle (a compiled transformer package of 24
            layers, hidden 1024), built and cached by that module under its
            own key and hard-linked in, so that its benchmark and every model
            directory share one build
Vocabularies (words, characters, tags, relations) come from the EWT dev
treebank when it is present (../shared/data/ud-en-ewt), otherwise from a
short built-in text.

`load_references` in reference.py reads these bundles back into the PyTorch
reference modules.

`classifier_dir()` builds, cached the same way, the sentiment classifier
(with and without character language models) and the language identifier at
real sizes for their benchmarks; `build_sentiment` and `build_langid` write
one such bundle into any directory.
"""

from __future__ import annotations

import collections
import contextlib
import errno
import fcntl
import hashlib
import importlib.metadata
import os
import pathlib
import re
import shutil
import signal
import sys
import time

import model_cache
import stops

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
if str(ROOT / "tools") not in sys.path:
    sys.path.append(str(ROOT / "tools"))  # the thread rule, the annotator's too

from arguments import Parser, quoted  # noqa: E402
from main_step import handed_over  # noqa: E402
from thread_rule import MAX_THREADS, default_threads, thread_count  # noqa: E402
FIXTURES = ROOT / "tools" / "fixtures"
EWT_DEV = ROOT.parent / "shared" / "data" / "ud-en-ewt" / "en_ewt-ud-dev.conllu"
RESOURCES_VERSION = "1.14.0"
LANGUAGE = "en"
PROCESSORS = ["tokenize", "mwt", "pos", "lemma", "depparse"]  # the default pipeline
# Every processor with a bundle builder below, in the registry's order.
ALL_PROCESSORS = ["langid", "tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment",
                  "constituency", "coref", "morphseg"]
DEFAULT_CACHE = pathlib.Path(os.environ.get("VELMORA_MODEL_CACHE") or os.environ.get(
    "VELMORA_CACHE") or pathlib.Path.home() / ".cache" / "velmora")

FALLBACK_TEXT = """\
The quick brown fox didn't jump over the lazy dog. It's a small model directory, built for
the machinery rather than for good answers. President Bush on Tuesday nominated two
individuals to replace retiring jurists on federal courts in the Washington area. We've
read the company's report (about $3.5 million in sales) and we can't say much more!
Where's the station? Mr. Smith said: "Call me at 555-1234 or write to smith@example.com."
"""


# --- corpus ------------------------------------------------------------------------


class Sentence:
    __slots__ = ("text", "words", "mwts", "newdoc", "newpar")

    def __init__(self):
        self.text = ""
        self.words = []  # [form, lemma, upos, xpos, feats], "_" read as absent
        self.mwts = []  # (surface form, [word forms])
        self.newdoc = False
        self.newpar = False


def read_treebank(path):
    sentences, current, pending = [], Sentence(), {}
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("# newdoc"):
            current.newdoc = True
        elif line.startswith("# newpar"):
            current.newpar = True
        elif line.startswith("# text = "):
            current.text = line[len("# text = "):]
        elif not line:
            if current.words:
                sentences.append(current)
            current, pending = Sentence(), {}
        elif not line.startswith("#"):
            f = line.split("\t")
            if "-" in f[0]:
                first, last = (int(x) for x in f[0].split("-"))
                pending = {"form": f[1], "ids": set(range(first, last + 1)), "words": []}
                current.mwts.append((f[1], pending["words"]))
            elif f[0].isdigit():
                absent = lambda v: None if v == "_" else v  # noqa: E731
                lemma = None if f[2] == "_" and f[1] != "_" else f[2]
                current.words.append([f[1], lemma, absent(f[3]), absent(f[4]), absent(f[5])])
                if pending and int(f[0]) in pending["ids"]:
                    pending["words"].append(f[1])
    if current.words:
        sentences.append(current)
    return sentences


def fallback_corpus():
    """Sentences of the built-in text split at spaces and punctuation, with
    plausible tags: enough to build every vocabulary."""
    import re

    sentences = []
    for chunk in re.split(r"(?<=[.!?])\s+", FALLBACK_TEXT.replace("\n", " ").strip()):
        s = Sentence()
        s.text = chunk
        for form in re.findall(r"\w+(?:'\w+)?|[^\w\s]", chunk):
            tag = "PUNCT" if not form[0].isalnum() else ("NUM" if form[0].isdigit() else "NOUN")
            s.words.append([form, form.lower(), tag, "NN" if tag == "NOUN" else tag[:2], None])
        sentences.append(s)
    sentences[0].newdoc = sentences[0].newpar = True
    return sentences


def corpus():
    return read_treebank(EWT_DEV) if EWT_DEV.exists() else fallback_corpus()


def documents(sentences):
    """Raw texts, one per treebank document: sentence texts joined by a
    space, paragraphs by a blank line."""
    docs, paragraphs = [], []
    for s in sentences:
        if s.newdoc and paragraphs:
            docs.append("\n\n".join(" ".join(p) for p in paragraphs))
            paragraphs = []
        if s.newpar or not paragraphs:
            paragraphs.append([])
        paragraphs[-1].append(s.text)
    if paragraphs:
        docs.append("\n\n".join(" ".join(p) for p in paragraphs))
    return docs


# --- key and cache -------------------------------------------------------------------


GENERATORS = ["bundle_writer", "gen_charlm", "gen_constituency", "gen_depparse", "gen_langid",
              "gen_morphseg", "gen_ner", "gen_pos", "gen_sentiment", "gen_seq2seq",
              "gen_tokenizer", "gen_wordform"]


def generator_sources(names=GENERATORS):
    """The fixture modules the models are built from, with every fixture
    module they import in turn (found without importing them)."""
    seen, pending = set(), list(names)
    while pending:
        name = pending.pop()
        path = FIXTURES / f"{name}.py"
        if name in seen or not path.exists():
            continue
        seen.add(name)
        for line in path.read_text(encoding="utf-8").splitlines():
            match = re.match(r"\s*(?:from|import)\s+(\w+)", line)
            if match:
                pending.append(match.group(1))
    return [FIXTURES / f"{name}.py" for name in sorted(seen)]


def cpu_flags():
    """The CPU's instruction-set flags, sorted (the `flags` line of
    /proc/cpuinfo; empty where there is none). Packages are compiled for the
    CPU that builds them (-march=native), so a cache carried to another kind
    of CPU must be rebuilt rather than die of an illegal instruction."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("flags"):
                    return " ".join(sorted(line.split(":", 1)[1].split()))
    except OSError:
        pass
    return ""


def cache_key():
    digest = hashlib.sha256(importlib.metadata.version("torch").encode())
    digest.update(b"ewt" if EWT_DEV.exists() else b"fallback")
    digest.update(cpu_flags().encode())
    for path in [pathlib.Path(__file__).resolve(), HERE / "reference.py"] + generator_sources():
        digest.update(path.name.encode())
        digest.update(path.read_bytes())
    return digest.hexdigest()[:16]


def processor_names(processors):
    """The names of a list of processors, a comma-separated string or a
    sequence, in the order they run."""
    if isinstance(processors, str):
        return [p.strip() for p in processors.split(",") if p.strip()]
    return list(processors)


def processor_list(processors):
    """The processor names of a list (a comma-separated string or a
    sequence; "all" for every processor), checked, in registry order."""
    processors = processor_names(processors)
    if processors == ["all"]:
        return list(ALL_PROCESSORS)
    unknown = [p for p in processors if p not in ALL_PROCESSORS]
    if unknown:
        raise ValueError(f"unknown processor: {quoted(unknown[0])} (known: "
                         f"{', '.join(ALL_PROCESSORS)})")
    return [p for p in ALL_PROCESSORS if p in processors]


def untagged_lemmas(processors):
    """Whether a list of processors (as processor_list takes it, in the
    order they run) runs the lemmatizer without the tagger before it."""
    processors = processor_names(processors)
    return "lemma" in processors and "pos" not in processors[:processors.index("lemma")]


def model_dir(cache=DEFAULT_CACHE, force=False, quiet=False, processors=PROCESSORS):
    """The model directory root, holding at least whole bundles of
    `processors`; those it lacks are built first (all of them with `force`).
    Damage found in it (see model_cache.py) is repaired: damaged bundles are
    rebuilt and a damaged index rewritten, with one line on standard error
    that says so.

    The lemmatizer's bundle reads each word's part of speech, so that a
    pipeline running it needs the tagger first. A list that runs it without
    the tagger before it gets a directory of its own beside the first,
    <key>-untagged, whose lemmatizer reads the words alone and whose other
    bundles are links to the first directory's (built there first): one
    index naming two lemmatizers would leave the pipeline's "default"
    package ambiguous."""
    wanted = processor_list(processors)
    untagged = untagged_lemmas(processors)
    linked = None
    if untagged:
        others = [p for p in wanted if p != "lemma"]
        linked = index_dir(model_dir(cache, force, quiet, others))
    cache = pathlib.Path(cache) / "models"
    target = cache / (cache_key() + ("-untagged" if untagged else ""))
    marker = target / ".complete"
    if not force and marker.exists() and whole(target, wanted):
        marker.touch()  # in use: keeps it from being pruned
        return target
    target.mkdir(parents=True, exist_ok=True)
    with open(cache / f".{target.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        todo = repair(target, wanted, force, cache.parent, quiet, linked)
        marker.touch()
    if todo:
        prune(cache, target)
    return target


def whole(root, wanted):
    """Whether the model directory `root` indexes whole bundles of `wanted`,
    judged by the stamps of when they were last found whole (nothing is
    hashed)."""
    out = index_dir(root)
    known = model_cache.read_stamps(root)
    try:
        names = model_cache.indexed(out, RESOURCES_VERSION, LANGUAGE)
        return all(name in names and model_cache.checked_stamp(out / name, known.get(name), False)
                   for name in wanted)
    except model_cache.Damage:
        return False


def repair(root, wanted, force, cache, quiet, linked=None):
    """Builds the bundles of `wanted` that the model directory `root` lacks
    or holds damaged (every one with `force`) and rewrites an index that is
    damaged or out of date; says in one line what damage it found. The caller
    holds the directory's lock. Returns the bundles built. With `linked` (an
    index directory), every bundle but the lemmatizer's is a link to the one
    there, and its lemmatizer reads no part of speech."""
    out = index_dir(root)
    known = model_cache.read_stamps(root)
    problems, stamps, todo = {}, {}, []  # problems: the first found in each damaged file
    try:
        names = model_cache.indexed(out, RESOURCES_VERSION, LANGUAGE)
    except model_cache.Damage as damage:
        problems[damage.path] = str(damage)
        names = None
    for name in wanted:
        if force or not os.path.lexists(out / name):
            todo.append(name)
            continue
        try:
            stamps[name] = model_cache.checked_stamp(out / name, known.get(name), True)
        except model_cache.Damage as damage:
            problems.setdefault(damage.path, str(damage))
            todo.append(name)
    if problems:
        more = f" (and {len(problems) - 1} more)" if len(problems) > 1 else ""
        work = f"rebuilding {', '.join(todo)}" if todo else "rewriting the index"
        print(f"[models] damaged cache: {next(iter(problems.values()))}{more}; {work}",
              file=sys.stderr, flush=True)
    if todo:
        build(root, todo, cache, quiet=quiet, linked=linked)
    elif names != present_bundles(out):
        write_index(out)
    for name in todo:
        stamps[name] = model_cache.stamp(out / name, model_cache.manifest_files(out / name))
    stamps.update({name: known[name] for name in present_bundles(out)
                   if name in known and name not in stamps})
    if stamps != known:
        with stops.held():
            model_cache.write_stamps(root, stamps)
    return todo


def present_bundles(out):
    """The processors with a bundle in the index directory `out`, in
    registry order."""
    return [p for p in ALL_PROCESSORS if os.path.isfile(out / p / "manifest.json")]


def write_index(out):
    """Writes the index of the index directory `out`, naming every bundle
    present. It is replaced whole, so a reader never sees half of it."""
    with work_folder(out, "index") as staging:
        written = staging / "index.json"
        written.write_text(model_cache.index_text(RESOURCES_VERSION, LANGUAGE,
                                                  present_bundles(out)), encoding="utf-8")
        with stops.held():
            if (out / "index.json").is_dir():
                model_cache.remove(out / "index.json")
            written.rename(out / "index.json")


class work_folder:
    """A fresh folder .<name>-XXXXXXXX in `parent` to build in (what `with`
    gives), removed on the way out, whatever happens (once renamed into
    place, it is gone from there already). Those that killed builds of
    `name` left go first; the caller holds the lock they are made under. It
    is in `working`, and so in the progress file, from before it is made
    until it is gone: a stop that comes as the `with` begins or ends, or
    cuts the removal short, leaves it to main()'s, and a caller that kills
    the builder finds it there. Nothing of it is left to be finalised after
    main()'s removal (a generator's clean-up would be)."""

    def __init__(self, parent, name):
        self.parent, self.name, self.work = parent, name, None

    def __enter__(self):
        model_cache.remove_work_folders(self.parent, self.name)
        with stops.held():
            self.work = new_folder(self.parent, self.name)
        return self.work

    def __exit__(self, *exc_info):
        with stops.held():
            remove_work(self.work)
        return False


def new_folder(parent, name):
    """Makes a folder .<name>-XXXXXXXX in `parent` with a name no other
    holds, added to `working` (and so named in the progress file) before it
    is made."""
    while True:
        work = model_cache.work_folder_path(parent, name)
        working.append(work)
        report()
        try:
            work.mkdir(mode=0o700)
            return work
        except BaseException as error:
            working.remove(work)
            report()
            if not isinstance(error, FileExistsError):
                raise


def remove_work(work):
    """Removes the work folder `work` and its name from `working`; nothing
    when it is no longer there (removed already)."""
    if work in working:
        shutil.rmtree(work, ignore_errors=True)
        working.remove(work)
        report()


def remove_working():
    """Removes the work folders still standing, which a stop cut the
    clean-up of short."""
    while working:
        remove_work(working[-1])
    report()


def classifier_dir(cache=DEFAULT_CACHE, force=False, quiet=False):
    """A directory of classifier bundles at real sizes, for the benchmarks:
    sentiment_charlm/ and sentiment_plain/ (build_sentiment with and without
    the character language models) and langid/ (build_langid); built when
    missing, cached beside the model directories."""
    target = pathlib.Path(cache) / "models" / f"classifiers-{cache_key()}"
    cached_directory(target, lambda work: build_classifiers(work, quiet), force=force,
                     quiet=quiet)
    return target


def cached_directory(target, build, force=False, quiet=False):
    """Makes `target` with build(work) in a fresh directory beside it, unless
    it is complete already (and not `force`); concurrent callers wait on a
    lock and reuse one build. Returns whether this call built it."""
    target = pathlib.Path(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    with open(target.parent / f".{target.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (target / ".complete").exists() and not force:
            return False
        started = time.monotonic()
        with work_folder(target.parent, target.name) as work:
            build(work)
            (work / ".complete").write_text("")
            with stops.held():
                model_cache.remove(target)
                work.rename(target)
        if not quiet:
            print(f"[models] built {target} in {time.monotonic() - started:.0f}s",
                  file=sys.stderr)
    return True


def prune(cache, keep, days=14):
    """Removes model directories unused for `days` (a few hundred MB each;
    other checkouts may still use recent ones). A process still using a
    removed one keeps its mapped files until it exits."""
    limit = time.time() - days * 86400
    for old in cache.iterdir():
        marker = old / ".complete"
        if old != keep and marker.exists() and marker.stat().st_mtime < limit:
            shutil.rmtree(old, ignore_errors=True)


def index_dir(root):
    return pathlib.Path(root) / RESOURCES_VERSION / LANGUAGE


# --- building ------------------------------------------------------------------------


def import_generators():
    if str(FIXTURES) not in sys.path:
        sys.path.insert(0, str(FIXTURES))
    import bundle_writer
    import gen_charlm
    import gen_depparse
    import gen_pos
    import gen_seq2seq
    import gen_tokenizer

    return bundle_writer, gen_charlm, gen_depparse, gen_pos, gen_seq2seq, gen_tokenizer


# The torch threads of a build (main()'s --threads), or None for the default.
threads_given = None


@contextlib.contextmanager
def build_threads():
    """The torch threads of a build while models are built (threads_given,
    else OMP_NUM_THREADS's, which torch has read, else default_threads()),
    the caller's after."""
    import torch

    threads = torch.get_num_threads()
    if threads_given or not os.environ.get("OMP_NUM_THREADS"):
        torch.set_num_threads(threads_given or default_threads())
    try:
        yield
    finally:
        torch.set_num_threads(threads)


def build(root, processors, cache=DEFAULT_CACHE, quiet=False, linked=None):
    """Builds the bundles of `processors` into the model directory `root`
    (replacing any there), each in a fresh directory renamed into place,
    then rewrites the index; the caller holds the directory's lock. `cache`
    is where bundles cached apart (coref) are kept. With `linked` (an index
    directory), as repair() says."""
    with build_threads():
        _build(pathlib.Path(root), processors, pathlib.Path(cache), quiet, linked)


def _build(root, processors, cache, quiet, linked):
    import_generators()
    sentences = corpus()
    texts = documents(sentences)
    out = index_dir(root)
    out.mkdir(parents=True, exist_ok=True)
    charlms = []  # built once, for every bundle that carries them

    def with_charlms(make):
        def run(directory, sentences, texts):
            if not charlms:
                charlms.append(shared_charlms(sentences))
            make(directory, sentences, charlms[0])
        return run

    steps = {"langid": build_langid,
             "tokenize": build_tokenizer,
             "mwt": build_expander,
             "pos": with_charlms(build_tagger),
             "lemma": build_lemmatizer,
             "depparse": with_charlms(build_parser),
             "ner": with_charlms(build_entity_tagger),
             "sentiment": with_charlms(build_sentiment),
             "constituency": with_charlms(build_constituency_parser),
             "coref": lambda directory, sentences, texts: link_coref(directory, out, cache,
                                                                     quiet),
             "morphseg": build_segmenter}
    if linked is not None:
        def link(name):
            # Relative to where it is renamed to, so that the cache may move.
            target = os.path.relpath(linked / name, out)
            return lambda directory, sentences, texts: os.symlink(target, directory)

        steps = {name: link(name) for name in steps}
        steps["lemma"] = lambda directory, sentences, texts: build_lemmatizer(
            directory, sentences, texts, pos=False)
    for name in processors:
        started = time.monotonic()
        announce(name)
        with work_folder(out, name) as work:
            hold_for_tests(name)
            steps[name](work / "bundle", sentences, texts)
            with stops.held():
                model_cache.remove(out / name)
                (work / "bundle").rename(out / name)
        if not quiet and (linked is None or name == "lemma"):  # a link is no build
            print(f"[models] {name}: {time.monotonic() - started:.1f}s", file=sys.stderr)
    announce(None)
    write_index(out)


# The bundle being built, the work folders standing, and the file that
# main() names (--progress) to hear of them.
building = None
working = []
progress_file = None


def announce(name):
    """Records that the bundle of `name` is being built (None: none is)."""
    global building
    building = name
    report()


def report():
    """Writes the bundle being built (an empty line when none is), then the
    work folders standing, one a line, by absolute path, to the progress
    file: a caller that has to kill the build can name its bundle, and
    remove its folders and end what works in them (the temporary folder of
    a compile is in one). The
    file is replaced whole, so that a caller reading it at any moment finds
    the one before or this one, never an empty or half-written file."""
    if progress_file is not None:
        staging = progress_file.with_name(f"{progress_file.name}.{os.getpid()}")
        with stops.held():
            try:
                lines = [building or "", *map(os.path.abspath, working)]
                staging.write_text("".join(f"{line}\n" for line in lines), encoding="utf-8")
                staging.replace(progress_file)
            except OSError:  # a caller that has gone no longer listens
                with contextlib.suppress(OSError):
                    staging.unlink(missing_ok=True)


def hold_for_tests(name):
    """The test suite's way to stop a build at a moment it knows to be
    during the build of a bundle: with VELMORA_BUILD_HOLD naming the bundle,
    the builder waits here, its work folder made, until a stop ends it. With
    ":deaf" after the name it answers no stop meanwhile, as when it is deep
    in a tensor call, so that its caller has to kill it."""
    bundle, _, mode = os.environ.get("VELMORA_BUILD_HOLD", "").partition(":")
    if bundle != name:
        return
    if mode == "deaf":
        # The handlers run only in this thread, and only once the read,
        # which no signal interrupts now, returns: never.
        signal.pthread_sigmask(signal.SIG_BLOCK, stops.STOPS)
        os.read(os.pipe()[0], 1)
    while True:
        signal.pause()


# Tokenizer ---------------------------------------------------------------------------

SPLIT_PUNCT = set(".,;:!?()[]{}\"“”«»…/*=+<>|$%#~^`") | {"\u2014", "\u2013"}
SENTENCE_FINAL = set(".!?")
APOSTROPHES = {"'", "\u2019"}
# Hand-set units; the other hidden units keep their random weights.
U_SPACE, U_NEXT_SPACE, U_PUNCT, U_NEXT_PUNCT, U_FINAL = 0, 1, 2, 3, 4  # backward direction
U_APOSTROPHE = 0  # forward direction: an apostrophe since the last space
FLAG_SPACE, FLAG_PUNCT, FLAG_FINAL, FLAG_APOSTROPHE = 0, 1, 2, 3  # embedding columns


def tokenizer_units(texts):
    chars = collections.Counter(ch for t in texts for ch in t if not ch.isspace())
    units = ["<PAD>", "<UNK>", " "] + sorted(chars)
    return {u: i for i, u in enumerate(units)}


def tokenizer_config():
    _, _, _, _, _, gt = import_generators()
    return gt.base_config(emb_dim=32, hidden_dim=64, batch_size=32, shorthand="en_ewt")


def set_detector(lstm, suffix, unit, hidden, *, input_index=None, hidden_index=None, scale=4.0):
    """Makes one LSTM unit a switch: open input and output gates, closed
    forget gate, and a cell input driven only by one input column (a 0/1
    flag) or one hidden unit of the previous step (about +-0.75)."""
    import torch

    w_ih = getattr(lstm, f"weight_ih_l0{suffix}")
    w_hh = getattr(lstm, f"weight_hh_l0{suffix}")
    b_ih = getattr(lstm, f"bias_ih_l0{suffix}")
    b_hh = getattr(lstm, f"bias_hh_l0{suffix}")
    rows = [unit, hidden + unit, 2 * hidden + unit, 3 * hidden + unit]  # i, f, g, o
    with torch.no_grad():
        for r in rows:
            w_ih[r].zero_()
            w_hh[r].zero_()
            b_hh[r] = 0.0
        b_ih[rows[0]], b_ih[rows[1]], b_ih[rows[3]] = 8.0, -8.0, 8.0
        if input_index is not None:
            w_ih[rows[2], input_index] = scale
            b_ih[rows[2]] = -scale / 2
        else:
            w_hh[rows[2], hidden_index] = 2 * scale
            b_ih[rows[2]] = 0.0


def build_tokenizer_network(texts, seed=14):
    import torch

    _, _, _, _, _, gt = import_generators()
    config = tokenizer_config()
    unit2id = tokenizer_units(texts)
    torch.manual_seed(seed)
    net = gt.Network(config, len(unit2id), unit2id["<PAD>"])
    hidden = config["hidden_dim"]
    with torch.no_grad():
        weight = net.embeddings.weight
        for unit, i in unit2id.items():
            weight[i, :4] = 0.0
            weight[i, FLAG_SPACE] = float(unit == " ")
            weight[i, FLAG_PUNCT] = float(unit in SPLIT_PUNCT)
            weight[i, FLAG_FINAL] = float(unit in SENTENCE_FINAL)
            weight[i, FLAG_APOSTROPHE] = float(unit in APOSTROPHES)
        weight[unit2id["<PAD>"]] = 0.0
        rnn = net.rnn
        set_detector(rnn, "_reverse", U_SPACE, hidden, input_index=FLAG_SPACE)
        set_detector(rnn, "_reverse", U_NEXT_SPACE, hidden, hidden_index=U_SPACE)
        set_detector(rnn, "_reverse", U_PUNCT, hidden, input_index=FLAG_PUNCT)
        set_detector(rnn, "_reverse", U_NEXT_PUNCT, hidden, hidden_index=U_PUNCT)
        set_detector(rnn, "_reverse", U_FINAL, hidden, input_index=FLAG_FINAL)
        # The apostrophe memory: kept from step to step, reset by a space,
        # set by an apostrophe.
        u = U_APOSTROPHE
        rows = [u, hidden + u, 2 * hidden + u, 3 * hidden + u]
        for r in rows:
            rnn.weight_ih_l0[r].zero_()
            rnn.weight_hh_l0[r].zero_()
            rnn.bias_hh_l0[r] = 0.0
        rnn.bias_ih_l0[rows[0]] = -8.0
        rnn.weight_ih_l0[rows[0], FLAG_APOSTROPHE] = 16.0
        rnn.bias_ih_l0[rows[1]] = 8.0
        rnn.weight_ih_l0[rows[1], FLAG_SPACE] = -16.0
        rnn.bias_ih_l0[rows[2]] = 8.0
        rnn.bias_ih_l0[rows[3]] = 8.0

        # First-layer heads read only the hand-set units (backward ones sit
        # after the forward half of the output).
        back = hidden
        for clf in (net.tok_clf, net.sent_clf, net.mwt_clf):
            clf.weight.zero_()
        net.tok_clf.weight[0, back + U_NEXT_SPACE] = 8.0
        net.tok_clf.weight[0, back + U_PUNCT] = 8.0
        net.tok_clf.weight[0, back + U_NEXT_PUNCT] = 8.0
        net.tok_clf.bias[0] = 8.0 * 1.5
        net.sent_clf.weight[0, back + U_FINAL] = 8.0
        net.sent_clf.weight[0, back + U_NEXT_SPACE] = 8.0
        net.sent_clf.bias[0] = -8.0 * 0.75
        net.mwt_clf.weight[0, U_APOSTROPHE] = 10.0
        net.mwt_clf.bias[0] = -4.0
    # The second layer stays random, scaled to nudge rather than decide.
    sample = " ".join(t.replace("\n", " ") for t in texts)[:20000]
    reference = gt.Reference(config, unit2id, [], net)
    units = reference.paragraphs(sample)[0]
    feats = torch.tensor(gt.features_of(units, config, reference.lexicon)).reshape(
        1, len(units), config["feat_dim"])
    ids = torch.tensor([[unit2id.get(u, 1) for u, _ in units]])
    with torch.no_grad():
        x = torch.cat([net.embeddings(ids), feats], -1)
        h1, _ = net.rnn(x)
        tok = net.tok_clf(h1)
        gated = h1 * (1 - torch.sigmoid(-tok * config["hier_invtemp"]))
        h2, _ = net.rnn2(gated)
        for clf in (net.tok_clf2, net.sent_clf2, net.mwt_clf2):
            clf.weight.mul_(0.5 / max(clf(h2).std().item(), 1e-6))
    net.eval()
    return config, unit2id, net


def build_tokenizer(directory, sentences, texts):
    bundle_writer, *_, gt = import_generators()
    config, unit2id, net = build_tokenizer_network(texts)
    bundle_writer.write_bundle(directory, assets=gt.assets_of(config, unit2id),
                               tensors=gt.tensors_of(net), processor="tokenize",
                               package="default")


# Sequence-to-sequence models ----------------------------------------------------------


def word_model_class():
    import torch

    _, _, _, _, gs, _ = import_generators()

    class WordModel(gs.Seq2Seq):
        """The fixture generator's encoder-decoder over its own vocabularies
        (the generator's module keeps one fixed alphabet)."""

        def __init__(self, units, pos_units=None, **kwargs):
            super().__init__(vocab=len(units), pos_count=len(pos_units or []), **kwargs)
            self.units = list(units)
            self.char2id = {u: i for i, u in enumerate(self.units)}
            self.pos2id = {u: i for i, u in enumerate(pos_units or [])}

        def source(self, word):
            ids, unknown = [gs.SOS], []
            for ch in word:
                if ch in self.char2id:
                    ids.append(self.char2id[ch])
                else:
                    if ch not in unknown:
                        unknown.append(ch)
                    ids.append(self.vocab + unknown.index(ch))
            ids.append(gs.EOS)
            return ids, unknown

        def encode(self, ids, pos_tag):
            src = torch.tensor([ids])
            x = self.embedding(torch.where(src >= self.vocab, torch.full_like(src, gs.UNK), src))
            if self.use_pos:
                p = self.pos_embedding(torch.tensor([self.pos2id.get(pos_tag, gs.UNK)]))
                x = torch.cat([p.unsqueeze(1), x], dim=1)
            out, (h_n, c_n) = self.encoder(x)
            h0 = torch.cat([h_n[-1], h_n[-2]], dim=1)
            c0 = torch.cat([c_n[-1], c_n[-2]], dim=1)
            return out, src, h0, c0

        def text(self, out, unknown):
            pieces = []
            for i in out:
                if 0 <= i < len(self.units):
                    pieces.append(self.units[i])
                elif 0 <= i - len(self.units) < len(unknown):
                    pieces.append(unknown[i - len(self.units)])
                else:
                    pieces.append("<UNK>")
            return "".join(pieces)

    return WordModel


def calibrate_end(model, words, tags, want, max_len):
    """Moves the end symbol's bias until greedy outputs average about
    `want` characters (random weights otherwise stop too early or never)."""
    import torch

    _, _, _, _, gs, _ = import_generators()

    def mean_length():
        return sum(len(model.predict(w, t, 1, False, max_len)[0])
                   for w, t in zip(words, tags)) / len(words)

    low, high = -6.0, 6.0
    base = model.dec2vocab.bias[gs.EOS].item()
    for _ in range(7):
        middle = (low + high) / 2
        with torch.no_grad():
            model.dec2vocab.bias[gs.EOS] = base + middle
        if mean_length() > want:
            low = middle
        else:
            high = middle
    with torch.no_grad():
        model.dec2vocab.bias[gs.EOS] = base + (low + high) / 2


def seq2seq_assets(model, *, emb, hidden, max_len, pos_units=None, batch_size=None, **flags):
    _, _, _, _, gs, _ = import_generators()
    config = {"vocab_size": len(model.units), "emb_dim": emb, "hidden_dim": hidden,
              "num_layers": 1, "max_dec_len": max_len, "beam_size": 1, "pos": model.use_pos,
              "pos_dim": emb if model.use_pos else 0, "edit": model.use_edit,
              "copy": model.use_copy, "attn_type": "soft", "charlm": False}
    if batch_size is not None:
        config["batch_size"] = batch_size
    config.update(flags)
    vocab = {"char": gs.vocab_json(model.units)}
    if pos_units is not None:
        vocab["pos"] = gs.vocab_json(pos_units)
    return {"config": config, "vocab": vocab}


def scale_model(model, scale, attention):
    import torch

    with torch.no_grad():
        for p in model.parameters():
            p.mul_(scale)
        model.decoder.attention_layer.linear_in.weight.mul_(attention)
        model.decoder.attention_layer.linear_out.weight.mul_(attention)
        model.dec2vocab.bias[0] -= 2.0  # <PAD> and <SOS> are rare outputs
        model.dec2vocab.bias[2] -= 2.0


def expansion_dictionary(sentences):
    """Lower-case contractions of the treebank and their words."""
    entries = {}
    for s in sentences:
        for form, words in s.mwts:
            if len(words) >= 2:
                entries.setdefault(form.lower(), " ".join(w.lower() for w in words))
    return dict(sorted(entries.items()))


def build_expander(directory, sentences, texts):
    import torch

    bundle_writer, _, _, _, gs, _ = import_generators()
    WordModel = word_model_class()
    chars = sorted({ch for t in texts for ch in t if not ch.isspace()})
    units = gs.SPECIALS + chars + [" "]
    torch.manual_seed(61)
    model = WordModel(units, emb=50, hidden=100, layers=1, copy=True, pos=False,
                      edit=False).eval()
    scale_model(model, 2.0, 4.0)
    words = [form for s in sentences for form, _ in s.mwts][:150] or ["didn't", "it's"]
    calibrate_end(model, words, [None] * len(words), sum(map(len, words)) / len(words) + 1, 30)
    assets = seq2seq_assets(model, emb=50, hidden=100, max_len=30, dict_only=False,
                            ensemble_dict=True)
    assets["expansion_dict"] = expansion_dictionary(sentences)
    assets["vocab"]["_unit2id"] = {u: i for i, u in enumerate(units)}
    bundle_writer.write_bundle(directory, assets=assets, tensors=model.state_dict(),
                               processor="mwt", package="default")


def lemma_dictionary(sentences):
    """Tag -> form -> lemma, and "*" -> form -> lemma, from every other
    sentence: the rest of the text is new to the dictionary."""
    by_tag = collections.defaultdict(dict)
    for s in sentences[::2]:
        for form, lemma, upos, _, _ in s.words:
            if lemma is None:
                continue
            by_tag[upos or "_"].setdefault(form, lemma)
            by_tag["*"].setdefault(form, lemma)
    return {tag: dict(sorted(entries.items())) for tag, entries in sorted(by_tag.items())}


def build_lemmatizer(directory, sentences, texts, pos=True):
    """The lemmatizer's bundle; with `pos` false one that reads no part of
    speech, its dictionary keyed by the word alone."""
    import torch

    bundle_writer, _, gd, _, gs, _ = import_generators()
    WordModel = word_model_class()
    chars = collections.Counter(ch for s in sentences for w in s.words
                                for ch in (w[0] + (w[1] or "")))
    units = gs.SPECIALS + sorted(chars)
    pos_units = gs.SPECIALS + list(gd.UPOS) + ["_"] if pos else None
    torch.manual_seed(71)
    model = WordModel(units, pos_units, emb=50, hidden=200, layers=1, copy=True, pos=pos,
                      edit=True, edit_hidden=100, edit_classes=3).eval()
    scale_model(model, 2.0, 4.0)
    sample = [w for s in sentences[1::2][:300] for w in s.words][:150]
    words = [w[0] for w in sample]
    tags = [(w[2] or "_") if pos else "_" for w in sample]
    gs.balance_edit_classes(model, words, tags)
    calibrate_end(model, words, tags, sum(map(len, words)) / len(words), 50)
    assets = seq2seq_assets(model, emb=50, hidden=200, max_len=50, pos_units=pos_units,
                            dict_only=False, ensemble_dict=True)
    dictionary = lemma_dictionary(sentences)
    assets["pos_dict"] = dictionary if pos else {"*": dictionary.get("*", {})}
    bundle_writer.write_bundle(directory, assets=assets, tensors=model.state_dict(),
                               processor="lemma", package="default")


# Tagger and parser ---------------------------------------------------------------------


def treebank_tags(sentences):
    upos, xpos, feats = set(), set(), collections.defaultdict(set)
    for s in sentences:
        for _, _, u, x, f in s.words:
            if u:
                upos.add(u)
            if x:
                xpos.add(x)
            for item in (f or "").split("|"):
                if "=" in item:
                    key, value = item.split("=", 1)
                    feats[key].add(value)
    return sorted(upos), sorted(xpos), {k: sorted(v) for k, v in sorted(feats.items())}


def padded(units, size, filler):
    """`units` then fillers, `size` entries in all."""
    units = list(dict.fromkeys(units))[:size]
    return units + [f"{filler}{i}" for i in range(size - len(units))]


def shared_charlms(sentences):
    """The forward and backward character language models that tagger and
    parser both carry (the same weights under both bundles)."""
    import torch

    _, gc, *_ = import_generators()
    chars = sorted({ch for s in sentences for w in s.words for ch in w[0]} - {"\n", " "})
    units = ["<PAD>", "\n", "<UNK>", " "] + chars
    torch.manual_seed(2)
    return (gc.CharLM(units, emb_dim=100, hidden=1024, layers=1, forward=True),
            gc.CharLM(units, emb_dim=100, hidden=1024, layers=1, forward=False))


def build_tagger(directory, sentences, charlms):
    import torch

    _, _, _, gp, _, _ = import_generators()
    upos, xpos, feats = treebank_tags(sentences)
    forms = [w for w, _ in collections.Counter(
        w[0] for s in sentences for w in s.words).most_common()]
    chars = sorted({ch for s in sentences for w in s.words for ch in w[0]})
    specials = len(gp.SPECIALS)
    words = padded(forms, 10_000 - specials, "filler")
    pretrain = padded([gp.lower(w) for w in forms], 100_000 - specials, "pretrained")
    torch.manual_seed(1)
    model = gp.Tagger(
        words=words, chars=chars, upos=upos, xpos=xpos, feats=feats, word_emb=75,
        transformed=125, char_emb=100, char_hidden=400, hidden=200, layers=2, tag_emb=50,
        upos_hid=400, xpos_hid=400, feats_hid=400, pretrain_width=100, pretrain_words=pretrain,
        charlm=charlms)
    tame_tagger(model, [[w[0] for w in s.words] for s in sentences[:200]])
    model.write(directory)


def tame_tagger(model, sample):
    """Random heads would often answer with a reserved unit (<PAD>, <UNK>,
    <ROOT>) and give a word most features; keep the reserved units out and
    leave about nine in ten features of a word absent."""
    import torch

    with torch.no_grad():
        model.upos_clf.bias[:4] -= 30.0
        model.xpos_clf.W_bilin.bias[:4] -= 30.0
        rows = torch.cat(model.encode(sample))
        upos = model.upos_clf(torch.relu(model.upos_hid(rows))).argmax(1)
        tag = model.upos_emb(upos)
        hidden = torch.relu(model.ufeats_hid(rows))
        for clf in model.ufeats_clf:
            clf.W_bilin.bias[[0, 1, 3]] -= 30.0
            scores = clf(hidden, tag)
            margin = scores[:, 2] - scores[:, 4:].max(1).values
            clf.W_bilin.bias[2] -= torch.quantile(margin, 0.1)


def build_parser(directory, sentences, charlms):
    import torch

    _, _, gd, _, _, _ = import_generators()
    specials = len(gd.SPECIALS)
    lowered = [w for w, _ in collections.Counter(
        gd.lower(w[0]) for s in sentences for w in s.words).most_common()]
    lemmas = [w for w, _ in collections.Counter(
        w[1] for s in sentences for w in s.words if w[1] is not None).most_common()]
    chars = sorted({ch for s in sentences for w in s.words for ch in w[0]})
    _, xpos, feats = treebank_tags(sentences)
    words = padded(lowered, 10_000 - specials, "filler")
    pretrain = padded([w.replace(" ", "\u00a0") for w in lowered], 100_000 - specials,
                      "pretrained")
    vocab = gd.Vocabulary(words=words, lemmas=padded(lemmas, 10_000 - specials, "lemma"),
                          chars=chars, xpos=xpos, pretrain=pretrain, feats=feats)
    torch.manual_seed(3)
    model = gd.Parser(vocab, word_lower=True, lemma_lower=False, xpos_ignore=[], word_emb=75,
                      tag_emb=50, transformed=125, char_emb=100, char_hidden=400, hidden=400,
                      layers=3, biaff=400, pretrain_width=100, linearization=True,
                      distance=True, charlm=charlms, batch_size=5000)
    model.write(directory)


# Entity tagger -------------------------------------------------------------------------

# The eighteen entity types of a real English entity tagger.
ENTITY_TYPES = ["CARDINAL", "DATE", "EVENT", "FAC", "GPE", "LANGUAGE", "LAW", "LOC", "MONEY",
                "NORP", "ORDINAL", "ORG", "PERCENT", "PERSON", "PRODUCT", "QUANTITY", "TIME",
                "WORK_OF_ART"]


def entity_tagger(sentences, charlms=None):
    """The reference module of an entity tagger of real size: pretrained
    embeddings 100 wide over 100,000 words, delta embeddings over 20,000
    words, an input transform, a tagger LSTM of 256 with one layer and 77
    BIOES tags; the character language models `charlms` (shared_charlms) or,
    without them, a character LSTM of 100 over 100-wide embeddings."""
    import torch

    import_generators()
    import gen_ner

    forms = [w for w, _ in collections.Counter(
        w[0] for s in sentences for w in s.words).most_common()]
    specials = len(gen_ner.SPECIALS)
    lowered = [gen_ner.lower(w) for w in forms]
    words = padded([w.replace(" ", "\u00a0") for w in lowered], 100_000 - specials, "pretrained")
    delta = padded(lowered, 20_000 - specials, "delta")
    chars = sorted({ch for s in sentences for w in s.words for ch in w[0]})
    torch.manual_seed(5)
    model = gen_ner.NERTagger(
        words=words, delta_words=delta, chars=chars, columns=[gen_ner.bioes(ENTITY_TYPES)],
        word_emb=100, char_emb=100, char_hidden=100, hidden=256, layers=1,
        input_transform=True, charlm=charlms)
    return model


def build_entity_tagger(directory, sentences, charlms=None):
    entity_tagger(sentences, charlms).write(directory)


# Constituency parser and morphological segmenter -------------------------------------------


def build_constituency_parser(directory, sentences, charlms=(None, None)):
    """gen_constituency.realistic_parser over the treebank's tagged words."""
    import_generators()
    import gen_constituency

    tagged = [[[w[0], w[2], w[3]] for w in s.words] for s in sentences]
    gen_constituency.build_realistic(directory, tagged, charlms)


def build_segmenter(directory, sentences, texts):
    """gen_morphseg.realistic_model over the treebank's words."""
    import_generators()
    import gen_morphseg

    gen_morphseg.realistic_model([w[0] for s in sentences for w in s.words]).write(directory)


# Coreference resolver ------------------------------------------------------------------------


def link_coref(directory, index, cache, quiet):
    """The coref bundle of coref_bundle.py (built into `cache` when missing
    there), its files hard-linked into `directory`, and the encoder check its
    reference reads beside the bundle into `index`; copied where links cannot
    be made."""
    import coref_bundle

    source = coref_bundle.bundle_dir(cache, quiet=quiet)
    try:  # the files are hard-linked: damage there would be damage here
        model_cache.verify(source, model_cache.manifest_files(source))
    except model_cache.Damage as damage:
        print(f"[models] damaged cache: {damage}; rebuilding {source.parent}", file=sys.stderr,
              flush=True)
        source = coref_bundle.bundle_dir(cache, force=True, quiet=quiet)

    def link(src, dst):
        try:
            os.link(src, dst)
        except OSError:
            shutil.copy2(src, dst)

    shutil.copytree(source, directory, copy_function=link)
    check = pathlib.Path(index) / coref_bundle.CHECK
    check.unlink(missing_ok=True)
    link(source.parent / coref_bundle.CHECK, check)


# Classifiers ---------------------------------------------------------------------------


def import_classifier_generators():
    import_generators()
    import gen_langid
    import gen_sentiment

    return gen_langid, gen_sentiment


def sentiment_classifier(sentences, charlms=None):
    """The sentiment classifier at the sizes of a real one: pretrained
    embeddings 100 wide over 100,000 words, filters of 3, 4 and 5 words with
    1,000 channels each, maxpool width 1, fully connected layers of 400 and
    100, 3 classes; with `charlms`, also the forward and backward character
    language models and a BiLSTM of 300 with 2 layers."""
    import torch

    _, gs = import_classifier_generators()
    lowered = [w for w, _ in collections.Counter(
        gs.lower(w[0]) for s in sentences for w in s.words).most_common()]
    units = gs.SPECIALS + padded([w.replace(" ", "\u00a0") for w in lowered],
                                 100_000 - len(gs.SPECIALS), "pretrained")
    torch.manual_seed(4)
    model = gs.Sentiment(pretrain_units=units, lower_words=True, width=100,
                         charlm=charlms or (None, None), bilstm_hidden=300 if charlms else 0,
                         filters=[3, 4, 5], channels=[1000] * 3, maxpool=1, fc=[400, 100],
                         classes=3)
    with torch.no_grad():
        model.embedding.weight[0] = 0.0
    gs.balance(model, [[w[0] for w in s.words] for s in sentences[:200]])
    return model


def build_sentiment(directory, sentences, charlms=None):
    sentiment_classifier(sentences, charlms).write(directory)


# 60 language codes for the identifier's tags.
LANGUAGES = """af ar az be bg bn ca cs cy da de el en es et eu fa fi fr ga gl he hi hr hu hy id
is it ja ka kk ko lt lv mk ms mt nl no pl pt ro ru sk sl sq sr sv sw ta th tr uk ur uz vi yo zh
zu""".split()


def language_identifier(texts):
    """The language identifier at the sizes of a real one: 3,000 characters
    (those of `texts` first), embeddings 150 wide, a BiLSTM of 150 with 2
    layers, 60 languages."""
    import torch

    gl, _ = import_classifier_generators()
    chars = [c for c, _ in collections.Counter(ch for t in texts for ch in t).most_common()]
    fillers = (chr(c) for c in range(0x4E00, 0x9FFF) if chr(c) not in chars)
    chars = (chars + [next(fillers) for _ in range(3000)])[:3000 - 2]
    torch.manual_seed(5)
    model = gl.LangID(chars, {tag: i for i, tag in enumerate(LANGUAGES)}, embedding=150,
                      hidden=150, layers=2)
    model.spread_answers(texts[::4])
    return model


def build_langid(directory, sentences, texts):
    language_identifier([s.text for s in sentences]).write(directory)


def build_classifiers(root, quiet=False):
    with build_threads():
        root = pathlib.Path(root)
        sentences = corpus()
        texts = documents(sentences)
        for name, make in [
                ("sentiment_charlm",
                 lambda d: build_sentiment(d, sentences, shared_charlms(sentences))),
                ("sentiment_plain", lambda d: build_sentiment(d, sentences)),
                ("langid", lambda d: build_langid(d, sentences, texts))]:
            started = time.monotonic()
            make(root / name)
            if not quiet:
                print(f"[models] {name}: {time.monotonic() - started:.1f}s", file=sys.stderr)


def main():
    # Read when torch loads, which is later.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    parser = Parser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--processors", default=",".join(PROCESSORS),
                        help='the processors whose bundles the directory must hold ("all": '
                        'every one)')
    parser.add_argument("--cache", type=pathlib.Path, default=DEFAULT_CACHE)
    parser.add_argument("--force", action="store_true", help="rebuild even when present")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--threads", type=thread_count,
                        help=f"torch threads, 1 to {MAX_THREADS} (default: OMP_NUM_THREADS when "
                        "set, else half the CPUs this process may run on, at most 4)")
    parser.add_argument("--progress", type=pathlib.Path,
                        help="keep in this file the name of the bundle being built, then the "
                        "work folders standing, one a line")
    args = parser.parse_args()
    try:
        processor_list(args.processors)
    except ValueError as error:
        parser.error(str(error))
    global progress_file, threads_given
    progress_file, threads_given = args.progress, args.threads
    # SIGINT, and SIGTERM (a caller stopping the build), SIGHUP (its terminal
    # gone) and SIGQUIT (Ctrl-\ at its terminal) unwind the build, so that
    # the work folder of the bundle being built goes.
    stops.take()
    directory = failed = None
    try:
        try:
            directory = model_dir(args.cache, force=args.force, quiet=args.quiet,
                                  processors=args.processors)
        finally:
            stops.settle()
    except BaseException as error:  # a stop's KeyboardInterrupt among them
        failed = error
    # Once more, for a stop whose KeyboardInterrupt came as the first began.
    # From here on a stop changes nothing: how the builder ends is known.
    stops.settle()
    remove_working()
    stop = stops.taken()
    if stop is None and failed is None:
        print(directory)
    elif stop not in (None, signal.SIGINT):
        stops.end_by(stop)  # stopped by its caller
    elif stop is not None or isinstance(failed, KeyboardInterrupt):
        # The bundle being built went with its work folder; those done stay.
        print("build_models: interrupted; the next run builds what is missing", file=sys.stderr)
        sys.exit(130)
    elif full := full_device(failed, args.cache):
        fail(failure(full))
    elif isinstance(failed, OSError):
        if refused := unwritable(failed):
            fail(failure(refused))
        models = pathlib.Path(args.cache) / "models"
        advice = (f" (to start over, remove {models}: the next run builds what it needs)"
                  if models.is_dir() else "")
        fail(f"{failure(failed)}{advice}")
    elif isinstance(failed, Exception):
        fail(failure(f"{type(failed).__name__}: {failed}"))
    else:
        raise failed


def fail(message):
    """Ends the builder with status 1 and `message` as its one line, which
    main.sh says when it runs the builder (main_step.py)."""
    line = f"build_models: {message}"
    sys.exit(1 if handed_over(1, line) else line)


def unwritable(error):
    """What a write that the cache refused says, naming the folder that
    cannot be written (or the file, in a folder that can); None for another
    error, which starting over may mend."""
    if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS) or error.filename is None:
        return None
    path = pathlib.Path(os.fsdecode(error.filename))
    what = path if os.access(path.parent, os.W_OK) else path.parent
    return f"{what} cannot be written ({error.strerror})"


# What a write says that found its file system full, by errno.
FULL = {errno.ENOSPC: "no space left on device", errno.EDQUOT: "disk quota exceeded"}


def full_device(error, cache):
    """What a write that found its file system full (or its quota used up)
    says, naming the folder: that of the file the error names, else the
    models folder of `cache`, which all that a build writes goes under (the
    compiler's files too); or, as the work folder written in is gone by now,
    the nearest of its parents still there. None when neither `error` nor an
    error it wraps (the compiler's errors wrap the one that stopped them) is
    such a write's."""
    for cause in wrapped(error):
        if isinstance(cause, OSError) and cause.errno in FULL:
            named = cause.filename2 if cause.filename2 is not None else cause.filename
            if isinstance(named, (str, bytes, os.PathLike)):
                folder = pathlib.Path(os.path.abspath(os.fsdecode(named))).parent
            else:
                folder = pathlib.Path(os.path.abspath(cache)) / "models"
            while not os.path.isdir(folder) and folder != folder.parent:
                folder = folder.parent
            return f"{FULL[cause.errno]} in {folder}"
    return None


def wrapped(error):
    """`error`, then the errors it wraps, each once: its cause, the inner
    error that the compiler's errors keep, and the error it was raised
    while handling."""
    pending, seen = [error], set()
    while pending:
        error = pending.pop()
        if error is None or id(error) in seen:
            continue
        seen.add(id(error))
        yield error
        pending += [error.__context__, getattr(error, "inner_exception", None), error.__cause__]


def failure(error):
    """What failed, naming the bundle being built."""
    what = f"the {building} bundle" if building else "the model directory"
    return f"building {what} failed: {error}"


if __name__ == "__main__":
    # Run as a script, this is also the module that coref_bundle.py imports
    # by name: one `working` list and one progress file for all work folders,
    # the coref cache's among them.
    sys.modules["build_models"] = sys.modules["__main__"]
    main()
