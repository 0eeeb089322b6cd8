"""Part-of-speech tagger throughput: native process_bulk against the PyTorch
reference tagger of tools/fixtures/gen_pos.py, on the EWT dev sentences.

Two bundles of realistic size are built on first use (and kept in the scratch
directory): word embeddings 75 wide over 10,000 words, pretrained embeddings
100 wide over 100,000 words, a highway LSTM of 200 with 2 layers and heads of
400, with either a character LSTM of 400 ("charlstm") or two character
language models of hidden size 1024 ("charlm"). Both taggers batch as the
native one does (250 sentences, 5000 padded words) and run at one thread and
at all cores.

    <torch-python> tools/bench/bench_pos.py [--build DIR] [--scratch DIR]
                   [--models charlstm,charlm] [--repeat N] [--threads 1,8]

The native side is the velmora_bench_pos executable of the build directory
(cmake --build DIR --target velmora_bench_pos).
"""

from __future__ import annotations

import collections
import sys

import torch

import document_bench
from document_bench import ROOT

sys.path.insert(0, str(ROOT / "fixtures"))

import gen_pos  # noqa: E402

BUNDLE_VERSION = "1"  # bump when the realistic bundles change


def ewt_inventory(sentences, conllu):
    """Word forms by frequency, characters, and the EWT tag sets."""
    forms = collections.Counter(w for s in sentences for w in s)
    chars = sorted({ch for s in sentences for w in s for ch in w})
    upos, xpos, feats = set(), set(), collections.defaultdict(set)
    for line in conllu.read_text(encoding="utf-8").splitlines():
        fields = line.split("\t")
        if len(fields) == 10 and fields[0].isdigit():
            upos.add(fields[3])
            xpos.add(fields[4])
            if fields[5] != "_":
                for item in fields[5].split("|"):
                    key, value = item.split("=", 1)
                    feats[key].add(value)
    return ([w for w, _ in forms.most_common()], chars, sorted(upos - {"_"}),
            sorted(xpos - {"_"}), {k: sorted(v) for k, v in feats.items()})


def realistic_tagger(kind, sentences):
    forms, chars, upos, xpos, feats = ewt_inventory(sentences, gen_pos.EWT_DEV)
    words = (forms + [f"filler{i}" for i in range(10_000)])[:10_000 - len(gen_pos.SPECIALS)]
    lowered = list(dict.fromkeys(gen_pos.lower(w) for w in forms))
    pretrain = (lowered + [f"pretrained{i}" for i in range(100_000)])
    pretrain = pretrain[:100_000 - len(gen_pos.SPECIALS)]
    charlm = None
    if kind == "charlm":
        units = ["<PAD>", "\n", "<UNK>", " "] + [c for c in chars if c not in "\n "]
        torch.manual_seed(2)
        charlm = (gen_pos.CharLM(units, emb_dim=100, hidden=1024, layers=1, forward=True),
                  gen_pos.CharLM(units, emb_dim=100, hidden=1024, layers=1, forward=False))
    torch.manual_seed(1)
    return gen_pos.Tagger(
        words=words, chars=chars, upos=upos, xpos=xpos, feats=feats, word_emb=75,
        transformed=125, char_emb=100, char_hidden=400, hidden=200, layers=2, tag_emb=50,
        upos_hid=400, xpos_hid=400, feats_hid=400, pretrain_width=100, pretrain_words=pretrain,
        charlm=charlm)


def main():
    args = document_bench.arguments("/tmp/velmora-bench-pos",
                                    (["--models"], {"default": "charlstm,charlm"}))
    binary = document_bench.native_binary(args.build, "velmora_bench_pos", gen_pos.EWT_DEV)

    sentences = gen_pos.ewt_sentences()
    words = sum(len(s) for s in sentences)
    words_file = args.scratch / "ewt-dev.tsv"
    document_bench.write_words(words_file, sentences)
    print(f"EWT dev: {len(sentences)} sentences, {words} words")
    print(f"{'model':10} {'threads':>7} {'reference w/s':>14} {'native w/s':>11} {'speed-up':>9}")
    for kind in args.models.split(","):
        model = realistic_tagger(kind, sentences)
        bundle = args.scratch / f"{kind}-v{BUNDLE_VERSION}"
        if not (bundle / "manifest.json").exists():
            model.write(bundle)
        native = document_bench.native_wps(binary, bundle, words_file, args.threads, args.repeat)
        for count in args.threads:
            reference = document_bench.reference_wps(
                lambda: model.tag(sentences, batch_size=250, max_tokens=5000), words, count,
                args.repeat, lambda: model.tag(sentences[:50], batch_size=250, max_tokens=5000))
            print(f"{kind:10} {count:>7} {reference:>14.0f} {native[count]:>11.0f} "
                  f"{native[count] / reference:>8.2f}x", flush=True)


if __name__ == "__main__":
    main()
