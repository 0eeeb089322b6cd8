"""Character language model throughput: native encode_many against PyTorch.

Run under the torch environment, after building velmora_bench_charlm:

  python tools/bench/bench_charlm.py --exe BUILD/tools/velmora_bench_charlm

Writes a model of realistic size (one layer, hidden size 1024, a vocabulary
of a few hundred characters, random weights) as a forward_charlm bundle,
reads the EWT dev sentences (FORM column of the word lines), and times
encode_many over all of them at one thread and at all cores: the native
executable in its own process, then the reference (nn.Embedding + nn.LSTM over
packed chunks of 64 sentences) in this one. Prints words per second and the
native/reference ratio per thread count.
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

from bundle_writer import write_bundle  # noqa: E402
from gen_charlm import CharLM  # noqa: E402
from ud_data import EWT_DEV, ewt_sentences  # noqa: E402


def vocabulary(sentences, size):
    """The characters of the data, then further letters up to `size` units."""
    units = ["<PAD>", "<UNK>", "\n", " "]
    seen = set(units)
    for words in sentences:
        for word in words:
            for ch in word:
                if ch not in seen:
                    seen.add(ch)
                    units.append(ch)
    codepoint = 0xC0
    while len(units) < size:
        ch = chr(codepoint)
        if ch not in seen and ch.isprintable():
            seen.add(ch)
            units.append(ch)
        codepoint += 1
    return units


def time_reference(model, sentences, repeats):
    words = sum(len(s) for s in sentences)
    checksum = sum(float(v.double().abs().sum()) for v in model.encode_many(sentences))
    rates = []
    for _ in range(repeats):
        start = time.perf_counter()
        model.encode_many(sentences)
        rates.append(words / (time.perf_counter() - start))
    return max(rates), statistics.median(rates), checksum


def time_native(exe, bundle, sentence_file, threads, repeats):
    line = subprocess.run([str(exe), str(bundle), str(sentence_file), str(threads), str(repeats)],
                          check=True, capture_output=True, text=True).stdout.strip()
    fields = dict(item.split("=", 1) for item in line.split())
    return float(fields["best"]), float(fields["median"]), float(fields["checksum"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, type=pathlib.Path,
                        help="the velmora_bench_charlm executable")
    parser.add_argument("--data", type=pathlib.Path, default=EWT_DEV)
    parser.add_argument("--hidden", type=int, default=1024)
    parser.add_argument("--emb-dim", type=int, default=100)
    parser.add_argument("--vocab", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--limit", type=int, default=0, help="use only the first N sentences")
    parser.add_argument("--threads", type=int, nargs="*",
                        default=sorted({1, os.cpu_count() or 1}))
    args = parser.parse_args()

    if not args.data.exists():
        sys.exit(f"EWT dev data not found: {args.data}")
    sentences = ewt_sentences(args.data)
    if args.limit:
        sentences = sentences[:args.limit]
    words = sum(len(s) for s in sentences)

    torch.manual_seed(0)
    model = CharLM(vocabulary(sentences, args.vocab), emb_dim=args.emb_dim, hidden=args.hidden,
                   layers=1, forward=True)
    with tempfile.TemporaryDirectory(prefix="bench-charlm-") as scratch:
        scratch = pathlib.Path(scratch)
        bundle = write_bundle(scratch / "bundle", assets=model.assets(0.0),
                              tensors=model.tensors(), processor="forward_charlm")
        sentence_file = scratch / "sentences.txt"
        sentence_file.write_text("".join("\t".join(s) + "\n" for s in sentences),
                                 encoding="utf-8")
        print(f"{len(sentences)} sentences, {words} words; hidden {args.hidden}, "
              f"embedding {args.emb_dim}, {len(model.units)} characters; best of "
              f"{args.repeats} (median in brackets), words per second", flush=True)
        print(f"{'threads':>7} {'native':>20} {'reference':>20} {'ratio':>6}", flush=True)
        for threads in args.threads:
            native = time_native(args.exe, bundle, sentence_file, threads, args.repeats)
            torch.set_num_threads(threads)
            reference = time_reference(model, sentences, args.repeats)
            drift = abs(native[2] - reference[2]) / max(1.0, abs(reference[2]))
            if drift > 1e-4:
                sys.exit(f"native and reference vectors disagree: checksums {native[2]} "
                         f"and {reference[2]}")
            print(f"{threads:>7} {native[0]:>10.0f} ({native[1]:>7.0f}) "
                  f"{reference[0]:>10.0f} ({reference[1]:>7.0f}) {native[0] / reference[0]:>6.2f}", flush=True)


if __name__ == "__main__":
    main()
