"""Model calls in other threads at the moments a process's life changes. Run
as a child process: a fault in the module ends this process, not the test run.

    python process_life_probe.py exit FORM BUNDLES_JSON MODEL_DIR STATUS
        A daemon thread runs FORM in a loop: "document" pos(doc), "bulk"
        pos.bulk_process([doc, doc]), "text" pipeline.process(text) over the
        default processors. Once it is inside a call, and a random while
        after, the main thread prints the monotonic time and ends with
        sys.exit(STATUS). An exit function registered before the module was
        imported, so run after the module's own, makes one more call on the
        main thread and prints "called at exit".
    python process_life_probe.py join ORDER BUNDLES_JSON SENTENCES
        A daemon thread tags a document of SENTENCES sentences once; once
        it is inside that call, and a random while after, the main thread
        ends with sys.exit(0). An exit function registered ORDER ("before"
        or "after") the module was imported joins the thread, then makes a
        call of its own, and prints as JSON the words the thread's call
        tagged, whether that call was still running when the main thread
        ended, and the words its own call tagged (then "called at exit"
        when ORDER is "before").
    python process_life_probe.py early STATUS WAY BUNDLES_JSON
        Python code runs atexit's functions itself (WAY "run":
        atexit._run_exitfuncs()) or drops them (WAY "clear"); then a thread
        makes a call and is joined, and prints "joined"; then, as in "exit",
        the main thread ends with sys.exit(STATUS) while a daemon thread
        calls in a loop.
    python process_life_probe.py fork-exit WAY BUNDLES_JSON TRIALS
        A daemon thread holds a document and a tagger, and tags its document
        in a loop (WAY "call") or waits (WAY "wait"), while the main thread
        forks TRIALS children at random moments, each of which ends with
        sys.exit(0). Prints the children's exit statuses as JSON.
    python process_life_probe.py fork BUNDLES_JSON TRIALS
        Three threads run the tagger on documents of their own in a loop
        while the main thread, which never makes a call, forks TRIALS
        children at random moments. Each child tags a new document, loads
        the tagger again and reads the threads' documents, and the parent
        prints as JSON what each child got.
"""

import atexit
import json
import os
import random
import signal
import sys
import threading
import time
import warnings

AT_EXIT = []


@atexit.register
def call_at_exit():
    for call in AT_EXIT:
        call()
        print("called at exit", flush=True)



from _velmora import Document, Pipeline, POSProcessor  # noqa: E402
from thread_probe import TEXT, in_forked_child  # noqa: E402

# What a child may get from a call or a read, besides the right result.
FORKED_CALL = ("model calls are refused in a process forked while another thread was inside "
               "one, as the libraries that call used may stay locked for ever: start worker "
               "processes with the 'spawn' or 'forkserver' method, or fork before threads "
               "start calling")
FORKED_DOCUMENT = ("document was being annotated by a call in another thread when this process "
                   "was forked, and may be half-written")
# A child that hangs is killed after this long.
CHILD_SECONDS = 60


def tagger_input(sentences):
    words = [s.replace(".", " .").replace(",", " ,").split() for s in TEXT.split(". ")]
    return [[{"id": i + 1, "text": w} for i, w in enumerate(words[k % len(words)])]
            for k in range(sentences)]


def exit_while_calling(form, bundles, model_dir, status):
    if form == "text":
        pipeline = Pipeline("en", model_dir=model_dir)
        text = " ".join([TEXT] * 100)
        call = lambda: pipeline.process(text)  # noqa: E731
        AT_EXIT.append(lambda: pipeline.process(TEXT))
    else:
        pos = POSProcessor(bundles["pos"])
        doc = Document.from_dict(tagger_input(1000))
        if form == "document":
            call = lambda: pos(doc)  # noqa: E731
        else:
            call = lambda: pos.bulk_process([doc, doc])  # noqa: E731
        AT_EXIT.append(lambda: pos(Document.from_dict(tagger_input(5))))
    inside = threading.Event()

    def work():
        while True:
            inside.set()
            call()

    threading.Thread(target=work, daemon=True).start()
    inside.wait()
    time.sleep(random.uniform(0.0, 0.3))
    print(time.monotonic(), flush=True)
    sys.exit(status)


def tagged_words(doc):
    return sum("upos" in entry for sentence in doc.to_dict() for entry in sentence)


