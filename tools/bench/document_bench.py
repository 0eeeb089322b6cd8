"""The parts that bench_pos.py and bench_depparse.py share: their command
line, the words file of the native document benchmark (document_bench.hpp),
running that benchmark, and timing the PyTorch reference.
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


def arguments(scratch, *extra):
    """The common options; `extra` adds (flags, keywords) pairs."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=ROOT.parent / "build")
    parser.add_argument("--scratch", type=pathlib.Path, default=pathlib.Path(scratch))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    for flags, keywords in extra:
        parser.add_argument(*flags, **keywords)
    args = parser.parse_args()
    args.threads = [int(t) for t in args.threads.split(",")]
    args.scratch.mkdir(parents=True, exist_ok=True)
    return args


def native_binary(build, name, treebank):
    """The benchmark executable `name` of the build directory; exits with a
    hint when it or the treebank is missing."""
    if not treebank.exists():
        sys.exit(f"the EWT dev treebank is required: {treebank}")
    binary = build / "tools" / name
    if not binary.exists():
        sys.exit(f"build it first: cmake --build {build} --target {name}")
    return binary


def write_words(path, sentences):
    """One word a line, its fields (a word is a string or a list of fields,
    None for an absent one) separated by tabs; an empty line after each
    sentence."""
    def line(word):
        fields = [word] if isinstance(word, str) else word
        return "\t".join(f or "" for f in fields) + "\n"

    path.write_text("".join("".join(line(w) for w in s) + "\n" for s in sentences),
                    encoding="utf-8")


def native_wps(binary, bundle, words_file, threads, repeat):
    """{threads: words per second of process_bulk} of the native benchmark."""
    out = subprocess.run([str(binary), str(bundle), str(words_file), *map(str, threads),
                          "--repeat", str(repeat), "--no-process"],
                         check=True, capture_output=True, text=True).stdout
    result = {}
    for line in out.splitlines():
        fields = dict(item.split("=", 1) for item in line.split())
        if "threads" in fields:
            result[int(fields["threads"])] = float(fields["bulk_wps"])
    return result


def reference_wps(run, words, threads, repeat, warm_up):
    """Words per second of the fastest of `repeat` calls of `run()` on
    `threads` torch threads, after one call of `warm_up()`."""
    torch.set_num_threads(threads)
    warm_up()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return words / best
