"""Entity tagger throughput: native process, document by document, against the
PyTorch reference tagger of tools/fixtures/gen_ner.py tagging sentence by
sentence, on the EWT dev documents (token texts; a multi-word token by its
surface text).

Two bundles of real size come from tools/models/build_models.py
(entity_tagger): pretrained embeddings 100 wide over 100,000 words, delta
embeddings over 20,000 words, an input transform, a tagger LSTM of 256 with
one layer and 77 BIOES tags, with either a character LSTM of 100 ("charlstm")
or forward and backward character language models of hidden size 1024
("charlm"). They are written on first use into the scratch directory, keyed by
the hash of the modules that build them. Both sides run at one thread and at
all cores; the load average stands beside every figure.

    <torch-python> tools/bench/bench_ner.py [--build DIR] [--scratch DIR]
                   [--models charlstm,charlm] [--repeat N] [--threads 1,8]
                   [--documents N]

--documents takes the first N documents only (a fixed subset). The native
side is the velmora_bench_ner executable of the build directory (cmake
--build DIR --target velmora_bench_ner).
"""

from __future__ import annotations

import os
import subprocess
import sys
import time

# Both sides (the native run inherits it) yield idle cores instead of
# spinning: on a shared machine a spinning pool stalls at every LSTM step.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import torch  # noqa: E402

import document_bench
from document_bench import ROOT

sys.path.insert(0, str(ROOT / "models"))

import build_models  # noqa: E402

build_models.import_generators()
import gen_ner  # noqa: E402


def load():
    return "load {:.1f}/{:.1f}/{:.1f}".format(*os.getloadavg())


def native(binary, bundle, tokens_file, documents_file, threads, repeat):
    """(words per second, load average) of the native benchmark at `threads`."""
    before = load()
    out = subprocess.run([str(binary), str(bundle), str(tokens_file), str(documents_file),
                          str(threads), "--repeat", str(repeat)],
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = dict(item.split("=", 1) for item in line.split())
        if "threads" in fields:
            return float(fields["process_wps"]), before
    raise RuntimeError(f"no figure in the native output: {out}")


def reference(model, documents, words, threads, repeat):
    """Words per second of the fastest of `repeat` sentence-by-sentence runs
    over every document, after tagging a few sentences to warm up."""
    torch.set_num_threads(threads)
    sentences = [gen_ner.token_texts(s) for d in documents for s in d]
    for words_of in sentences[:20]:
        model.tag_sentence(words_of)
    before = load()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for words_of in sentences:
            model.tag_sentence(words_of)
        best = min(best, time.perf_counter() - start)
    return words / best, before


def main():
    args = document_bench.arguments(
        "/tmp/velmora-bench-ner", (["--models"], {"default": "charlstm,charlm"}),
        (["--documents"], {"type": int, "default": 0}),
        (["--reference-repeat"], {"type": int, "default": 1}))
    binary = document_bench.native_binary(args.build, "velmora_bench_ner", gen_ner.EWT_DEV)

    documents = gen_ner.ewt_documents()
    if args.documents:
        documents = documents[:args.documents]
    sentences = [gen_ner.token_texts(s) for d in documents for s in d]
    words = sum(len(s) for s in sentences)
    tokens_file = args.scratch / "ewt-dev-tokens.tsv"
    documents_file = args.scratch / "ewt-dev-documents.txt"
    document_bench.write_words(tokens_file, sentences)
    documents_file.write_text("".join(f"{len(d)}\n" for d in documents))
    print(f"EWT dev: {len(documents)} documents, {len(sentences)} sentences, {words} tokens")

    corpus = build_models.corpus()
    key = build_models.cache_key()
    print(f"{'model':9} {'threads':>7} {'reference w/s':>14} {'native w/s':>11} {'speed-up':>9}"
          "  load (reference; native)")
    for kind in args.models.split(","):
        charlms = build_models.shared_charlms(corpus) if kind == "charlm" else None
        model = build_models.entity_tagger(corpus, charlms)
        bundle = args.scratch / f"{kind}-{key}"
        if not (bundle / "manifest.json").exists():
            model.write(bundle)
        for count in args.threads:
            wps, wps_load = native(binary, bundle, tokens_file, documents_file, count,
                                   args.repeat)
            slow, slow_load = reference(model, documents, words, count, args.reference_repeat)
            print(f"{kind:9} {count:>7} {slow:>14.0f} {wps:>11.0f} {wps / slow:>8.2f}x"
                  f"  {slow_load}; {wps_load}", flush=True)


if __name__ == "__main__":
    main()
