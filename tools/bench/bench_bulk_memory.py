"""Working memory and speed of one bulk call of a pipeline over many words:
the EWT dev documents repeated until a call holds 10,000, 100,000 or
400,000 words (whitespace-separated), on the bundles of
tools/models/build_models.py.

    python tools/bench/bench_bulk_memory.py [--build DIR] [--before DIR]
        [--model-dir DIR] [--processors default|all|LIST] [--words 10000,100000]
        [--threads 1,4] [--slice-words N,...] [--repeat N] [--stages]

Every run is one fresh process of velmora_bench_bulk_memory (build it with
`cmake --build <build> --target velmora_bench_bulk_memory`), which builds the
pipeline, warms it up on three documents and then times one process_bulk over
all documents, reporting the peak resident growth of the call over the
resident memory before it, the words per second, and what stays resident
after it (with its documents held and once they are dropped). With --before,
every measurement also runs the build of an earlier commit, alternately with
this one, and the table gives the ratios. --slice-words runs the calls with
slices of that many words (the library's own budget otherwise). --stages
gives each processor's own process_bulk, one after the other, with the peak
growth of each. Each line carries the load average at its start and end and
the CPU model; the runs use OMP_WAIT_POLICY=PASSIVE unless it is set.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "tools" / "models"))
sys.path.insert(0, str(HERE))

import build_models  # noqa: E402
from machine import cpu_model  # noqa: E402

DEFAULT = "tokenize,mwt,pos,lemma,depparse"
EVERY = "tokenize,langid,mwt,pos,lemma,depparse,ner,sentiment,constituency,coref,morphseg"


def corpus(words):
    """EWT dev documents, repeated in order until they hold `words` words."""
    texts = build_models.documents(build_models.corpus())
    chosen, total = [], 0
    while total < words:
        for text in texts:
            chosen.append(text)
            total += len(text.split())
            if total >= words:
                break
    return chosen


def load():
    return f"{os.getloadavg()[0]:.1f}"


def run(binary, model_dir, documents, processors, threads, slice_words, stages):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    env.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    command = [str(binary), str(model_dir), str(documents), processors]
    if slice_words:
        command += ["--slice-words", str(slice_words)]
    if stages:
        command.append("--stages")
    start = load()
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"{binary} failed:\n{result.stderr}")
    # Only the result lines: every item of them is key=value.
    rows = [dict(item.split("=", 1) for item in line.split())
            for line in result.stdout.splitlines()
            if line.split() and all("=" in item for item in line.split())]
    for row in rows:
        row["load"] = f"{start}-{load()}"
    return rows


def mib(kib):
    return float(kib) / 1024


def report(label, row, words_limit):
    words = int(row["words"])
    peak = mib(row["peak_growth_kib"])
    limit = words_limit[0] * 1024 + words_limit[1] * 1000 * words / 1024 / 1024
    print(f"  {label:7} {words:>8,} words: peak growth {peak:8.0f} MiB "
          f"({peak * 1024 * 1024 / words / 1000:5.1f} KB/word; limit {limit:,.0f} MiB), "
          f"{float(row['wps']):6.1f} w/s, held after {mib(row['held_kib']):5.0f} MiB, "
          f"after dropping {mib(row['dropped_kib']):5.0f} MiB (load {row['load']})", flush=True)
    if "peak_anon_kib" in row:
        print(f"  {'':7} {'anonymous':>14}: peak growth {mib(row['peak_anon_kib']):8.0f} MiB, "
              f"held after {mib(row['held_anon_kib']):5.0f} MiB, "
              f"after dropping {mib(row['dropped_anon_kib']):5.0f} MiB", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--before", type=pathlib.Path)
    parser.add_argument("--model-dir", type=pathlib.Path)
    parser.add_argument("--processors", default="default")
    parser.add_argument("--words", default="10000,100000,400000")
    parser.add_argument("--threads", default="1,4")
    parser.add_argument("--slice-words", default="0")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--stages", action="store_true")
    args = parser.parse_args()

    processors = {"default": DEFAULT, "all": EVERY}.get(args.processors, args.processors)
    model_dir = args.model_dir or build_models.model_dir(processors=processors)
    # The limits the call must keep: GiB plus KB per word.
    words_limit = (1.0, 4.0) if processors == DEFAULT else (1.5, 4.0)
    builds = [("after", args.build)] + ([("before", args.before)] if args.before else [])
    binaries = {label: build / "tools" / "velmora_bench_bulk_memory" for label, build in builds}
    for label, binary in binaries.items():
        if not binary.exists():
            sys.exit(f"missing {binary}: build the target velmora_bench_bulk_memory in {label}")
    print(f"{os.cpu_count()} cores ({cpu_model()}); {processors}; bundles in {model_dir}")
    with tempfile.TemporaryDirectory() as scratch:
        for words in [int(w) for w in args.words.split(",")]:
            texts = corpus(words)
            documents = pathlib.Path(scratch) / f"documents-{words}.txt"
            documents.write_text("\n\x1e\n".join(texts), encoding="utf-8")
            for threads in [int(t) for t in args.threads.split(",")]:
                for slice_words in [int(p) for p in args.slice_words.split(",")]:
                    print(f"{len(texts)} documents, {words:,} whitespace words, {threads} threads"
                          + (f", slices of {slice_words} words" if slice_words else ""),
                          flush=True)
                    best = {}
                    for _ in range(args.repeat):
                        # Alternately, so that both builds meet the same load.
                        for label, binary in (builds if _ % 2 == 0 else builds[::-1]):
                            rows = run(binaries[label], model_dir, documents, processors,
                                       threads, slice_words, args.stages)
                            if args.stages:
                                for row in rows:
                                    print(f"  {label:7} {row['stage']:12} peak growth "
                                          f"{mib(row['peak_growth_kib']):7.0f} MiB, "
                                          f"{float(row['seconds']):7.1f} s, held "
                                          f"{mib(row['held_kib']):6.0f} MiB (load {row['load']})",
                                          flush=True)
                                continue
                            report(label, rows[0], words_limit)
                            if label not in best or float(rows[0]["wps"]) > float(best[label]["wps"]):
                                best[label] = rows[0]
                    if len(best) == 2:
                        after, before = best["after"], best["before"]
                        print(f"  after/before: speed {float(after['wps']) / float(before['wps']):.3f}x,"
                              f" peak growth {float(after['peak_growth_kib']) / float(before['peak_growth_kib']):.3f}x",
                              flush=True)


if __name__ == "__main__":
    main()
