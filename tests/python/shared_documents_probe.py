"""Shares documents between Python threads the ways users do, and prints as
JSON what every access gave. Run as a child process: a fault in the module
ends this process, not the test run.

    python shared_documents_probe.py SCENARIO BUNDLES_JSON TRIALS [MODEL_DIR]

Scenarios:
    reader    the multi-word rewrite re-running on a document of 10 sentences
              of 200 words while this thread writes its CoNLL-U and reads its
              words' text in a loop
    writers   two threads running one processor on one document at once,
              behind a barrier, for every processor that writes documents
    mixed     a writer against a reader that converts, iterates and sets
    aliases   `a` and `b = mwt.process(a)` handed to two threads
    battery   every access to a document and its views while a call in
              another thread annotates it
Every access must complete or be refused with the one RuntimeError; each
other outcome is listed under "unexpected", and the process exits 1.
"""

import json
import sys
import threading
import traceback

import _velmora
from _velmora import Document
from thread_probe import TEXT, document_values

REFUSED = "document is being annotated by a call in another thread"
CLASSES = {"tokenize": "TokenizeProcessor", "langid": "LangIDProcessor", "mwt": "MWTProcessor",
           "pos": "POSProcessor", "lemma": "LemmaProcessor", "depparse": "DepparseProcessor",
           "ner": "NERProcessor", "sentiment": "SentimentProcessor",
           "constituency": "ConstituencyProcessor", "coref": "CorefProcessor",
           "morphseg": "MorphSegProcessor"}
# The order in which they annotate the shared input document.
ORDER = ["tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment", "constituency",
         "coref", "morphseg", "langid"]
WORDS = ("don't we ' ll can't she's I'm gonna its the cat sat on a mat and they "
         "wouldn't say so").split()
UNEXPECTED = []


class Outcomes:
    """Counts what the accesses gave; anything but a result or the refusal
    (or an error in `allowed`) is recorded as unexpected."""

    def __init__(self):
        self.done = 0
        self.refused = 0

    def run(self, what, call, allowed=()):
        try:
            result = call()
        except Exception as error:  # noqa: BLE001 - every other outcome is a finding
            if type(error) is RuntimeError and str(error) == REFUSED:
                self.refused += 1
            elif isinstance(error, allowed):
                self.done += 1
            else:
                UNEXPECTED.append(f"{what}: {traceback.format_exc(limit=3)}")
            return None
        self.done += 1
        return result


