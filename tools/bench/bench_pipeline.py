"""A pipeline (by default "tokenize,mwt,pos,lemma,depparse"; --processors all
runs every processor) on the raw text of the EWT dev treebank: native from
C++ and from Python against the chained PyTorch references, on the bundles of
tools/models/build_models.py.

    <torch-python> tools/bench/bench_pipeline.py [--build DIR] [--model-dir DIR]
        [--processors LIST|all] [--bulk-only]
        [--threads 1,8] [--scaling-threads 1,2,4,8] [--repeat N] [--docs N]
        [--skip throughput,load,scaling,reference,agreement]

Measures, all in one run so that the ratios compare like with like:
  throughput  words per second of process_bulk over all documents and of
              process document by document, per thread count: C++
              (velmora_bench_pipeline), Python (_velmora under the 3.12
              interpreter, its thread count set through OMP_NUM_THREADS) and
              the reference chain (tools/models/reference.py), with the
              seconds of every stage;
  load        construction seconds and resident memory right after it and
              after the first document, native (C++ and Python) against
              reading the same bundles into the reference modules, each in a
              fresh process;
  scaling     words per second of process against document length (10 to
              100,000 words, cut from the treebank text) and thread count;
  agreement   how often the native annotations (from Python) equal the
              reference's: word by word, and per sentence, token or
              document for the other processors' annotations.
With --bulk-only, throughput measures process_bulk alone (C++ through its
stages mode, whose stage seconds add up to the call), as a whole pipeline
over the treebank takes long.
The native side needs `cmake --build <build> --target velmora_bench_pipeline`
and the module (`_velmora`) in <build>/python.

Run by the 3.12 interpreter with --native-python, the script is the Python
side's driver (it imports no torch then).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODELS = ROOT / "tools" / "models"
SEPARATOR = "\n\x1e\n"
LENGTHS = "10,100,1000,10000,100000"
PROCESSORS = "tokenize,mwt,pos,lemma,depparse"
# Every processor: the language identifier after the tokenizer, which gives
# its document the bundle's language.
EVERY = "tokenize,langid,mwt,pos,lemma,depparse,ner,sentiment,constituency,coref,morphseg"


def memory_kib():
    values = {}
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile"):
                values[key] = int(rest.split()[0])
    return values


def fields(when, values):
    return " ".join(f"{when}_{k}={v}" for k, v in sorted(values.items()))


def read_documents(path):
    return [t for t in pathlib.Path(path).read_text(encoding="utf-8").split(SEPARATOR) if t]


def write_documents(path, texts):
    pathlib.Path(path).write_text(SEPARATOR.join(texts), encoding="utf-8")


def parse_line(line):
    return dict(item.split("=", 1) for item in line.split() if "=" in item)


# --- the Python side (3.12 interpreter, _velmora) --------------------------------------


def native_python(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["throughput", "load", "dump"])
    parser.add_argument("model_dir")
    parser.add_argument("documents")
    parser.add_argument("--processors", default=PROCESSORS)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--bulk-only", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args(argv)
    texts = read_documents(args.documents)
    before = memory_kib()
    import _velmora

    imported = memory_kib()
    start = time.perf_counter()
    pipeline = _velmora.Pipeline("en", processors=args.processors, model_dir=args.model_dir)
    construct = time.perf_counter() - start
    if args.mode == "load":
        constructed = memory_kib()
        start = time.perf_counter()
        pipeline.process(texts[0])
        first = time.perf_counter() - start
        after_first = memory_kib()
        pipeline.process(texts)
        print("load", fields("before", before), fields("imported", imported),
              f"construct_seconds={construct}", fields("constructed", constructed),
              f"first_seconds={first}", fields("first", after_first),
              fields("all", memory_kib()), flush=True)
        return
    if args.mode == "dump":
        docs = pipeline.process(texts)
        pathlib.Path(args.out).write_text(json.dumps([native_record(d) for d in docs]),
                                          encoding="utf-8")
        return

    def best(run):
        seconds = float("inf")
        for _ in range(args.repeat):
            start = time.perf_counter()
            run()
            seconds = min(seconds, time.perf_counter() - start)
        return seconds

    pipeline.process(texts[:10])
    words = 0

    def bulk_run():
        nonlocal words
        words = sum(d.num_words for d in pipeline.process(texts))

    bulk = best(bulk_run)
    line = (f"threads={os.environ.get('OMP_NUM_THREADS', '?')} words={words} "
            f"documents={len(texts)} bulk_seconds={bulk} bulk_wps={words / bulk}")
    if not args.bulk_only:
        each = best(lambda: [pipeline.process(t) for t in texts])
        line += f" process_seconds={each} process_wps={words / each}"
    print(line, flush=True)


def native_record(doc):
    """A document's annotations for the agreement pass: its CoNLL-U and
    what the CoNLL-U does not carry."""
    sentences = list(doc.sentences)
    return {
        "conll": doc.to_conll(),
        "lang": doc.lang,
        "ner": [[t.ner for t in s.tokens] for s in sentences],
        "sentiment": [s.sentiment for s in sentences],
        "trees": [None if s.constituency is None else str(s.constituency) for s in sentences],
        "morphemes": [[w.morphemes for w in s.words] for s in sentences],
        "coref": [{"mentions": [[m.sentence, list(m.start_word)]
                                if isinstance(m.start_word, tuple)
                                else [m.sentence, m.start_word, m.end_word] for m in c.mentions],
                   "text": c.representative_text, "index": c.representative_index}
                  for c in doc.coref],
    }


# --- the driver (torch interpreter) -------------------------------------------------------


def machine():
    model = "unknown"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = os.getloadavg()
    return (f"{os.cpu_count()} cores ({model}), {platform.system()} {platform.release()}, "
            f"load average at start {load[0]:.1f}")


def load_average():
    return f"{os.getloadavg()[0]:.1f}"


def run(command, env=None, what=""):
    """The key=value lines of a command, each with the load average at its
    start and end."""
    started, load = time.perf_counter(), load_average()
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"{what or command[0]} failed:\n{result.stderr}")
    print(f"  [{what}: {time.perf_counter() - started:.0f}s, load {load} -> {load_average()}]",
          file=sys.stderr, flush=True)
    return [dict(parse_line(line), load=f"{load}-{load_average()}")
            for line in result.stdout.splitlines() if "=" in line]


def python_env(build, threads=None):
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    return env


def scaling_documents(texts, length, budget):
    """Documents of `length` whitespace-separated words cut from the
    treebank documents run together (paragraph breaks kept), enough of them
    for `budget` words."""
    stream = "\n\n".join(texts)
    spans = [m.span() for m in re.finditer(r"\S+", stream)]
    count = max(1, budget // length)
    needed = count * length
    copies = -(-needed // len(spans))
    spans = [(a + k * (len(stream) + 2), b + k * (len(stream) + 2))
             for k in range(copies) for a, b in spans]
    stream = "\n\n".join([stream] * copies)
    return [stream[spans[i * length][0]:spans[(i + 1) * length - 1][1]] for i in range(count)]


def reference_load(model_dir, processors):
    """In a fresh torch process: seconds and memory of reading the bundles
    into the reference modules."""
    sys.path.insert(0, str(MODELS))
    import reference  # with torch: the baseline is the interpreter with torch loaded

    before = memory_kib()
    start = time.perf_counter()
    refs = reference.load_references(model_dir, processors.split(","))
    seconds = time.perf_counter() - start
    print("load", fields("before", before), f"construct_seconds={seconds}",
          fields("constructed", memory_kib()), flush=True)
    return refs


def reference_throughput(refs, texts, threads, repeat, bulk_only=False):
    """Per thread count: words, the best bulk seconds and stage seconds,
    and the seconds document by document; with the documents of the last
    bulk run."""
    import torch

    sys.path.insert(0, str(MODELS))
    import reference

    rows, docs = [], None
    for count in threads:
        torch.set_num_threads(count)
        reference.annotate(refs, texts[:10])
        best, stages, words = float("inf"), None, 0
        load = load_average()
        for _ in range(repeat):
            start = time.perf_counter()
            docs, seconds = reference.annotate(refs, texts)
            elapsed = time.perf_counter() - start
            if elapsed < best:
                best, stages, words = elapsed, seconds, reference.count_words(docs)
        each = float("nan")
        if not bulk_only:
            start = time.perf_counter()
            for text in texts:
                reference.annotate(refs, [text])
            each = time.perf_counter() - start
        rows.append({"threads": count, "words": words, "bulk_seconds": best,
                     "process_seconds": each, "stages": stages,
                     "load": f"{load}-{load_average()}"})
        print(f"  reference threads={count}: bulk {best:.1f}s, per document {each:.1f}s "
              f"{ {k: round(v, 2) for k, v in stages.items()} }", file=sys.stderr, flush=True)
    return rows, docs


def conll_words(conll):
    """The words of each sentence of a CoNLL-U text: [form, lemma, upos,
    xpos, feats, head, deprel]."""
    sentences = []
    for block in conll.strip("\n").split("\n\n"):
        words = []
        for line in block.splitlines():
            f = line.split("\t")
            if len(f) == 10 and f[0].isdigit():
                words.append([f[1], f[2], f[3], f[4], f[5], f[6], f[7]])
        if words:
            sentences.append(words)
    return sentences


WORD_FIELDS = ["lemma", "upos", "xpos", "feats", "head", "deprel"]
EXTRA_FIELDS = ["ner", "sentiment", "trees", "morphemes"]  # per aligned sentence


def agreement(docs, native):
    """Share of equal annotations between reference documents and native
    records (native_record): per word for the word fields, per token, tree,
    sentence and word for the other stages, over the sentences whose words
    both tokenized alike; language and coreference chains per document whose
    sentences all align."""
    same = dict.fromkeys(WORD_FIELDS + EXTRA_FIELDS + ["lang", "coref"], 0)
    total = dict.fromkeys(same, 0)
    aligned = sentences_total = 0
    for ref_doc, record in zip(docs, native):
        ref_sentences = [[w for t in s for w in t[2]] for s in ref_doc]
        nat_sentences = conll_words(record["conll"])
        sentences_total += len(ref_sentences)
        whole = len(ref_sentences) == len(nat_sentences)
        for k, (r, n) in enumerate(zip(ref_sentences, nat_sentences)):
            if [w[0] for w in r] != [w[0] for w in n]:
                whole = False
                continue
            aligned += 1
            for rw, nw in zip(r, n):
                ref_values = [rw[1] or "_", rw[2] or "_", rw[3] or "_", rw[4] or "_",
                              str(rw[5]), rw[6] or "_"]
                for name, a, b in zip(WORD_FIELDS, ref_values, nw[1:]):
                    same[name] += a == b
                    total[name] += 1
            for name in EXTRA_FIELDS:
                values = getattr(ref_doc, name)
                if values is None:
                    continue
                a, b = values[k], record[name][k]
                if name in ("ner", "morphemes"):  # per token, per word
                    same[name] += sum(x == y for x, y in zip(a, b))
                    total[name] += len(a)
                else:
                    same[name] += a == b
                    total[name] += 1
        if ref_doc.lang is not None:
            same["lang"] += ref_doc.lang == record["lang"]
            total["lang"] += 1
        if ref_doc.coref is not None and whole:
            same["coref"] += ref_doc.coref == record["coref"]
            total["coref"] += 1
    return {"sentences": sentences_total, "aligned": aligned, "words": total["lemma"],
            **{k: same[k] / total[k] for k in same if total[k]},
            "counts": {k: total[k] for k in total if total[k]}}


def bundle_bytes(model_dir, processors):
    """Bytes of the bundles of `processors` in the model directory."""
    total = 0
    for name in processors.split(","):
        for path in (pathlib.Path(model_dir) / "1.14.0" / "en" / name).rglob("*"):
            if path.is_file():
                total += path.stat().st_size
    return total


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--native-python":
        native_python(sys.argv[2:])
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--reference-load":
        reference_load(sys.argv[2], sys.argv[3])
        return

    cores = os.cpu_count() or 1
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--model-dir", type=pathlib.Path)
    parser.add_argument("--processors", default=PROCESSORS,
                        help=f'the pipeline\'s processors; "all": {EVERY}')
    parser.add_argument("--bulk-only", action="store_true",
                        help="throughput of process_bulk alone, not document by document")
    parser.add_argument("--scratch", type=pathlib.Path,
                        default=pathlib.Path("/tmp/velmora-bench-pipeline"))
    parser.add_argument("--threads", default=f"1,{cores}")
    parser.add_argument("--scaling-threads", default=",".join(
        str(t) for t in sorted({1, 2, 4, cores}) if t <= cores))
    parser.add_argument("--reference-threads", help="default: --threads")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--docs", type=int, help="only the first N treebank documents")
    parser.add_argument("--lengths", default=LENGTHS, help="document lengths for scaling")
    parser.add_argument("--scaling-budget", type=int, default=5000,
                        help="words per scaling measurement (at least one document)")
    parser.add_argument("--long-threads", default="1",
                        help="thread counts for scaling documents of 100,000 words or more")
    parser.add_argument("--skip", default="")
    parser.add_argument("--json", type=pathlib.Path, help="write every figure here too")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    processors = EVERY if args.processors == "all" else args.processors
    chain = ["--processors", processors]

    sys.path.insert(0, str(MODELS))
    import build_models

    model_dir = args.model_dir or build_models.model_dir(processors=processors)
    binary = args.build / "tools" / "velmora_bench_pipeline"
    if not binary.exists():
        sys.exit(f"build it first: cmake --build {args.build} --target velmora_bench_pipeline")
    py312 = pathlib.Path.home() / ".cache" / "velmora" / "venv-py312" / "bin" / "python"
    torch_python = sys.executable
    here = pathlib.Path(__file__).resolve()

    texts = build_models.documents(build_models.corpus())[:args.docs]
    args.scratch.mkdir(parents=True, exist_ok=True)
    documents = args.scratch / "documents.txt"
    write_documents(documents, texts)
    threads = [int(t) for t in args.threads.split(",")]
    results = {"machine": machine(), "model_dir": str(model_dir), "processors": processors,
               "documents": len(texts), "bundle_bytes": bundle_bytes(model_dir, processors)}
    print(results["machine"], flush=True)
    print(f"{processors}: {len(texts)} documents, {sum(len(t.split()) for t in texts)} "
          f"whitespace words; bundles {results['bundle_bytes'] / 2**20:.0f} MiB in {model_dir}",
          flush=True)

    if "load" not in skip:
        results["load"] = {
            "cpp": run([binary, model_dir, "load", documents, *chain],
                       env=dict(os.environ, OMP_NUM_THREADS="1"), what="C++ load")[0],
            "python": run([py312, here, "--native-python", "load", model_dir, documents, *chain],
                          env=python_env(args.build, 1), what="Python load")[0],
            "reference": run([torch_python, here, "--reference-load", model_dir, processors],
                             what="reference load")[0]}
        report_load(results["load"], results["bundle_bytes"])

    if "throughput" not in skip:
        # C++ also at the scaling thread counts: the thread scaling of
        # process_bulk over the whole text.
        cpp_threads = sorted(set(threads) | {int(t) for t in args.scaling_threads.split(",")})
        mode = "stages" if args.bulk_only else "throughput"
        cpp = run([binary, model_dir, mode, documents, "--threads",
                   ",".join(map(str, cpp_threads)), "--repeat", args.repeat, *chain],
                  what="C++ throughput")
        python = []
        for count in threads:
            python += run([py312, here, "--native-python", "throughput", model_dir, documents,
                           "--repeat", args.repeat, *chain]
                          + (["--bulk-only"] if args.bulk_only else []),
                          env=python_env(args.build, count),
                          what=f"Python throughput, {count} threads")
        results["throughput"] = {"cpp": cpp, "python": python}

    refs, ref_docs = None, None
    if "reference" not in skip:
        import reference

        refs = reference.load_references(model_dir, processors.split(","))
        results["reference"], ref_docs = reference_throughput(
            refs, texts, [int(t) for t in (args.reference_threads or args.threads).split(",")], 1,
            args.bulk_only)
    if "throughput" not in skip:
        report_throughput(results)

    if "agreement" not in skip:
        if ref_docs is None:
            import reference
            import torch

            refs = refs or reference.load_references(model_dir, processors.split(","))
            # The largest requested count: on a busy machine a full-width
            # pool stalls at every step.
            torch.set_num_threads(max(threads))
            ref_docs, _ = reference.annotate(refs, texts)
        dump = args.scratch / "native.json"
        run([py312, here, "--native-python", "dump", model_dir, documents, "--out", dump,
             *chain], env=python_env(args.build, max(threads)), what="Python dump")
        results["agreement"] = agreement(ref_docs, json.loads(dump.read_text(encoding="utf-8")))
        a = results["agreement"]
        print(f"\nagreement over {a['aligned']} of {a['sentences']} sentences tokenized alike "
              f"({a['words']} words): " + ", ".join(
                  f"{k} {100 * a[k]:.2f}% of {a['counts'][k]}" for k in a["counts"]),
              flush=True)

    if "scaling" not in skip:
        # The treebank's whole text, whatever --docs says: a long document
        # needs all of it.
        every = build_models.documents(build_models.corpus())
        short, long = [], []
        for length in (int(n) for n in args.lengths.split(",")):
            path = args.scratch / f"length-{length}.txt"
            write_documents(path, scaling_documents(every, length, args.scaling_budget))
            (long if length >= 100_000 else short).append(path)
        results["scaling"] = []
        if short:
            results["scaling"] += run([binary, model_dir, "scaling", *short, "--threads",
                                       args.scaling_threads, *chain], what="C++ scaling")
        if long:
            results["scaling"] += run([binary, model_dir, "scaling", *long, "--threads",
                                       args.long_threads, *chain],
                                      what="C++ scaling, long documents")
        report_scaling(results)

    if args.json:
        args.json.write_text(json.dumps(results, indent=1, default=str) + "\n")


def report_load(load, bundle_bytes):
    print("\nloading (fresh process each)", flush=True)
    print(f"{'':10} {'construct s':>12} {'RSS before':>11} {'constructed':>12} "
          f"{'growth':>8} {'% bundles':>10} {'1st doc s':>10} {'after 1st':>10}  load")
    for name in ("cpp", "python", "reference"):
        row = load[name]
        # Python's baseline is the process with the module imported (and
        # libtorch with it), as C++'s is the linked program.
        before = int(row.get("imported_VmRSS", row["before_VmRSS"]))
        after = int(row["constructed_VmRSS"])
        growth = after - before
        first = row.get("first_seconds")
        print(f"{name:10} {float(row['construct_seconds']):>12.3f} {before / 1024:>9.0f}MB "
              f"{after / 1024:>10.0f}MB {growth / 1024:>6.0f}MB "
              f"{100 * growth * 1024 / bundle_bytes:>9.1f}% "
              f"{float(first) if first else float('nan'):>10.3f} "
              f"{int(row.get('first_VmRSS', 0)) / 1024:>8.0f}MB  {row['load']}", flush=True)
    ratio = float(load["reference"]["construct_seconds"]) / float(load["cpp"]["construct_seconds"])
    print(f"construction: reference / C++ = {ratio:.1f}x", flush=True)


def report_throughput(results):
    """Both the throughput mode's rows (totals, then a row of stage
    seconds) and the stages mode's (one row with both) are read."""
    names = results["processors"].split(",")
    print("\nthroughput (words per second)", flush=True)
    cpp = {int(r["threads"]): r for r in results["throughput"]["cpp"] if "bulk_wps" in r}
    stages = {int(r["threads"]): r for r in results["throughput"]["cpp"]
              if any(name in r for name in names)}
    python = {int(r["threads"]): r for r in results["throughput"]["python"]}
    reference = {r["threads"]: r for r in results.get("reference", [])}
    nan = float("nan")
    print(f"{'threads':>7} {'C++ bulk':>9} {'Py bulk':>9} {'ref bulk':>9} {'C++/ref':>8} "
          f"{'Py/C++':>7} {'C++ each':>9} {'Py each':>9} {'ref each':>9} {'C++/ref':>8}"
          "  load (C++; Python; reference)")
    for count in sorted(cpp):
        c, p, r = cpp[count], python.get(count, {}), reference.get(count)
        cb, ce = float(c["bulk_wps"]), float(c.get("process_wps", nan))
        pb, pe = float(p.get("bulk_wps", nan)), float(p.get("process_wps", nan))
        words = int(c["words"])
        rb = r["words"] / r["bulk_seconds"] if r else nan
        re_ = r["words"] / r["process_seconds"] if r else nan
        loads = "; ".join(x.get("load", "?") if x else "-" for x in (c, p, r))
        print(f"{count:>7} {cb:>9.0f} {pb:>9.0f} {rb:>9.0f} {cb / rb:>7.2f}x {pb / cb:>6.3f} "
              f"{ce:>9.0f} {pe:>9.0f} {re_:>9.0f} {ce / re_:>7.2f}x  {loads}", flush=True)
        if r:
            print(f"{'':7} words: native {words}, reference {r['words']}")
    for count in sorted(stages):
        parts = {k: float(v) for k, v in stages[count].items() if k in names}
        ref = reference.get(count, {}).get("stages") or {}
        print(f"{count:>7} threads, stage seconds native / reference: " + ", ".join(
            f"{k} {v:.2f}/{ref.get(k, nan):.2f}" for k, v in parts.items()), flush=True)


def report_scaling(results):
    print("\nscaling: process words per second by document length and threads", flush=True)
    table = {}
    for row in results["scaling"]:
        length = int(re.search(r"length-(\d+)", row["file"]).group(1))
        table.setdefault(length, {})[int(row["threads"])] = float(row["process_wps"])
    threads = sorted({t for row in table.values() for t in row})
    print(f"{'words/doc':>9} " + " ".join(f"{t:>8}T" for t in threads))
    for length in sorted(table):
        print(f"{length:>9} " + " ".join(f"{table[length].get(t, float('nan')):>9.0f}"
                                         for t in threads), flush=True)
    if "throughput" in results:
        print("process_bulk over all documents:", flush=True)
        for row in results["throughput"]["cpp"]:
            if "bulk_wps" in row:
                print(f"  {row['threads']} threads: {float(row['bulk_wps']):.0f} w/s", flush=True)


if __name__ == "__main__":
    main()
