"""Sentiment classifier throughput: native process_bulk against the PyTorch
reference classifier of tools/fixtures/gen_sentiment.py, on the EWT dev
sentences (token forms, 50 sentences per document).

Two bundles of real size come from tools/models/build_models.py
(classifier_dir(), built once and cached): pretrained embeddings 100 wide
over 100,000 words, filters of 3, 4 and 5 words with 1,000 channels each,
maxpool width 1, fully connected layers of 400 and 100, 3 classes; "charlm"
adds forward and backward character language models of hidden size 1024 and
a BiLSTM of 300 with 2 layers, "plain" has neither. The reference is read
back from the same bundle and batches as the native classifier does (5000
words, longest first, character models sentence by sentence). Both run at
one thread and at all cores.

    <torch-python> tools/bench/bench_sentiment.py [--build DIR] [--scratch DIR]
                   [--models charlm,plain] [--repeat N] [--threads 1,8]

The native side is the velmora_bench_sentiment executable of the build
directory (cmake --build DIR --target velmora_bench_sentiment).
"""

from __future__ import annotations

import subprocess
import sys

import document_bench
from document_bench import ROOT

sys.path.insert(0, str(ROOT / "models"))

import build_models  # noqa: E402
import reference  # noqa: E402

_, gen_sentiment = build_models.import_classifier_generators()
from ud_data import EWT_DEV, ewt_tokens  # noqa: E402


def reference_classifier(bundle):
    assets, tensors = reference.read_bundle(bundle)
    charlm = (None, None)
    if "charlm" in assets:
        charlm = tuple(reference.charlm_from(assets["charlm"][d], tensors, f"{d}_charlm.")
                       for d in ("forward", "backward"))
    return gen_sentiment.Sentiment.from_bundle(assets, tensors, charlm)


def main():
    args = document_bench.arguments("/tmp/velmora-bench-sentiment",
                                    (["--models"], {"default": "charlm,plain"}))
    binary = document_bench.native_binary(args.build, "velmora_bench_sentiment", EWT_DEV)
    models = build_models.classifier_dir()
    sentences = ewt_tokens()
    words = sum(len(s) for s in sentences)
    words_file = args.scratch / "ewt-dev-tokens.tsv"
    document_bench.write_words(words_file, sentences)
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"EWT dev: {len(sentences)} sentences, {words} tokens; {uptime}")
    print(f"{'model':8} {'threads':>7} {'reference w/s':>14} {'native w/s':>11} {'speed-up':>9}")
    for kind in args.models.split(","):
        bundle = models / f"sentiment_{kind}"
        model = reference_classifier(bundle)
        native = document_bench.native_wps(binary, bundle, words_file, args.threads, args.repeat)
        for count in args.threads:
            ref = document_bench.reference_wps(lambda: model.classify_many(sentences), words,
                                               count, args.repeat,
                                               lambda: model.classify_many(sentences[:50]))
            print(f"{kind:8} {count:>7} {ref:>14.0f} {native[count]:>11.0f} "
                  f"{native[count] / ref:>8.2f}x", flush=True)
        uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
        print(f"  after {kind}: {uptime}", flush=True)


if __name__ == "__main__":
    main()
