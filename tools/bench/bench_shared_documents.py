"""What the bindings' guards (the document guard, and the release of the
interpreter lock that tracks calls for exit and fork) cost a correct caller:
two builds side by side on

  attributes  a loop that reads every attribute of every word of the 318 EWT
              dev documents, built with Document.from_dict from the treebank;
  pipeline    one bulk call of a pipeline (by default the default processors)
              over the raw text of those documents.

    <python3.12> tools/bench/bench_shared_documents.py --build DIR --before DIR
        [--rounds N] [--repeat N] [--model-dir DIR] [--processors LIST]
        [--treebank FILE] [--skip attributes,pipeline] [--instructions]

Every measurement is a fresh process of this interpreter importing _velmora
from <build>/python, one thread; the builds alternate within each round, so
that both meet the same load. Each process reports the least processor time
of --repeat runs;
the table gives per build the best and the median over the rounds, and the
ratio of the guarded build (--build) to the other (--before). The pipeline
needs a model directory (--model-dir: tools/models/build_models.py builds
one, or a fixture index); without one it is skipped.

With --instructions, the attribute loop is also counted in instructions under
valgrind's callgrind (one pass and two passes in each build, the difference
being one pass): a figure that a busy machine does not blur.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))

from machine import cpu_model  # noqa: E402

EWT_DEV = ROOT.parent / "shared" / "data" / "ud-en-ewt" / "en_ewt-ud-dev.conllu"
WORD_KEYS = ("lemma", "upos", "xpos", "feats", "head", "deprel", "deps", "misc")


def treebank(path):
    """The documents of a CoNLL-U file in the dictionary form, and their raw
    texts (sentence texts joined by a space)."""
    documents, texts = [], []
    entries, text = [], None
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines() + [""]:
        if line.startswith("# newdoc") or not documents:
            documents.append([])
            texts.append([])
        if line.startswith("# text = "):
            text = line[len("# text = "):]
        if line.startswith("#"):
            continue
        if not line:
            if entries:
                documents[-1].append(entries)
                texts[-1].append(text or "")
            entries, text = [], None
            continue
        columns = line.split("\t")
        ident = columns[0]
        if "-" in ident:
            first, last = ident.split("-")
            entry = {"id": (int(first), int(last)), "text": columns[1]}
        else:
            entry = {"id": tuple(map(int, ident.split("."))) if "." in ident else int(ident),
                     "text": columns[1]}
            for key, value in zip(WORD_KEYS, columns[2:]):
                if value != "_":
                    entry[key] = int(value) if key == "head" else value
        if columns[9] != "_":
            entry["misc"] = columns[9]
        entries.append(entry)
    pairs = [(d, " ".join(t)) for d, t in zip(documents, texts) if d]
    return [d for d, _ in pairs], [t for _, t in pairs]


def best_seconds(run, repeat):
    """The least processor time (this process's, all threads) of `repeat`
    runs: on a shared machine it leaves out the time spent waiting for a
    core."""
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return best


def read_every_attribute(documents):
    count = 0
    for doc in documents:
        for sentence in doc.sentences:
            for word in sentence.words:
                (word.id, word.text, word.lemma, word.upos, word.pos, word.xpos, word.feats,
                 word.head, word.deprel, word.deps, word.misc, word.start_char, word.end_char,
                 word.manual_expansion, word.morphemes, word.coref_chains, word.parent,
                 word.sent)
                count += 1
    return count


def child(measure, repeat, model_dir, processors, path):
    import _velmora

    documents, texts = treebank(path)
    if measure == "passes":
        docs = [_velmora.Document.from_dict(d) for d in documents]
        for _ in range(repeat):
            read_every_attribute(docs)
        return
    if measure == "attributes":
        docs = [_velmora.Document.from_dict(d) for d in documents]
        words = read_every_attribute(docs)
        seconds = best_seconds(lambda: read_every_attribute(docs), repeat)
    else:
        pipeline = _velmora.Pipeline("en", processors, model_dir=model_dir)
        pipeline.process(texts[:3])
        words = sum(d.num_words for d in pipeline.process(texts))
        seconds = best_seconds(lambda: pipeline.process(texts), repeat)
    print(f"documents={len(documents)} words={words} seconds={seconds}")


def measure(build, what, args):
    env = dict(os.environ, PYTHONPATH=str(build / "python"), OMP_NUM_THREADS="1")
    command = [sys.executable, __file__, "--child", what, "--repeat", str(args.repeat),
               "--processors", args.processors, "--treebank", str(args.treebank)]
    if args.model_dir:
        command += ["--model-dir", str(args.model_dir)]
    out = subprocess.run(command, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"{what} with {build} failed:\n{out.stderr[-3000:]}")
    return dict(item.split("=", 1) for item in out.stdout.split())


def instructions(build, passes, args):
    """Instructions that valgrind's callgrind counts in a child reading every
    attribute `passes` times."""
    env = dict(os.environ, PYTHONPATH=str(build / "python"), OMP_NUM_THREADS="1")
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          sys.executable, __file__, "--child", "passes", "--repeat", str(passes),
                          "--treebank", str(args.treebank)], env=env, capture_output=True,
                         text=True)
    found = re.search(r"Collected : (\d+)", out.stderr)
    if out.returncode != 0 or not found:
        sys.exit(f"callgrind with {build} failed:\n{out.stderr[-3000:]}")
    return int(found.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--before", type=pathlib.Path)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--model-dir", type=pathlib.Path)
    parser.add_argument("--processors", default="tokenize,mwt,pos,lemma,depparse")
    parser.add_argument("--treebank", type=pathlib.Path, default=EWT_DEV)
    parser.add_argument("--skip", default="")
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--child")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.repeat, args.model_dir, args.processors, args.treebank)
        return
    if not args.treebank.is_file():
        sys.exit(f"the EWT dev treebank is required: {args.treebank}")
    builds = [("guarded", args.build)] + ([("before", args.before)] if args.before else [])
    measures = [m for m in ("attributes", "pipeline") if m not in args.skip.split(",")]
    if not args.model_dir and "pipeline" in measures:
        print("pipeline: skipped, no --model-dir")
        measures.remove("pipeline")
    print(f"{os.cpu_count()} cores ({cpu_model()}), load {os.getloadavg()[0]:.2f} at start")
    for what in measures:
        seconds = {label: [] for label, _ in builds}
        load = [os.getloadavg()[0]]
        for round_ in range(args.rounds):
            for label, build in builds if round_ % 2 == 0 else builds[::-1]:
                row = measure(build, what, args)
                seconds[label].append(float(row["seconds"]))
            load.append(os.getloadavg()[0])
        print(f"{what}: {row['documents']} documents, {row['words']} words, "
              f"{args.rounds} rounds, best of {args.repeat} each, "
              f"load {min(load):.2f}-{max(load):.2f}")
        for label, values in seconds.items():
            print(f"  {label:8} best {min(values):.4f} s, median {statistics.median(values):.4f} s")
        if args.before:
            after, before = seconds["guarded"], seconds["before"]
            print(f"  guarded/before: best {min(after) / min(before):.4f}, "
                  f"median {statistics.median(after) / statistics.median(before):.4f}")
    if args.instructions:
        per_pass = {label: instructions(build, 2, args) - instructions(build, 1, args)
                    for label, build in builds}
        print("attributes, instructions of one pass (callgrind): " +
              ", ".join(f"{label} {count:,}" for label, count in per_pass.items()) +
              (f"; guarded/before {per_pass['guarded'] / per_pass['before']:.4f}"
               if args.before else ""))


if __name__ == "__main__":
    main()
