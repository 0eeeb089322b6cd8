"""Every processor, and a pipeline of them all, at one thread and at the
library's default thread count (one per core), on a machine as it is and
with single-threaded busy loops of the benchmark's own beside it.

    <torch-python> tools/bench/bench_threads.py [--build DIR] [--bundles fixture,realistic]
        [--loads 0,half,full] [--repeat 3] [--short-repeat 10] [--short-rounds 2]
        [--target 1.0] [--only NAMES]
        [--pipeline-threads 1,2,4,8] [--docs 40] [--before DIR] [--skip threshold,calls,short,pipeline]
        [--json FILE]

Measures, each figure with the load average beside it:
  threshold  a single product (torch.mm, one thread against the whole team,
             in this process) by multiply-adds, idle and with as many busy
             loops as cores: where the team starts to pay;
  calls      one call per processor (process_bulk over documents prepared by
             the stages it needs, identify_many for the language identifier)
             and the all-processor pipeline's bulk_process, each sized to take
             about --target seconds at one thread, on the fixture bundles and
             on the realistic bundles of tools/models/build_models.py: seconds
             at OMP_NUM_THREADS=1 and with no thread setting (the default
             team), with no busy loops, N/2 and N (N = cores);
  short      one processor call over a document of one sentence and one of
             five (one window of the resolver), the treebank's first, as
             words for the processors after the tokenizer (the realistic
             tokenizer's random weights cut sentences anywhere): best and
             median of at least --short-repeat calls and a second of calls,
             in --short-rounds processes per setting taking turns, under the
             same conditions as the calls;
  pipeline   the all-processor pipeline's bulk_process over the first --docs
             EWT dev documents on the realistic bundles at each of
             --pipeline-threads: words per second and the ratio to one thread;
             with --before DIR, also the default pipeline's at one thread,
             this build against DIR's (an older build), in turns.
Every native figure comes from a fresh 3.12 process (_velmora from
<build>/python) started by this driver; the busy loops are started and ended
by PID around each condition.

Run by the 3.12 interpreter with --native-python, the script is the native
side's driver (it imports no torch then).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

from machine import cpu_model

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODELS = ROOT / "tools" / "models"
SEPARATOR = "\n\x1e\n"
# Every processor, the language identifier after the tokenizer (which gives
# its document the bundle's language).
EVERY = ["tokenize", "langid", "mwt", "pos", "lemma", "depparse", "ner", "sentiment",
         "constituency", "coref", "morphseg"]
# The pipeline a Pipeline gets without a processor list.
DEFAULT = ["tokenize", "mwt", "pos", "lemma", "depparse"]
# What each processor's documents must hold before it runs.
NEEDS = {"tokenize": [], "langid": [], "mwt": ["tokenize"], "pos": ["tokenize", "mwt"],
         "lemma": ["tokenize", "mwt", "pos"], "depparse": ["tokenize", "mwt", "pos", "lemma"],
         "ner": ["tokenize", "mwt"], "sentiment": ["tokenize"],
         "constituency": ["tokenize", "mwt", "pos"], "coref": ["tokenize", "mwt"],
         "morphseg": ["tokenize", "mwt"]}
# The fixture bundles (relative to the fixture directory) the calls run on:
# the test suite's all-processor set.
FIXTURE_BUNDLES = {"tokenize": "tokenizer/mwt_gated", "mwt": "wordform/mwt_native_dict/bundle",
                   "pos": "pos/models/composite_charlm_proj_l2",
                   "lemma": "wordform/lemma_ensemble/bundle",
                   "depparse": "depparse/models/plain_lin_dist_l2", "langid": "langid/models/l1",
                   "ner": "ner/models/charlstm_l1", "sentiment": "sentiment/models/plain",
                   "constituency": "constituency/models/plain", "coref": "coref/models/bpe_all",
                   "morphseg": "morphseg/random/bundle"}


def read_documents(path):
    return [t for t in pathlib.Path(path).read_text(encoding="utf-8").split(SEPARATOR) if t]


def write_documents(path, texts):
    pathlib.Path(path).write_text(SEPARATOR.join(texts), encoding="utf-8")


# --- the native side (3.12 interpreter, _velmora) -----------------------------------------


def native_python(argv):
    """Times one call: prints seconds (best of --repeat) and the size."""
    parser = argparse.ArgumentParser()
    parser.add_argument("call")
    parser.add_argument("model_dir")
    parser.add_argument("documents")
    parser.add_argument("--count", type=int, help="documents (texts for langid) per call")
    parser.add_argument("--sentences", type=int,
                        help="one document of this many sentences (documents: a sentence file)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    import _velmora

    if args.sentences:
        run, size = short_call(_velmora, args)
        result = run()
        # A call of well under a millisecond is timed many times over (at
        # least --repeat, and for at least a second in all), so that its best
        # and its median stand above the noise of the machine.
        times = []
        while len(times) < args.repeat or (sum(times) < 1.0 and len(times) < 5000):
            result = run()
            times.append(run.seconds)
        times.sort()
        print(json.dumps({"seconds": times[0], "median": times[len(times) // 2],
                          "calls": len(times), "size": size(result),
                          "sentences": args.sentences,
                          "threads": os.environ.get("OMP_NUM_THREADS", "default")}), flush=True)
        return
    texts = read_documents(args.documents)
    if args.count:
        texts = (texts * (args.count // max(1, len(texts)) + 1))[:args.count]
    if args.call in ("pipeline", "default"):
        processors = EVERY if args.call == "pipeline" else DEFAULT
        pipeline = _velmora.Pipeline("en", ",".join(processors), model_dir=args.model_dir)
        pipeline.bulk_process(texts[:2])
        run = lambda: pipeline.bulk_process(texts)  # noqa: E731
        size = lambda docs: sum(d.num_words for d in docs)  # noqa: E731
    else:
        wanted = NEEDS[args.call] + [args.call]
        pipeline = _velmora.Pipeline("en", ",".join(wanted), model_dir=args.model_dir)
        stage = pipeline.processors[-1]
        if args.call == "langid":
            # Short texts: each sentence of the documents on its own.
            items = [line for t in texts for line in t.splitlines() if line.strip()]
            run = lambda: stage.identify_many(items)  # noqa: E731
            size = lambda tags: len(tags)  # noqa: E731
        else:
            before = _velmora.Pipeline("en", ",".join(NEEDS[args.call]),
                                       model_dir=args.model_dir) if NEEDS[args.call] else None
            prepared = before.bulk_process(texts) if before else None

            def run():
                docs = ([_velmora.Document(t) for t in texts] if prepared is None
                        else [_velmora.Document.from_dict(d.to_dict()) for d in prepared])
                start = time.perf_counter()
                out = stage.bulk_process(docs)
                run.seconds = time.perf_counter() - start
                return out

            size = lambda docs: sum(d.num_words for d in docs)  # noqa: E731
    result = run()
    best = float("inf")
    for _ in range(args.repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, getattr(run, "seconds", time.perf_counter() - start))
    print(json.dumps({"seconds": best, "size": size(result), "documents": len(texts),
                      "threads": os.environ.get("OMP_NUM_THREADS", "default")}), flush=True)


def short_call(velmora, args):
    """The timed call over one document of the first --sentences sentences,
    and what counts its size."""
    chosen = json.loads(pathlib.Path(args.documents).read_text(encoding="utf-8"))
    chosen = chosen[:args.sentences]
    pipeline = velmora.Pipeline("en", ",".join(NEEDS[args.call] + [args.call]),
                                model_dir=args.model_dir)
    stage = pipeline.processors[-1]
    if NEEDS[args.call]:
        # The tokenizer's work is the known words; the stages after it run.
        prepared = velmora.Document.from_dict(
            [[{"id": i + 1, "text": w} for i, w in enumerate(s["words"])] for s in chosen])
        for before in pipeline.processors[1:-1]:
            prepared = before.process(prepared)
        make = lambda: velmora.Document.from_dict(prepared.to_dict())  # noqa: E731
    else:
        text = " ".join(s["text"] for s in chosen)
        make = lambda: velmora.Document(text)  # noqa: E731

    def run():
        doc = make()
        start = time.perf_counter()
        out = stage.process(doc)
        run.seconds = time.perf_counter() - start
        return out

    return run, lambda doc: doc.num_words


# --- the driver (torch interpreter) -------------------------------------------------------


def fixture_model_dir(fixtures, root):
    """A model directory whose index names the fixture bundles, linked in."""
    sys.path.insert(0, str(ROOT / "tools" / "fixtures"))
    import bundle_writer

    index_dir = root / "1.14.0" / "en"
    if root.exists():
        import shutil

        shutil.rmtree(root)
    index_dir.mkdir(parents=True)
    for processor, relative in FIXTURE_BUNDLES.items():
        (index_dir / processor).symlink_to(fixtures.resolve() / relative, target_is_directory=True)
    bundle_writer.write_index(root, "1.14.0", "en", [
        {"processor": p, "package": "default", "path": p} for p in FIXTURE_BUNDLES])
    return root


def load_average():
    return os.getloadavg()[0]


class BusyLoops:
    """`count` single-threaded busy loops, started on entry and ended by PID
    on exit."""

    def __init__(self, count):
        self.count = count
        self.pids = []

    def __enter__(self):
        for _ in range(self.count):
            process = subprocess.Popen([sys.executable, "-c", "while True: pass"])
            self.pids.append(process.pid)
        if self.count:
            time.sleep(1.0)
        return self

    def __exit__(self, *exc):
        for pid in self.pids:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
        self.pids.clear()


def native(args, call, model_dir, documents, threads, count=None, repeat=None, sentences=None):
    """One timing from a fresh 3.12 process; threads None: no setting."""
    env = dict(os.environ, PYTHONPATH=str(args.build / "python"))
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    command = [str(args.py312), str(pathlib.Path(__file__).resolve()), "--native-python", call,
               str(model_dir), str(documents), "--repeat", str(repeat or args.repeat)]
    if count:
        command += ["--count", str(count)]
    if sentences:
        command += ["--sentences", str(sentences)]
    load = load_average()
    result = subprocess.run(command, capture_output=True, text=True, env=env,
                            timeout=args.timeout)
    if result.returncode != 0:
        sys.exit(f"{call} failed:\n{result.stderr[-3000:]}")
    figure = json.loads(result.stdout.strip().splitlines()[-1])
    figure["load"] = f"{load:.1f}-{load_average():.1f}"
    return figure


def threshold(args, cores):
    """Seconds of one product at one thread and at the whole team, by size."""
    import torch

    rows = []
    for loops in (0, cores):
        with BusyLoops(loops):
            for log_work in range(14, 29, 2):
                side = round((2 ** log_work) ** (1 / 3))
                a, b = torch.randn(side, side), torch.randn(side, side)
                times = {}
                for threads in (1, cores):
                    torch.set_num_threads(threads)
                    torch.mm(a, b)
                    reps = max(3, int(2e8 / side ** 3))
                    best = float("inf")
                    for _ in range(5):
                        start = time.perf_counter()
                        for _ in range(reps):
                            torch.mm(a, b)
                        best = min(best, (time.perf_counter() - start) / reps)
                    times[threads] = best
                torch.set_num_threads(1)
                rows.append({"loops": loops, "work": side ** 3, "one": times[1],
                             "team": times[cores], "load": f"{load_average():.1f}"})
                print(f"  product {side}^3 = {side ** 3:>11,} multiply-adds, {loops} busy loops: "
                      f"1 thread {times[1] * 1e6:9.1f} us, {cores} threads "
                      f"{times[cores] * 1e6:9.1f} us (x{times[1] / times[cores]:.2f}), "
                      f"load {rows[-1]['load']}", flush=True)
    return rows


def calls(args, cores, bundle_set, model_dir, documents):
    names = [n for n in EVERY + ["pipeline"] if not args.only or n in args.only]
    loads = {"0": 0, "half": cores // 2, "full": cores}
    results = {}
    for name in names:
        # Sized at one thread, on the machine as it is.
        count, figure = args.start_count, None
        while True:
            figure = native(args, name, model_dir, documents, 1, count, repeat=1)
            if figure["seconds"] >= args.target / 2 or count >= args.max_count:
                break
            count = min(args.max_count,
                        max(count * 2, int(count * args.target / max(figure["seconds"], 1e-3))))
        results[name] = {"count": count}
        for load_name in args.loads:
            with BusyLoops(loads[load_name]):
                one = native(args, name, model_dir, documents, 1, count)
                default = native(args, name, model_dir, documents, None, count)
            ratio = default["seconds"] / one["seconds"]
            results[name][load_name] = {"one": one, "default": default, "ratio": ratio}
            print(f"  {bundle_set:9} {name:12} x{count:<6} {loads[load_name]} loops: "
                  f"1 thread {one['seconds']:7.3f} s (load {one['load']}), default "
                  f"{default['seconds']:7.3f} s (load {default['load']}): "
                  f"{ratio:.2f}x the one-thread time", flush=True)
    return results


def short_calls(args, cores, bundle_set, model_dir, sentences):
    loads = {"0": 0, "half": cores // 2, "full": cores}
    results = {}
    for name in [n for n in EVERY if not args.only or n in args.only]:
        for count in (1, 5):
            row = results.setdefault(f"{name} x{count}", {})
            for load_name in args.loads:
                # Processes of the two settings take turns, --short-rounds
                # each, and each setting keeps its best.
                figures = {1: [], None: []}
                with BusyLoops(loads[load_name]):
                    for _ in range(args.short_rounds):
                        for threads, runs in figures.items():
                            runs.append(native(args, name, model_dir, sentences, threads,
                                               repeat=args.short_repeat, sentences=count))
                one, default = (min(figures[t], key=lambda f: f["seconds"]) for t in (1, None))
                ratio = default["seconds"] / one["seconds"]
                row[load_name] = {"one": one, "default": default, "ratio": ratio,
                                  "median_ratio": default["median"] / one["median"]}
                print(f"  {bundle_set:9} {name:12} {count} sentence(s) {loads[load_name]} loops: "
                      f"1 thread {one['seconds'] * 1e3:8.2f} ms (median "
                      f"{one['median'] * 1e3:.2f}, {one['calls']} calls, load {one['load']}), "
                      f"default {default['seconds'] * 1e3:8.2f} ms (median "
                      f"{default['median'] * 1e3:.2f}, {default['calls']} calls, load "
                      f"{default['load']}): {ratio:.2f}x the one-thread time "
                      f"({row[load_name]['median_ratio']:.2f}x by medians)", flush=True)
    return results


def pipeline_scaling(args, model_dir, documents):
    figures = {}
    for threads in args.pipeline_threads:
        figure = native(args, "pipeline", model_dir, documents, threads, repeat=args.repeat)
        figure["wps"] = figure["size"] / figure["seconds"]
        figures[threads] = figure
        base = figures[args.pipeline_threads[0]]["wps"]
        print(f"  pipeline over {figure['documents']} documents, {threads} threads: "
              f"{figure['wps']:.1f} words/s ({figure['wps'] / base:.2f}x), load {figure['load']}",
              flush=True)
    return figures


def default_before_after(args, model_dir, documents, rounds=3):
    """The default pipeline's words per second at one thread, this build's
    and the --before build's in turns, best of `rounds` each."""
    best = {}
    for _ in range(rounds):
        for side, build in (("before", args.before), ("after", args.build)):
            figure = native(argparse.Namespace(**{**vars(args), "build": build}), "default",
                            model_dir, documents, 1, repeat=1)
            figure["wps"] = figure["size"] / figure["seconds"]
            print(f"  default pipeline, one thread, {side}: {figure['wps']:.1f} words/s, "
                  f"load {figure['load']}", flush=True)
            if side not in best or figure["wps"] > best[side]["wps"]:
                best[side] = figure
    print(f"  after / before: {best['after']['wps'] / best['before']['wps']:.3f}", flush=True)
    return best


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--native-python":
        native_python(sys.argv[2:])
        return
    cores = os.cpu_count() or 1
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--before", type=pathlib.Path, help="an older build to compare")
    parser.add_argument("--bundles", default="fixture,realistic")
    parser.add_argument("--loads", default="0,half,full")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--short-repeat", type=int, default=10)
    parser.add_argument("--short-rounds", type=int, default=2)
    parser.add_argument("--target", type=float, default=1.0,
                        help="seconds a call takes at one thread")
    parser.add_argument("--start-count", type=int, default=8)
    parser.add_argument("--max-count", type=int, default=4096)
    parser.add_argument("--only", default="", help="only these calls (processor names, pipeline)")
    parser.add_argument("--pipeline-threads", default=",".join(
        str(t) for t in sorted({1, 2, 4, cores}) if t <= cores))
    parser.add_argument("--docs", type=int, default=40)
    parser.add_argument("--skip", default="")
    parser.add_argument("--timeout", type=float, default=1800)
    parser.add_argument("--scratch", type=pathlib.Path,
                        default=pathlib.Path("/tmp/velmora-bench-threads"))
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args()
    args.loads = [x for x in args.loads.split(",") if x]
    args.only = set(filter(None, args.only.split(",")))
    args.pipeline_threads = [int(t) for t in args.pipeline_threads.split(",")]
    args.py312 = pathlib.Path.home() / ".cache" / "velmora" / "venv-py312" / "bin" / "python"
    skip = set(filter(None, args.skip.split(",")))

    sys.path.insert(0, str(MODELS))
    import build_models

    corpus = build_models.corpus()
    texts = build_models.documents(corpus)
    args.scratch.mkdir(parents=True, exist_ok=True)
    documents = args.scratch / "documents.txt"
    write_documents(documents, texts)
    first = args.scratch / f"first{args.docs}.txt"
    write_documents(first, texts[:args.docs])
    sentences = args.scratch / "sentences.json"
    sentences.write_text(json.dumps([{"text": s.text, "words": [w[0] for w in s.words]}
                                     for s in corpus[:5]]), encoding="utf-8")
    results = {"machine": f"{cores} cores ({cpu_model()})", "load_at_start": load_average()}
    print(f"{results['machine']}, load average at start {results['load_at_start']:.1f}",
          flush=True)

    if "threshold" not in skip:
        print("threshold:", flush=True)
        results["threshold"] = threshold(args, cores)
    bundle_sets = [b for b in args.bundles.split(",") if b]
    for bundle_set in bundle_sets:
        if bundle_set == "fixture":
            model_dir = fixture_model_dir(args.build / "fixtures", args.scratch / "fixture-models")
        else:
            model_dir = build_models.model_dir(processors="all")
        if "calls" not in skip:
            print(f"calls, {bundle_set} bundles:", flush=True)
            results.setdefault("calls", {})[bundle_set] = calls(args, cores, bundle_set,
                                                                 model_dir, documents)
        if "short" not in skip:
            print(f"short calls, {bundle_set} bundles:", flush=True)
            results.setdefault("short", {})[bundle_set] = short_calls(
                args, cores, bundle_set, model_dir, sentences)
        if bundle_set == "realistic" and "pipeline" not in skip:
            print("pipeline, realistic bundles:", flush=True)
            results["pipeline"] = pipeline_scaling(args, model_dir, first)
        if bundle_set == "realistic" and args.before:
            print("default pipeline before and after, realistic bundles:", flush=True)
            results["default_before_after"] = default_before_after(args, model_dir, first)
    if args.json:
        args.json.write_text(json.dumps(results, indent=1), encoding="utf-8")


if __name__ == "__main__":
    main()
