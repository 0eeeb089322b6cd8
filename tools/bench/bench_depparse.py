"""Dependency parser throughput: native process_bulk against the PyTorch
reference parser of tools/fixtures/gen_depparse.py, on the EWT dev sentences
with the treebank's own lemmas and tags as input.

The bundle of realistic size is built on first use (and kept in the scratch
directory): the part-of-speech tagger benchmark's sizes (word embeddings 75
wide over 10,000 words, pretrained embeddings 100 wide over 100,000 words, a
character LSTM of 400 over 100-wide character embeddings, transformed width
125, tag embeddings 50), a parser highway LSTM of 400 with 3 layers and deep
biaffine scorers of 400. Both parsers batch as the native one does (5000
padded rows, longest first) and run at one thread and at all cores; the
reference decodes its trees with numpy, and its network alone is timed too.

    <torch-python> tools/bench/bench_depparse.py [--build DIR] [--scratch DIR]
                   [--repeat N] [--threads 1,8]

The native side is the velmora_bench_depparse executable of the build
directory (cmake --build DIR --target velmora_bench_depparse).
"""

from __future__ import annotations

import sys

import torch

import document_bench
from document_bench import ROOT

sys.path.insert(0, str(ROOT / "fixtures"))

import gen_depparse  # noqa: E402

BUNDLE_VERSION = "1"  # bump when the realistic bundle changes
MAX_ROWS = 5000


def realistic_parser(sentences):
    lowered = [gen_depparse.lower(w[0]) for s in sentences for w in s]
    forms = list(dict.fromkeys(lowered))
    lemmas = list(dict.fromkeys(w[1] for s in sentences for w in s if w[1] is not None))
    chars = sorted({ch for s in sentences for w in s for ch in w[0]})
    tags = sorted({w[3] for s in sentences for w in s if w[3] is not None})
    specials = len(gen_depparse.SPECIALS)
    words = (forms + [f"filler{i}" for i in range(10_000)])[:10_000 - specials]
    pretrain = (forms + [f"pretrained{i}" for i in range(100_000)])[:100_000 - specials]
    vocab = gen_depparse.Vocabulary(words=words, lemmas=lemmas[:10_000 - specials], chars=chars,
                                    xpos=tags, pretrain=pretrain)
    torch.manual_seed(1)
    return gen_depparse.Parser(vocab, word_lower=True, lemma_lower=False, xpos_ignore=[],
                               word_emb=75, tag_emb=50, transformed=125, char_emb=100,
                               char_hidden=400, hidden=400, layers=3, biaff=400,
                               pretrain_width=100, linearization=True, distance=True,
                               batch_size=MAX_ROWS)


def main():
    args = document_bench.arguments("/tmp/velmora-bench-depparse")
    binary = document_bench.native_binary(args.build, "velmora_bench_depparse",
                                          gen_depparse.EWT_DEV)

    sentences = gen_depparse.read_conllu(gen_depparse.EWT_DEV)
    words = sum(len(s) for s in sentences)
    words_file = args.scratch / "ewt-dev.tsv"
    document_bench.write_words(words_file, sentences)
    model = realistic_parser(sentences)
    bundle = args.scratch / f"parser-v{BUNDLE_VERSION}"
    if not (bundle / "manifest.json").exists():
        model.write(bundle)
    print(f"EWT dev: {len(sentences)} sentences, {words} words")
    native = document_bench.native_wps(binary, bundle, words_file, args.threads, args.repeat)
    print(f"{'threads':>7} {'reference w/s':>14} {'(network only)':>15} {'native w/s':>11} "
          f"{'speed-up':>9}")
    for count in args.threads:
        rates = [document_bench.reference_wps(
            lambda: model.parse(sentences, batch=10**9, max_rows=MAX_ROWS, decode_trees=decode),
            words, count, args.repeat,
            lambda: model.parse(sentences[:50], max_rows=MAX_ROWS, decode_trees=decode))
            for decode in (True, False)]
        print(f"{count:>7} {rates[0]:>14.0f} {rates[1]:>15.0f} {native[count]:>11.0f} "
              f"{native[count] / rates[0]:>8.2f}x", flush=True)


if __name__ == "__main__":
    main()
