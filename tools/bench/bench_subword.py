"""Subword tokenizer throughput from Python: our bound tokenizers against the
`tokenizers` (WordPiece, byte-level BPE) and `sentencepiece` (XLM-R unigram)
packages, in one run, over the same trained vocabularies.

    PYTHONPATH=<build>/python VELMORA_FIXTURE_DIR=<build>/fixtures \\
        <3.12 venv python> tools/bench/bench_subword.py [--rounds 5]

Each sentence of the EWT dev treebank is one call with its words already
split: our `encode(words)`, the `tokenizers` package's
`encode(words, is_pretokenized=True)` (which needs numpy) and sentencepiece's
`encode(word)` word by word (its list form starts a thread pool per call and
is several times slower). A second sentencepiece row encodes each sentence as
one space-joined text: less work than ours, since no id is tied to its word,
but its fastest path. "cold" is the first pass with a new tokenizer, "warm"
the pass after it; each figure is the best of several rounds. Prints words
per second and the ratio ours / theirs.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "tools" / "fixtures"))

import subword_data as data  # noqa: E402
from ud_data import ewt_sentences  # noqa: E402
from _velmora import ByteBPETokenizer, WordPieceTokenizer, XLMRobertaTokenizer  # noqa: E402


def timed_passes(make, run, sentences, rounds):
    """Best cold and best warm seconds over `rounds` new tokenizers."""
    cold, warm = float("inf"), float("inf")
    for _ in range(rounds):
        tokenizer = make()
        for phase in ("cold", "warm"):
            start = time.perf_counter()
            for words in sentences:
                run(tokenizer, words)
            seconds = time.perf_counter() - start
            if phase == "cold":
                cold = min(cold, seconds)
            else:
                warm = min(warm, seconds)
    return cold, warm


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if not data.EWT_DEV.is_file():
        raise SystemExit(f"EWT dev treebank not found: {data.EWT_DEV}")
    try:
        import numpy  # noqa: F401 - the tokenizers package needs it for pre-split input
    except ImportError:
        raise SystemExit("numpy is needed by the tokenizers package for pre-split input")

    directory = data.subword_dir()
    sentences = ewt_sentences()
    word_count = sum(len(words) for words in sentences)

    vocabulary = data.wordpiece_vocabulary(directory)
    bpe_vocabulary, merges = data.bpe_model(directory)
    unigram = data.unigram_model(directory)

    def encode_ours(tokenizer, words):
        tokenizer.encode(words)

    def encode_tokenizers(tokenizer, words):
        tokenizer.encode(words, is_pretokenized=True)

    def encode_sentencepiece(processor, words):
        ids = [processor.bos_id()]
        for word in words:
            ids += processor.encode(word)
        ids.append(processor.eos_id())

    def encode_sentencepiece_joined(processor, words):
        [processor.bos_id()] + processor.encode(" ".join(words)) + [processor.eos_id()]

    cases = [
        ("wordpiece", lambda: WordPieceTokenizer(vocabulary), encode_ours,
         lambda: data.pypi_wordpiece(vocabulary, True, True, symbols_kept=True),
         encode_tokenizers),
        ("byte-bpe", lambda: ByteBPETokenizer(bpe_vocabulary, merges, add_prefix_space=True),
         encode_ours, lambda: data.pypi_byte_bpe(bpe_vocabulary, merges, True), encode_tokenizers),
        ("xlmr", lambda: XLMRobertaTokenizer(*unigram), encode_ours,
         lambda: data.pypi_unigram(*unigram), encode_sentencepiece),
        ("xlmr/text", lambda: XLMRobertaTokenizer(*unigram), encode_ours,
         lambda: data.pypi_unigram(*unigram), encode_sentencepiece_joined),
    ]
    print(f"{len(sentences)} sentences, {word_count} words, best of {args.rounds} rounds")
    print(f"{'tokenizer':<10} {'phase':<5} {'ours words/s':>14} {'PyPI words/s':>14} {'ratio':>7}")
    for name, make_ours, run_ours, make_theirs, run_theirs in cases:
        ours = timed_passes(make_ours, run_ours, sentences, args.rounds)
        theirs = timed_passes(make_theirs, run_theirs, sentences, args.rounds)
        for phase, mine, other in zip(("cold", "warm"), ours, theirs):
            print(f"{name:<10} {phase:<5} {word_count / mine:>14.0f} {word_count / other:>14.0f} "
                  f"{other / mine:>7.2f}")


if __name__ == "__main__":
    main()