def join_at_exit(order, bundles, sentences):
    pos = POSProcessor(bundles["pos"])
    doc = Document.from_dict(tagger_input(sentences))
    found = {}

    def work():
        inside.set()
        found["thread"] = tagged_words(pos(doc))
        found["after_exit"] = "exit" in found

    def join():
        worker.join()
        found["own"] = tagged_words(pos(Document.from_dict(tagger_input(5))))
        found.pop("exit")
        print(json.dumps(found), flush=True)

    if order == "before":
        AT_EXIT.append(join)
    else:
        atexit.register(join)
    inside = threading.Event()
    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    inside.wait()
    time.sleep(random.uniform(0.0, 0.1))
    found["exit"] = True
    sys.exit(0)


def exit_functions_run_early(status, way, bundles):
    pos = POSProcessor(bundles["pos"])
    doc = Document.from_dict(tagger_input(300))
    if way == "run":
        atexit._run_exitfuncs()
    else:
        atexit._clear()
    worker = threading.Thread(target=lambda: pos(doc))
    worker.start()
    worker.join()
    print("joined", flush=True)
    inside = threading.Event()

    def work():
        while True:
            inside.set()
            pos(doc)

    threading.Thread(target=work, daemon=True).start()
    inside.wait()
    time.sleep(random.uniform(0.0, 0.1))
    sys.exit(status)


def fork_and_exit(way, bundles, trials):
    pos = POSProcessor(bundles["pos"])
    stop = threading.Event()

    def work():
        doc = Document.from_dict(tagger_input(40))
        while not stop.is_set():
            if way == "call":
                pos(doc)
            else:
                stop.wait()

    threading.Thread(target=work, daemon=True).start()
    warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
    statuses = []
    for _ in range(trials):
        time.sleep(random.uniform(0.01, 0.1))
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        killer = threading.Timer(CHILD_SECONDS, os.kill, (pid, signal.SIGKILL))
        killer.start()
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        killer.cancel()
    stop.set()
    json.dump(statuses, sys.stdout)


def child_outcome(action):
    try:
        return ["done", action()]
    except RuntimeError as error:
        return ["refused", str(error)]


def forked_child(pos, path, expected, documents):
    def tag(tagger):
        return tagger(Document.from_dict(expected[0])).to_dict() == expected[1]

    return {"call": child_outcome(lambda: tag(pos)),
            "documents": [child_outcome(lambda d=d: len(d.to_dict())) for d in documents],
            "load": child_outcome(lambda: tag(POSProcessor(path)))}


def fork_while_calling(bundles, trials):
    pos = POSProcessor(bundles["pos"])
    entries = tagger_input(5)
    # The forking thread makes no call, as in a server whose request threads
    # annotate: even the expected result comes from another thread.
    found = []
    first = threading.Thread(target=lambda: found.append(pos(Document.from_dict(entries))))
    first.start()
    first.join()
    expected = (entries, found[0].to_dict())
    documents = [Document.from_dict(tagger_input(40)) for _ in range(3)]
    stop = threading.Event()

    def work(doc):
        while not stop.is_set():
            pos(doc)

    workers = [threading.Thread(target=work, args=(d,)) for d in documents]
    # Forking here is the point.
    warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
    for worker in workers:
        worker.start()
    children = []
    for _ in range(trials):
        time.sleep(random.uniform(0.01, 0.2))
        status, report = in_forked_child(
            lambda: forked_child(pos, bundles["pos"], expected, documents), CHILD_SECONDS)
        children.append({"status": status, "report": report})
    stop.set()
    for worker in workers:
        worker.join()
    json.dump({"children": children}, sys.stdout)


def main():
    mode = sys.argv[1]
    if mode == "exit":
        form, bundles, model_dir, status = sys.argv[2:6]
        exit_while_calling(form, json.loads(bundles), model_dir, int(status))
    elif mode == "join":
        order, bundles, sentences = sys.argv[2:5]
        join_at_exit(order, json.loads(bundles), int(sentences))
    elif mode == "early":
        status, way, bundles = sys.argv[2:5]
        exit_functions_run_early(int(status), way, json.loads(bundles))
    elif mode == "fork-exit":
        way, bundles, trials = sys.argv[2:5]
        fork_and_exit(way, json.loads(bundles), int(trials))
    else:
        bundles, trials = sys.argv[2:4]
        fork_while_calling(json.loads(bundles), int(trials))


if __name__ == "__main__":
    main()
