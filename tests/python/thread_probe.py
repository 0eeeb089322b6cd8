"""Runs one call of every processor, and of pipelines of them, and prints as
JSON what each call gave. Run as a child process: the thread count is the
environment's, and the preloaded region counter counts parallel regions.

    python thread_probe.py regions MODEL_DIR BUNDLES_JSON COUNTER_LIBRARY
        every call over a short text and over one ten times as long, with the
        team regions each opened
    python thread_probe.py fork MODEL_DIR BUNDLES_JSON COUNTER_LIBRARY
        every call over the long text in this process, then in a child made
        by os.fork() (and in a thread that child starts) and in the workers
        of a multiprocessing pool that forks them
    python thread_probe.py wide MODEL_DIR BUNDLES_JSON COUNTER_LIBRARY
        the team regions of the entity tagger's and the resolver's calls over
        one sentence and five, with every core busy, and over fifty
"""

import contextlib
import ctypes
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time

from _velmora import CorefPlan, Document, Pipeline

# Every processor, the language identifier after the tokenizer (which gives
# its document the bundle's language).
ORDER = ["tokenize", "langid", "mwt", "pos", "lemma", "depparse", "ner", "sentiment",
         "constituency", "coref", "morphseg"]
DEFAULT = "tokenize,mwt,pos,lemma,depparse"

TEXT = ("Mary Smith met John Brown in Paris on Monday. She told him that the new bridge "
        "was finished. He did not believe her, so they walked there together. The river "
        "looked calm and the city was quiet. Afterwards John wrote a long letter to his "
        "sister in London.")
SIZES = {"short": 1, "long": 10}


def document_values(doc):
    # The CoNLL-U and what it does not carry; the chains as word positions
    # (their dictionary form repeats a chain's text at every word it covers).
    return [doc.to_conll(), [(s.sentiment, str(s.constituency)) for s in doc.sentences],
            doc.lang, [(e.type, e.text) for e in doc.entities],
            [[(m.sentence, m.start_word, m.end_word) for m in c.mentions] for c in doc.coref]]


def load(model_dir, bundles):
    pipeline = Pipeline("en", ",".join(ORDER), model_dir=model_dir)
    return {"pipeline": pipeline, "default": Pipeline("en", DEFAULT, model_dir=model_dir),
            "stages": dict(zip(ORDER, pipeline.processors)),
            "coref": CorefPlan(bundles["coref"], False)}


def calls(models, text):
    """Every call over `text`, in the order they must first run: name -> a
    function giving its result shown as a string. The stages after the
    tokenizer start from known sentences and words (the tokenizer's random
    weights cut sentences anywhere)."""
    pipeline, default, stages, coref = (models[k] for k in ("pipeline", "default", "stages",
                                                             "coref"))
    sentences = [s.replace(".", " .").replace(",", " ,").split() for s in text.split(". ") if s]
    entries = [[{"id": i + 1, "text": w} for i, w in enumerate(s)] for s in sentences]
    found = {}

    def add(name, call, show=repr):
        found[name] = lambda: show(call())

    add("pipeline", lambda: pipeline(text), document_values)
    add("bulk_process", lambda: pipeline.bulk_process([text, TEXT, text]),
        lambda docs: [document_values(d) for d in docs])
    add("default_pipeline", lambda: default.bulk_process([text, TEXT]),
        lambda docs: [document_values(d) for d in docs])
    add("tokenize", lambda: stages["tokenize"].process(Document(text)), document_values)
    add("langid", lambda: stages["langid"].process(Document(text)), document_values)
    # Each stage after the expander runs over a copy of what the stage before
    # it gave when it last ran: the calls run in order before any runs alone.
    made = {"mwt": Document.from_dict(entries)}

    def stage(name, following):
        def call():
            made[following] = stages[name].process(Document.from_dict(made[name].to_dict()))
            return made[following]
        return call

    for name, following in zip(ORDER[2:], ORDER[3:] + ["done"]):
        add(name, stage(name, following), document_values)
    words = lambda: [w.text for s in made["done"].sentences for w in s.words]  # noqa: E731
    tags = lambda: [[w.xpos if stages["constituency"].uses_xpos else w.upos  # noqa: E731
                     for w in s.words] for s in made["done"].sentences]
    add("identify_many", lambda: stages["langid"].identify_many([" ".join(s) for s in sentences]))
    add("predict_labels", lambda: stages["tokenize"].predict_labels(text))
    add("expand", lambda: [stages["mwt"].expand(w) for w in words()[:20]])
    add("lemmatize", lambda: stages["lemma"].lemmatize(words()[0], "NOUN"))
    add("tag", lambda: stages["ner"].tag(words()))
    add("classify_many", lambda: stages["sentiment"].classify_many(sentences, 5000))
    add("parse_many", lambda: stages["constituency"].parse_many(sentences, tags()),
        lambda trees: [str(t) for t in trees])
    sentence_ids = [i for i, s in enumerate(sentences) for _ in s]
    add("resolve", lambda: coref.resolve(words(), sentence_ids, []),
        lambda p: [p.word_clusters, p.span_clusters, p.zero_words])
    add("segment_many", lambda: stages["morphseg"].segment_many(words()))
    return found


