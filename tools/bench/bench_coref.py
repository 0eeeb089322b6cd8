"""Coreference throughput on the EWT dev documents: native from C++ and from
Python against the PyTorch reference, on the bundle of realistic size of
tools/models/coref_bundle.py (built on first use, a few minutes).

    <torch-python> tools/bench/bench_coref.py [--build DIR] [--threads 1,8]
        [--one-thread-docs 80] [--repeat N] [--long 4000]

All in one run, so that ratios compare like with like:
  throughput  words per second of process_bulk over the documents (at one
              thread the first --one-thread-docs of them), per thread count:
              C++ (velmora_bench_coref), Python (_velmora under the 3.12
              interpreter, its thread count set through OMP_NUM_THREADS) and
              the reference (resolve plus the mapping onto the document, the
              eager encoder on PyTorch's fast path), with the seconds of the
              word encoding and of the scorers reported apart; with
              --reference-onednn, at one thread, the reference once more with
              every linear layer of its eager encoder through oneDNN (see
              onednn_linears);
  agreement   how many of the first --agreement-docs documents the native
              side (from Python) resolves exactly as the reference;
  long        one document of --long words: seconds and peak resident memory,
              native and reference, each in a fresh process at one thread.
The load average is printed beside every figure. The native side needs
`cmake --build <build> --target velmora_bench_coref _velmora`.

Run by the 3.12 interpreter with --native-python, the script is the Python
side's driver (it imports no torch then); run with --reference-long, the
reference's long-document run.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]


def status_kib(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return -1


def load():
    return f"{os.getloadavg()[0]:.1f}"


def parse_line(line):
    return dict(item.split("=", 1) for item in line.split() if "=" in item)


def words_of(document):
    return sum(len(s["words"]) for s in document["sentences"])


def as_dict(document):
    return [[{"id": i + 1, "text": w} | ({"upos": u} if u else {})
             for i, (w, u) in enumerate(zip(s["words"], s["upos"]))]
            for s in document["sentences"]]


# --- the Python side (3.12 interpreter, _velmora) --------------------------------------


def native_python(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("bundle")
    parser.add_argument("documents")
    parser.add_argument("--docs", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--dump", help="write the predictions of the documents here instead")
    args = parser.parse_args(argv)
    import _velmora

    documents = json.loads(pathlib.Path(args.documents).read_text(encoding="utf-8"))
    if args.docs:
        documents = documents[:args.docs]
    if args.dump:
        plan = _velmora.CorefPlan(args.bundle)
        predictions = [plan.resolve(*inputs(d)) for d in documents]
        pathlib.Path(args.dump).write_text(json.dumps(
            [{"word_clusters": p.word_clusters, "span_clusters": p.span_clusters,
              "zero_words": p.zero_words} for p in predictions]), encoding="utf-8")
        return
    words = sum(map(words_of, documents))
    processor = _velmora.CorefProcessor(args.bundle)
    processor.bulk_process([_velmora.Document.from_dict(as_dict(documents[0]))])
    best = float("inf")
    for _ in range(args.repeat):
        batch = [_velmora.Document.from_dict(as_dict(d)) for d in documents]
        start = time.perf_counter()
        processor.bulk_process(batch)
        best = min(best, time.perf_counter() - start)
    print(f"words={words} bulk_seconds={best} wps={words / best}", flush=True)


# --- the reference (torch interpreter) ---------------------------------------------------


def inputs(document):
    words, sentence_ids = [], []
    for s, sentence in enumerate(document["sentences"]):
        words += sentence["words"]
        sentence_ids += [s] * len(sentence["words"])
    return words, sentence_ids, ["_"] * len(words)


def reference_run(resolver, documents):
    """Seconds of resolve() and the mapping onto each document."""
    import coref_reference as cr

    start = time.perf_counter()
    for document in documents:
        cr.document_edit(document["sentences"], resolver.resolve(*inputs(document)))
    return time.perf_counter() - start


@contextlib.contextmanager
def onednn_linears():
    """Eager float32 linear layers through oneDNN instead of the BLAS. Eager
    PyTorch has no public switch for it (nn.Linear goes to the BLAS matrix
    product); this takes the internal op that frozen compiled code calls,
    over the unpacked weight, on the encoder's plain path (the fast path
    calls the BLAS from C++)."""
    import torch
    import torch.nn.functional as F

    blas = F.linear

    def linear(x, weight, bias=None):
        if x.dtype == torch.float32 and x.device.type == "cpu" and weight.dim() == 2:
            return torch.ops.mkldnn._linear_pointwise(x, weight, bias, "none", [], "")
        return blas(x, weight, bias)

    torch.backends.mha.set_fastpath_enabled(False)
    F.linear = linear
    try:
        yield
    finally:
        F.linear = blas
        torch.backends.mha.set_fastpath_enabled(True)


def agreement(resolver, documents, native):
    """(documents whose native prediction equals the reference's, share of
    words in clusters)."""
    same, clustered = 0, 0
    for document, prediction in zip(documents, native):
        expected = resolver.resolve(*inputs(document))
        expected["span_clusters"] = [[list(s) for s in c] for c in expected["span_clusters"]]
        same += expected == prediction
        clustered += sum(map(len, prediction["word_clusters"]))
    return same, clustered / sum(map(words_of, documents))


def reference_long(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("bundle")
    parser.add_argument("documents")
    args = parser.parse_args(argv)
    import torch

    sys.path.insert(0, str(ROOT / "tools" / "models"))
    import coref_bundle

    torch.set_num_threads(1)
    (document,) = json.loads(pathlib.Path(args.documents).read_text(encoding="utf-8"))
    resolver = coref_bundle.reference(args.bundle)
    before = status_kib("VmRSS")
    # VmHWM, not ru_maxrss, which survives exec and so starts at the size of
    # the driver that started this process.
    loaded_peak = status_kib("VmHWM")
    # VmHWM starts again from here.
    pathlib.Path("/proc/self/clear_refs").write_text("5")
    seconds = reference_run(resolver, [document])
    peak = max(loaded_peak, status_kib("VmHWM"))
    print(f"long_words={words_of(document)} long_seconds={seconds} peak_kib={peak} "
          f"before_kib={before} document_peak_kib={status_kib('VmHWM')}", flush=True)


# --- the driver ---------------------------------------------------------------------------


def run(command, env=None):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"{command[0]} failed:\n{result.stderr}")
    return [parse_line(line) for line in result.stdout.splitlines() if "=" in line]


def long_document(documents, size):
    """The first sentences of the documents, `size` words at most, as one."""
    sentences, words = [], 0
    for document in documents:
        for sentence in document["sentences"]:
            if words + len(sentence["words"]) > size:
                return {"sentences": sentences}
            words += len(sentence["words"])
            sentences.append(sentence)
    return {"sentences": sentences}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--scratch", type=pathlib.Path, default=pathlib.Path("/tmp/velmora-bench-coref"))
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    parser.add_argument("--one-thread-docs", type=int, default=80)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--long", type=int, default=4000)
    parser.add_argument("--agreement-docs", type=int, default=20)
    parser.add_argument("--docs", type=int, default=0, help="documents above one thread (all)")
    parser.add_argument("--skip-long", action="store_true")
    parser.add_argument("--reference-onednn", action="store_true",
                        help="at one thread, also the reference with oneDNN linear layers")
    parser.add_argument("--passive", action="store_true",
                        help="OMP_WAIT_POLICY=PASSIVE on every side: idle threads sleep instead "
                             "of spinning, which a busy machine needs above one thread")
    args = parser.parse_args()
    if args.passive:
        os.environ["OMP_WAIT_POLICY"] = "PASSIVE"  # before torch starts its threads
    binary = args.build / "tools" / "velmora_bench_coref"
    if not binary.exists():
        sys.exit(f"build it first: cmake --build {args.build} --target velmora_bench_coref")
    import torch

    sys.path.insert(0, str(ROOT / "tools" / "models"))
    import coref_bundle
    import gen_coref

    documents = gen_coref.ewt_documents()
    if not documents:
        sys.exit(f"the EWT dev treebank is required: {gen_coref.EWT_DEV}")
    args.scratch.mkdir(parents=True, exist_ok=True)
    documents_file = args.scratch / "ewt-dev-documents.json"
    documents_file.write_text(json.dumps(documents), encoding="utf-8")
    long_file = args.scratch / "long-document.json"
    long_file.write_text(json.dumps([long_document(documents, args.long)]), encoding="utf-8")

    print(f"load average at start {load()}; building or finding the bundle", flush=True)
    bundle = coref_bundle.bundle_dir()
    print(f"bundle {bundle}")
    py312 = pathlib.Path.home() / ".cache" / "velmora" / "venv-py312" / "bin" / "python"
    here = pathlib.Path(__file__).resolve()

    started = time.perf_counter()
    resolver = coref_bundle.reference(bundle)
    print(f"reference load {time.perf_counter() - started:.1f}s (load {load()})", flush=True)

    print("threads docs words | C++ w/s (enc s, score s) | Python w/s | reference w/s "
          "(enc s, score s) | C++/ref, scorers C++/ref, Python/C++ | load")
    for threads in (int(t) for t in args.threads.split(",")):
        count = args.one_thread_docs if threads == 1 else args.docs or len(documents)
        subset = documents[:count]
        native = run([binary, bundle, documents_file, "--threads", threads, "--docs", count,
                      "--repeat", args.repeat])
        cpp = next(r for r in native if "wps" in r)
        native_load = load()
        env = dict(os.environ, PYTHONPATH=str(args.build / "python"),
                   OMP_NUM_THREADS=str(threads))
        python = run([py312, here, "--native-python", bundle, documents_file, "--docs", count,
                      "--repeat", args.repeat], env=env)[0]
        torch.set_num_threads(threads)
        reference_run(resolver, subset[:1])
        best, timer = float("inf"), None
        for _ in range(args.repeat):
            resolver.timer = {"encode": 0.0, "score": 0.0}
            seconds = reference_run(resolver, subset)
            if seconds < best:
                best, timer = seconds, dict(resolver.timer)
        words = int(cpp["words"])
        ref_wps = words / best
        cpp_wps = float(cpp["wps"])
        print(f"{threads} {count} {words} | {cpp_wps:.1f} ({float(cpp['encode_seconds']):.1f}, "
              f"{float(cpp['score_seconds']):.1f}) | {float(python['wps']):.1f} | {ref_wps:.1f} "
              f"({timer['encode']:.1f}, {timer['score']:.1f}) | {cpp_wps / ref_wps:.2f}x, "
              f"{timer['score'] / float(cpp['score_seconds']):.2f}x, "
              f"{float(python['wps']) / cpp_wps:.3f} | native {native_load}, reference {load()}",
              flush=True)
        if threads == 1 and args.reference_onednn:
            with onednn_linears():
                resolver.timer = {"encode": 0.0, "score": 0.0}
                seconds = reference_run(resolver, subset)
            print(f"  reference with oneDNN linear layers: {words / seconds:.1f} w/s "
                  f"({resolver.timer['encode']:.1f}, {resolver.timer['score']:.1f}); "
                  f"C++/ref {cpp_wps * seconds / words:.2f}x | load {load()}", flush=True)

    torch.set_num_threads(max(int(t) for t in args.threads.split(",")))
    dump = args.scratch / "native-predictions.json"
    run([py312, here, "--native-python", bundle, documents_file, "--docs", args.agreement_docs,
         "--dump", dump], env=dict(os.environ, PYTHONPATH=str(args.build / "python")))
    same, clustered = agreement(resolver, documents[:args.agreement_docs],
                                json.loads(dump.read_text(encoding="utf-8")))
    print(f"agreement: {same} of {args.agreement_docs} documents predict exactly as the "
          f"reference; {clustered:.0%} of their words are in clusters", flush=True)

    del resolver
    if args.skip_long:
        return
    native = run([binary, bundle, long_file, "--long", args.long])
    report_long("C++", next(r for r in native if "long_seconds" in r))
    report_long("reference", run([sys.executable, here, "--reference-long", bundle, long_file])[0])


def report_long(side, line):
    mib = {key: int(line[key]) / 1024 for key in ("peak_kib", "before_kib", "document_peak_kib")}
    print(f"long document, {side} at 1 thread: {line['long_words']} words, "
          f"{float(line['long_seconds']):.1f}s; peak resident {mib['peak_kib']:.0f} MiB over the "
          f"process, {mib['before_kib']:.0f} MiB before the document and "
          f"{mib['document_peak_kib']:.0f} MiB at most during it (load {load()})", flush=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--native-python":
        native_python(sys.argv[2:])
    elif len(sys.argv) > 1 and sys.argv[1] == "--reference-long":
        reference_long(sys.argv[2:])
    else:
        main()
