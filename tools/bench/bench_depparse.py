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

import argparse
import os
import pathlib
import subprocess
import sys
import time

import torch

ROOT = pathlib.Path(__file__).resolve().parents[1]
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


def reference_wps(model, sentences, threads, repeat, decode_trees):
    torch.set_num_threads(threads)
    words = sum(len(s) for s in sentences)
    model.parse(sentences[:50], max_rows=MAX_ROWS, decode_trees=decode_trees)  # warm-up
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        model.parse(sentences, batch=10**9, max_rows=MAX_ROWS, decode_trees=decode_trees)
        best = min(best, time.perf_counter() - start)
    return words / best


def native_wps(binary, bundle, tsv, threads, repeat):
    out = subprocess.run([str(binary), str(bundle), str(tsv), *map(str, threads),
                          "--repeat", str(repeat), "--no-process"],
                         check=True, capture_output=True, text=True).stdout
    result = {}
    for line in out.splitlines():
        fields = dict(item.split("=", 1) for item in line.split())
        if "threads" in fields:
            result[int(fields["threads"])] = float(fields["bulk_wps"])
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=ROOT.parent / "build")
    parser.add_argument("--scratch", type=pathlib.Path,
                        default=pathlib.Path("/tmp/velmora-bench-depparse"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    args = parser.parse_args()
    if not gen_depparse.EWT_DEV.exists():
        sys.exit(f"the EWT dev treebank is required: {gen_depparse.EWT_DEV}")
    binary = args.build / "tools" / "velmora_bench_depparse"
    if not binary.exists():
        sys.exit(f"build it first: cmake --build {args.build} --target velmora_bench_depparse")
    threads = [int(t) for t in args.threads.split(",")]

    sentences = gen_depparse.read_conllu(gen_depparse.EWT_DEV)
    words = sum(len(s) for s in sentences)
    args.scratch.mkdir(parents=True, exist_ok=True)
    tsv = args.scratch / "ewt-dev.tsv"
    tsv.write_text("".join("".join("\t".join(f or "" for f in w) + "\n" for w in s) + "\n"
                           for s in sentences), encoding="utf-8")
    model = realistic_parser(sentences)
    bundle = args.scratch / f"parser-v{BUNDLE_VERSION}"
    if not (bundle / "manifest.json").exists():
        model.write(bundle)
    print(f"EWT dev: {len(sentences)} sentences, {words} words")
    native = native_wps(binary, bundle, tsv, threads, args.repeat)
    print(f"{'threads':>7} {'reference w/s':>14} {'(network only)':>15} {'native w/s':>11} "
          f"{'speed-up':>9}")
    for count in threads:
        reference = reference_wps(model, sentences, count, args.repeat, True)
        network = reference_wps(model, sentences, count, args.repeat, False)
        print(f"{count:>7} {reference:>14.0f} {network:>15.0f} {native[count]:>11.0f} "
              f"{native[count] / reference:>8.2f}x", flush=True)


if __name__ == "__main__":
    main()
