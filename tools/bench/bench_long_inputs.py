"""Peak memory and time of single long inputs: language identification of
one text, morphological segmentation of one word, the parse of one
sentence, and a pipeline over one long token or one long sentence, each in
a fresh process of the module of a build directory, at one thread (or
--threads).

    <python> tools/bench/bench_long_inputs.py --build DIR CASE... [--cap GB]
        [--model-dir DIR] [--threads N]

A CASE is KIND:BUNDLE:SIZE, KIND one of langid (SIZE characters of text),
morphseg (a word of SIZE characters), depparse (a sentence of SIZE words,
tagged DET and NOUN), token ("Data: " and one token of SIZE base64
characters) or sentence (SIZE words of running text without a sentence
end); BUNDLE is a bundle directory, or for token and sentence the
processor list ("tokenize,pos", "default" for the default pipeline) of a
pipeline over --model-dir. For each case
it prints the peak resident memory of the whole process (VmHWM) after
loading and after the call, the growth per character or word, and the
call's wall time, with the load average; a case that fails prints its
error. `--cap` runs every case under an address-space cap (RLIMIT_AS) of
that many GB.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys

from machine import cpu_model

CHILD = r"""
import json, random, resource, sys, time
kind, bundle, size, cap = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
if cap > 0:
    limit = int(cap * 2**30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import _velmora

def peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

rng = random.Random(7)
if kind == "langid":
    words = ("the of and a to in is was that for it with as on be at by this had not are but "
             "from or have an they which one you were all we her she there would their").split()
    pieces, length = [], 0
    while length < size:
        pieces.append(rng.choice(words))
        length += len(pieces[-1]) + 1
    text = " ".join(pieces)[:size]
    processor = _velmora.LangIDProcessor(bundle)
    call = lambda: processor.identify(text)
elif kind == "morphseg":
    word = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(size))
    plan = _velmora.MorphSegPlan(bundle)
    call = lambda: len(plan.segment(word))
elif kind in ("token", "sentence"):
    model_dir = sys.argv[5]
    if kind == "token":
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
        table = bytes(ord(alphabet[i % 64]) for i in range(256))
        text = "Data: " + rng.randbytes(size).translate(table).decode()
    else:
        words = ("the of and a to in is was that for it with as on be at by this had not are but "
                 "from or have an they which one you were all we her she there would their").split()
        text = " ".join(rng.choice(words) for _ in range(size))
    processors = "tokenize,mwt,pos,lemma,depparse" if bundle == "default" else bundle
    pipeline = _velmora.Pipeline("en", processors, model_dir=model_dir)
    call = lambda: sum(len(s.words) for s in pipeline(text).sentences)
else:
    words = [{"id": i + 1, "text": "word" if i % 3 else "the", "upos": "NOUN" if i % 3 else "DET"}
             for i in range(size)]
    document = _velmora.Document.from_dict([words])
    processor = _velmora.DepparseProcessor(bundle)
    call = lambda: processor.process(document) and None
loaded = peak_kib()
started = time.perf_counter()
try:
    result = call()
    error = None
except Exception as failure:
    result, error = None, f"{type(failure).__name__}: {failure}"
print(json.dumps({"loaded_kib": loaded, "peak_kib": peak_kib(),
                  "seconds": time.perf_counter() - started, "error": error}))
"""


def uptime():
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def run_case(build, case, cap, model_dir, threads):
    kind, bundle, size = case.split(":")
    env = dict(os.environ, PYTHONPATH=str(build / "python"), OMP_NUM_THREADS=str(threads))
    run = subprocess.run([sys.executable, "-c", CHILD, kind, bundle, size, str(cap), model_dir],
                         capture_output=True, text=True, env=env)
    if run.returncode != 0:
        return kind, int(size), None, run.stderr.strip().splitlines()[-1:] or [f"exit {run.returncode}"]
    return kind, int(size), json.loads(run.stdout.strip().splitlines()[-1]), None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--cap", type=float, default=0.0)
    parser.add_argument("--model-dir", default=str(pathlib.Path.home() / ".cache/velmora/models"))
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("cases", nargs="+")
    args = parser.parse_args()
    print(f"# {cpu_model()}; build {args.build}; cap {args.cap or 'none'} GB; "
          f"{args.threads} thread(s)")
    unit = {"langid": "char", "morphseg": "char", "depparse": "word", "token": "char",
            "sentence": "word"}
    for case in args.cases:
        kind, size, result, failure = run_case(args.build, case, args.cap, args.model_dir,
                                               args.threads)
        load = uptime().split("load average:")[1].strip()
        if failure:
            print(f"{case}: process ended: {failure} (load {load})", flush=True)
            continue
        growth = (result["peak_kib"] - result["loaded_kib"]) * 1024
        status = result["error"] or "ok"
        label = kind if kind not in ("token", "sentence") else f"{kind} {case.split(':')[1]}"
        print(f"{label} {size:>10,}: peak {result['peak_kib'] / 2**20:6.2f} GiB "
              f"(loaded {result['loaded_kib'] / 2**20:.2f}), growth {growth / size:8.0f} B/"
              f"{unit[kind]}, {result['seconds']:7.2f} s, {status} (load {load})", flush=True)


if __name__ == "__main__":
    main()