class Counter:
    def __init__(self, path):
        self.library = ctypes.CDLL(path)
        self.library.velmora_team_regions.restype = ctypes.c_long

    def team_regions(self):
        return self.library.velmora_team_regions()

    def run(self, call):
        """The call's result and the team regions it opened."""
        before = self.team_regions()
        result = call()
        return result, self.team_regions() - before


def regions(model_dir, bundles, counter):
    models = load(model_dir, bundles)
    report = {}
    for size, repeat in SIZES.items():
        found = calls(models, " ".join([TEXT] * repeat))
        report[size] = {}
        for name, call in found.items():
            result, count = counter.run(call)
            report[size][name] = {"result": result, "regions": count}
    return report


# What a pool worker runs: set before the pool forks its workers.
FOUND = {}


def run_named(name):
    return name, FOUND[name]()


def run_all(counter):
    """Every call's result, and the team regions they opened together."""
    return counter.run(lambda: {name: call() for name, call in FOUND.items()})


def forked_child(counter):
    """In a child made by os.fork(): every call on the forking thread, then
    the long pipeline call on a thread the child starts."""
    results, own = run_all(counter)
    thread = {}

    def in_thread():
        thread["result"], thread["regions"] = counter.run(FOUND["bulk_process"])

    worker = threading.Thread(target=in_thread)
    worker.start()
    worker.join()
    return {"results": results, "regions": own, "thread": thread}


def in_forked_child(work, seconds=None):
    """Runs work() in a child made by os.fork(): the child's exit status and
    what work returned, through JSON (None when the child failed). A child
    that outlives `seconds` is killed."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        code = 1
        try:
            with os.fdopen(write, "w", encoding="utf-8") as out:
                json.dump(work(), out)
            code = 0
        finally:
            os._exit(code)
    os.close(write)
    killer = threading.Timer(seconds, os.kill, (pid, signal.SIGKILL)) if seconds else None
    if killer:
        killer.start()
    with os.fdopen(read, encoding="utf-8") as out:
        text = out.read()
    _, status = os.waitpid(pid, 0)
    if killer:
        killer.cancel()
    code = os.waitstatus_to_exitcode(status)
    return code, json.loads(text) if code == 0 else None


def fork(model_dir, bundles, counter):
    FOUND.update(calls(load(model_dir, bundles), " ".join([TEXT] * SIZES["long"])))
    parent, parent_regions = run_all(counter)
    report = {"parent": parent, "parent_regions": parent_regions}

    report["fork"] = in_forked_child(lambda: forked_child(counter))[1]

    with multiprocessing.get_context("fork").Pool(4) as pool:
        report["pool"] = dict(pool.map(run_named, list(FOUND), chunksize=1))
    return report


class BusyLoops:
    """A single-threaded busy loop per core this process may use, started on
    entry and ended by PID on exit."""

    def __enter__(self):
        self.pids = [subprocess.Popen([sys.executable, "-c", "while True: pass"]).pid
                     for _ in os.sched_getaffinity(0)]
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        for pid in self.pids:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


def wide(model_dir, bundles, counter):
    # A sentence or window alone gets the team for its encoder's products
    # only when its threads find free cores; more of them are units.
    pipeline = Pipeline("en", "tokenize,mwt,ner,coref", model_dir=model_dir)
    stages = dict(zip(["tokenize", "mwt", "ner", "coref"], pipeline.processors))
    sentences = [s.replace(".", " .").replace(",", " ,").split() for s in TEXT.split(". ")]
    report = {}
    for size, count, busy in (("one", 1, True), ("short", 5, True), ("long", 50, False)):
        entries = [[{"id": i + 1, "text": w} for i, w in enumerate(sentences[k % 5])]
                   for k in range(count)]
        doc = stages["mwt"].process(Document.from_dict(entries))
        with BusyLoops() if busy else contextlib.nullcontext():
            report[size] = {name: counter.run(lambda: stages[name].process(
                Document.from_dict(doc.to_dict())))[1] for name in ("ner", "coref")}
    return report


def main():
    mode, model_dir, bundles, counter_path = sys.argv[1:5]
    probe = {"regions": regions, "fork": fork, "wide": wide}[mode]
    json.dump(probe(model_dir, json.loads(bundles), Counter(counter_path)), sys.stdout)


if __name__ == "__main__":
    main()
