"""Annotates a text with the default English pipeline and prints CoNLL-U.

    PYTHONPATH=<build>/python <python3.12> tools/annotate.py --model-dir DIR [TEXT ...]

The text is the arguments joined by spaces; without arguments, standard input
when it is not a terminal; when that is empty too, a sample paragraph. The
CoNLL-U goes to standard output, the timing (loading, words per second) to
standard error. tools/main.sh builds the model directory and runs this.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

SAMPLE = (
    "The quick brown fox didn't jump over the lazy dog. It's a small example, built to show "
    "the machinery rather than good answers! Dr. Smith said the report (about $3.5 million "
    "in sales) wasn't ready.\n\n"
    "A new paragraph starts here. Write to info@example.com or visit www.example.org today."
)


def read_text(words):
    if words:
        return " ".join(words)
    if sys.stdin is not None and not sys.stdin.isatty():
        text = sys.stdin.read()
        if text.strip():
            return text
    return SAMPLE


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model-dir", required=True, help="root of the model directory")
    parser.add_argument("--processors", default="tokenize,mwt,pos,lemma,depparse")
    parser.add_argument("--lang", default="en")
    parser.add_argument("--threads", type=int,
                        help="tensor threads (default: OMP_NUM_THREADS when set, else half the "
                        "cores and at most 4: with every core busy, a shared machine stalls the "
                        "tensor library's thread pool at every step)")
    parser.add_argument("text", nargs="*", help="the text (default: standard input)")
    parser.epilog = (
        "Unless OMP_WAIT_POLICY is set, it is set to PASSIVE before the module loads: the "
        "tensor library's threads then sleep at the end of a parallel region instead of "
        "spinning. Spinning threads hold cores that other work on a shared machine needs, and "
        "when a core is taken from one of them every region waits for it; with several threads "
        "on a busy machine that made a run many times slower than one thread.")
    args = parser.parse_args()
    text = read_text(args.text)
    threads = args.threads or os.environ.get("OMP_NUM_THREADS") or max(
        1, min(4, (os.cpu_count() or 1) // 2))
    # Read once, when the tensor library starts: before the import.
    os.environ["OMP_NUM_THREADS"] = os.environ["MKL_NUM_THREADS"] = str(threads)
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

    import _velmora

    start = time.perf_counter()
    pipeline = _velmora.Pipeline(args.lang, processors=args.processors, model_dir=args.model_dir)
    loaded = time.perf_counter() - start
    start = time.perf_counter()
    document = pipeline.process(text)
    seconds = time.perf_counter() - start
    sys.stdout.write(document.to_conll().rstrip("\n") + "\n\n")
    sys.stdout.flush()
    words = document.num_words
    print(f"{words} words in {len(document.sentences)} sentences: {seconds:.3f} s, "
          f"{words / seconds if seconds > 0 else float('inf'):.0f} words per second "
          f"(pipeline loaded in {loaded:.3f} s)", file=sys.stderr)


if __name__ == "__main__":
    main()
