"""Runs one call of every processor, and of a pipeline of them all, over a
short text and over one ten times as long, and prints as JSON what each call
gave and how many parallel regions it opened (from the preloaded region
counter). Run as a child process: the thread count is the environment's.

    python thread_probe.py MODEL_DIR BUNDLES_JSON COUNTER_LIBRARY
"""

import ctypes
import json
import sys

from _velmora import CorefPlan, Document, Pipeline

# Every processor, the language identifier after the tokenizer (which gives
# its document the bundle's language).
ORDER = ["tokenize", "langid", "mwt", "pos", "lemma", "depparse", "ner", "sentiment",
         "constituency", "coref", "morphseg"]

TEXT = ("Mary Smith met John Brown in Paris on Monday. She told him that the new bridge "
        "was finished. He did not believe her, so they walked there together. The river "
        "looked calm and the city was quiet. Afterwards John wrote a long letter to his "
        "sister in London.")


def main():
    model_dir, bundles, counter_path = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
    counter = ctypes.CDLL(counter_path)
    counter.velmora_team_regions.restype = ctypes.c_long

    def counted(call):
        before = counter.velmora_team_regions()
        result = call()
        return result, counter.velmora_team_regions() - before

    pipeline = Pipeline("en", ",".join(ORDER), model_dir=model_dir)
    stages = dict(zip(ORDER, pipeline.processors))
    coref = CorefPlan(bundles["coref"], False)
    report = {}
    for size, repeat in (("short", 1), ("long", 10)):
        text = " ".join([TEXT] * repeat)
        # Known sentences and words for the stages after the tokenizer, whose
        # random weights cut sentences anywhere.
        sentences = [s.replace(".", " .").replace(",", " ,").split()
                     for s in text.split(". ") if s]
        entries = [[{"id": i + 1, "text": w} for i, w in enumerate(s)] for s in sentences]
        calls = {}

        def record(name, call, show=repr):
            result, regions = counted(call)
            calls[name] = {"result": show(result), "regions": regions}
            return result

        def document_values(doc):
            # The CoNLL-U and what it does not carry; the chains as word
            # positions (their dictionary form repeats a chain's text at
            # every word it covers).
            return [doc.to_conll(), [(s.sentiment, str(s.constituency)) for s in doc.sentences],
                    doc.lang, [(e.type, e.text) for e in doc.entities],
                    [[(m.sentence, m.start_word, m.end_word) for m in c.mentions]
                     for c in doc.coref]]

        record("pipeline", lambda: pipeline(text), document_values)
        record("bulk_process", lambda: pipeline.bulk_process([text, TEXT, text]),
               lambda docs: [document_values(d) for d in docs])
        record("tokenize", lambda: stages["tokenize"].process(Document(text)), document_values)
        record("langid", lambda: stages["langid"].process(Document(text)), document_values)
        # Each later stage alone over what the stages before it gave.
        doc = Document.from_dict(entries)
        for name in ORDER[2:]:
            doc = record(name, lambda: stages[name].process(doc), document_values)
        words = [w.text for s in doc.sentences for w in s.words]
        record("identify_many", lambda: stages["langid"].identify_many(
            [" ".join(s) for s in sentences]))
        record("predict_labels", lambda: stages["tokenize"].predict_labels(text))
        record("expand", lambda: [stages["mwt"].expand(w) for w in words[:20]])
        record("lemmatize", lambda: stages["lemma"].lemmatize(words[0], "NOUN"))
        record("tag", lambda: stages["ner"].tag(words))
        record("classify_many", lambda: stages["sentiment"].classify_many(sentences, 5000))
        record("parse_many", lambda: stages["constituency"].parse_many(
            sentences, [[w.xpos if stages["constituency"].uses_xpos else w.upos for w in s.words]
                        for s in doc.sentences]), lambda trees: [str(t) for t in trees])
        record("resolve", lambda: coref.resolve(
            words, [i for i, s in enumerate(sentences) for _ in s], []),
            lambda p: [p.word_clusters, p.span_clusters, p.zero_words])
        record("segment_many", lambda: stages["morphseg"].segment_many(words))
        report[size] = calls
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    main()