def in_threads(*targets):
    """Runs each target on a thread of its own, all released together."""
    barrier = threading.Barrier(len(targets))

    def run(target):
        barrier.wait()
        target()

    threads = [threading.Thread(target=run, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    return threads


def load(bundles):
    return {name: getattr(_velmora, CLASSES[name])(bundles[name]) for name in CLASSES}


def annotated(stages):
    """TEXT through every processor: the input of the stages after mwt."""
    doc = Document(TEXT)
    for name in ORDER:
        doc = stages[name].process(doc)
    return doc.to_dict()


def marked(sentences, words):
    """Single-word tokens, every other one marked for the multi-word rewrite."""
    return [[{"id": i + 1, "text": WORDS[(s + i) % len(WORDS)]} |
             ({"misc": "MWT=Yes"} if i % 2 == 0 else {}) for i in range(words)]
            for s in range(sentences)]


def inputs(stages):
    full = annotated(stages)
    tokenized = stages["tokenize"].process(Document(TEXT)).to_dict()
    make = {"tokenize": lambda: Document(TEXT), "langid": lambda: Document(TEXT),
            "mwt": lambda: Document.from_dict(tokenized)}
    return {name: make.get(name, lambda: Document.from_dict(full)) for name in CLASSES}


def sequential(processor, make):
    """What one run and two runs in a row leave, and the error a second run
    raises, if any."""
    once = processor.process(make())
    states = [document_values(once)]
    errors = ()
    try:
        states.append(document_values(processor.process(once)))
    except Exception as error:  # noqa: BLE001 - a refusal the concurrent runs may meet too
        errors = (type(error),)
    return states, errors


def reader(stages, trials, *_):
    mwt = stages["mwt"]
    source = marked(10, 200)
    before = Document.from_dict(source)
    states = {before.to_conll()}
    states |= {mwt.process(before).to_conll()}
    texts = {w.text for s in Document.from_dict(source).sentences for w in s.words}
    texts |= {w.text for s in before.sentences for w in s.words}
    outcome = Outcomes()
    for _ in range(trials):
        doc = Document.from_dict(source)
        writer = Outcomes()
        threads = in_threads(lambda: [writer.run("mwt", lambda: mwt.process(doc))
                                      for _ in range(3)])
        while threads[0].is_alive():
            conll = outcome.run("to_conll", doc.to_conll)
            if conll is not None and conll not in states:
                UNEXPECTED.append("to_conll gave a state no run leaves")
            words = outcome.run("words", lambda: [w for s in doc.sentences for w in s.words])
            for word in words or []:
                text = outcome.run("text", lambda: word.text, IndexError)
                if text is not None and text not in texts:
                    UNEXPECTED.append(f"a word read as {text!r}")
        threads[0].join()
        if writer.refused or doc.to_conll() not in states:
            UNEXPECTED.append("the rewrite was refused or left another state")
    return {"done": outcome.done, "refused": outcome.refused}


def writers(stages, trials, *_):
    report = {}
    make = inputs(stages)
    for name in CLASSES:
        processor = stages[name]
        states, errors = sequential(processor, make[name])
        outcome = Outcomes()
        initial = document_values(make[name]())
        for _ in range(trials):
            doc = make[name]()
            results = []
            threads = in_threads(*[lambda: results.append(
                outcome.run(name, lambda: processor.process(doc), errors))] * 2)
            for thread in threads:
                thread.join()
            # The tokenizer gives a raw document's words in a new document.
            given = [r for r in results if r is not None]
            in_place = any(r == doc for r in given)
            if document_values(doc) not in (states if in_place else [initial]) or \
                    any(document_values(r) not in states for r in given):
                UNEXPECTED.append(f"{name} left a state no sequential run leaves")
        report[name] = {"done": outcome.done, "refused": outcome.refused}
    return report


def mixed(stages, trials, *_):
    """pos and ner rewrite tags and entities; the reader converts, iterates
    and sets what they do not write (lemmas, misc, sentiment)."""
    make = inputs(stages)["pos"]
    expected = stages["ner"].process(stages["pos"].process(make()))
    tags = [(w.upos, w.xpos, w.feats) for w in expected.iter_words()]
    outcome = Outcomes()
    for _ in range(trials):
        doc = make()
        writer = Outcomes()
        threads = in_threads(lambda: [writer.run(n, lambda: stages[n].process(doc))
                                      for n in ("pos", "ner", "pos")])
        while threads[0].is_alive():
            outcome.run("to_conll", doc.to_conll)
            outcome.run("to_dict", doc.to_dict)
            outcome.run("ents", lambda: [(e.text, e.type) for e in doc.ents], IndexError)
            for sentence in outcome.run("sentences", lambda: list(doc.sentences)) or []:
                outcome.run("sentiment", lambda: setattr(sentence, "sentiment", 1))
                for word in outcome.run("words", lambda: list(sentence.words)) or []:
                    outcome.run("lemma", lambda: setattr(word, "lemma", "seen"))
                    outcome.run("misc", lambda: setattr(word, "misc", "Seen=Yes"))
                    outcome.run("upos", lambda: word.upos)
        threads[0].join()
        if writer.refused or [(w.upos, w.xpos, w.feats) for w in doc.iter_words()] != tags:
            UNEXPECTED.append("a writer was refused or its tags were lost")
        if {w.lemma for w in doc.iter_words()} - {"seen"} - {w.lemma for w in make().iter_words()}:
            UNEXPECTED.append("a lemma is neither the old one nor the one set")
    return {"done": outcome.done, "refused": outcome.refused}


def aliases(stages, trials, *_):
    mwt, pos = stages["mwt"], stages["pos"]
    make = inputs(stages)["mwt"]
    rewritten = mwt.process(make())
    states = [document_values(rewritten), document_values(pos.process(rewritten)),
              document_values(mwt.process(rewritten))]
    outcome = Outcomes()
    for _ in range(trials):
        a = make()
        b = mwt.process(a)
        threads = in_threads(lambda: outcome.run("mwt a", lambda: mwt.process(a)),
                             lambda: outcome.run("pos b", lambda: pos.process(b)),
                             lambda: outcome.run("b", lambda: document_values(b)))
        for thread in threads:
            thread.join()
        if document_values(a) not in states:
            UNEXPECTED.append("a and b ended in a state no sequential run leaves")
    return {"done": outcome.done, "refused": outcome.refused}


def accesses(doc):
    """Every access to `doc` and its views, as (name, call), each view and
    sequence made beforehand; setters write back the value read now."""
    sentence = doc.sentences[0]
    token, word, span = sentence.tokens[0], sentence.words[0], doc.ents[0]
    found = []
    for label, view, names in (
            ("doc", doc, "text codepoint_count lang sentences ents entities num_tokens num_words "
                         "coref"),
            ("sentence", sentence, "index id sent_id speaker doc_id text doc tokens words "
                                   "empty_words all_words ents entities sentiment constituency "
                                   "comments dependencies"),
            ("token", token, "id text misc ner multi_ner start_char end_char manual_expansion "
                             "spaces_before spaces_after words sent"),
            ("word", word, "id text lemma upos pos xpos feats head deprel deps misc start_char "
                           "end_char manual_expansion morphemes coref_chains parent sent"),
            ("span", span, "text type start_char end_char tokens words sent doc")):
        for name in names.split():
            found.append((f"{label}.{name}", lambda v=view, n=name: getattr(v, n)))
            prop = getattr(type(view), name)
            if getattr(prop, "fset", None) is not None:
                value = getattr(view, name)
                found.append((f"{label}.{name}=", lambda v=view, n=name, x=value: setattr(v, n, x)))
        for method in ("to_dict", "to_conll", "is_mwt", "get_roots", "pretty_print",
                       "iter_words", "iter_tokens", "rebuild_entities"):
            if hasattr(view, method):
                found.append((f"{label}.{method}()", getattr(view, method)))
        found.append((f"repr({label})", lambda v=view: repr(v)))
        if hasattr(type(view), "__format__") and label in ("doc", "sentence"):
            found.append((f"format({label})", lambda v=view: format(v, "c")))
    found.append(("doc.byte_offset(0)", lambda: doc.byte_offset(0)))
    for label, sequence in (("sentences", doc.sentences), ("words", sentence.words),
                            ("tokens", sentence.tokens), ("ents", doc.ents),
                            ("all_words", sentence.all_words)):
        iterator = iter(sequence)
        element = sequence[0]
        found += [(f"len({label})", lambda s=sequence: len(s)),
                  (f"{label}[0]", lambda s=sequence: s[0]),
                  (f"{label}[:1]", lambda s=sequence: s[:1]),
                  (f"iter({label})", lambda s=sequence: iter(s)),
                  (f"reversed({label})", lambda s=sequence: reversed(s)),
                  (f"in {label}", lambda s=sequence, e=element: e in s),
                  (f"repr({label})", lambda s=sequence: repr(s)),
                  (f"next(iter({label}))", lambda i=iterator: next(i))]
    return found


def battery(stages, trials, model_dir):
    """A long pos call runs on another thread; once this thread sees it in
    flight, every access must be refused, until the call is seen still in
    flight afterwards. Comparing and hashing views reads no storage and
    still works. The call's size grows until such a window is caught."""
    pos = stages["pos"]
    make = inputs(stages)["pos"]
    pipeline = _velmora.Pipeline("en", "tokenize,mwt,pos", model_dir=model_dir)
    words = [{"id": i + 1, "text": WORDS[i % len(WORDS)]} for i in range(40)]
    for scale in range(trials):
        doc = Document.from_dict([words] * (100 * 2 ** scale))
        doc.sentences[0].tokens[0].ner = "S-PER"
        doc.rebuild_entities()
        found = accesses(doc)
        word, other = doc.sentences[0].words[0], doc.sentences[0].words[0]
        spare = make()
        thread = threading.Thread(target=lambda: pos.process(doc))
        thread.start()
        while thread.is_alive() and Outcomes().run("probe", lambda: doc.num_words) is not None:
            pass
        results = {}
        for name, call in found + [("pos", lambda: pos.process(doc)),
                                   ("pos(doc)", lambda: pos(doc)),
                                   ("bulk", lambda: pos.bulk_process([spare, doc])),
                                   ("pipeline", lambda: pipeline(doc)),
                                   ("pipeline bulk", lambda: pipeline.bulk_process([spare, doc]))]:
            try:
                call()
                results[name] = "done"
            except RuntimeError as error:
                results[name] = str(error)
        same = word == other and hash(word) == hash(other) and len({word, other}) == 1
        spare_free = Outcomes().run("spare", lambda: spare.num_words) is not None
        in_flight = Outcomes().run("probe", lambda: doc.num_words) is None
        thread.join()
        if in_flight:
            after = Outcomes()
            for name, call in found:
                after.run(name, call, (IndexError, StopIteration))
            return {"results": results, "same": same, "spare_free": spare_free,
                    "after": {"done": after.done, "refused": after.refused},
                    "accesses": len(found)}
    return {"results": None}


def main():
    scenario, bundles, trials = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3])
    run = {"reader": reader, "writers": writers, "mixed": mixed, "aliases": aliases,
           "battery": battery}[scenario]
    report = run(load(bundles), trials, *sys.argv[4:])
    json.dump({"report": report, "unexpected": UNEXPECTED[:20]}, sys.stdout)
    sys.exit(1 if UNEXPECTED else 0)


if __name__ == "__main__":
    main()
