"""Constituency parser benchmark: loading and throughput of the native
parser (C++ and Python) against the PyTorch reference of
tools/fixtures/gen_constituency.py, in one run.

Two bundles of realistic size (gen_constituency.realistic_parser: pretrained
embeddings 100 wide over 100,000 words, 10,000 delta words of 100, the EWT
XPOS tags embedded 20 wide, word LSTM and constituent stack of 512 with 2
layers, 3 output layers of 512, about 60 transitions) are built on first use
and cached under <cache>/bench/constituency-<key>/, the key hashing the
modules they are built from: "plain", and "charlm" with the forward and
backward character language models (hidden size 1024) of the default model
directory (tools/models/build_models.py).

    <torch-python> tools/bench/bench_constituency.py [--build DIR] [--repeat N]
        [--models plain,charlm] [--threads 1,8] [--sentences N] [--skip load,throughput]

load        each in a fresh process: construction seconds and resident memory
            before and after it, native (velmora_bench_constituency) against
            the reference (this script with --reference-load: parse the
            assets, build the torch modules, load the tensors into them);
throughput  words per second of process_bulk over the first N EWT dev
            sentences (words and their XPOS, 50 sentences a document), C++
            (velmora_bench_constituency), Python (_velmora under the 3.12
            interpreter, its thread count set through OMP_NUM_THREADS) and the
            reference parsing sentence by sentence, at each thread count.

The native side needs `cmake --build DIR --target velmora_bench_constituency`
and the module in DIR/python.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.metadata
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
TOOLS = HERE.parent
sys.path.insert(0, str(TOOLS / "fixtures"))
sys.path.insert(0, str(TOOLS / "models"))

import build_models  # noqa: E402
import generate  # noqa: E402

MODELS = ("plain", "charlm")


# --- bundles ---------------------------------------------------------------------------


def bundle_key():
    """Hash of what the bundles are built from: this script, build_models.py,
    gen_constituency.py and the fixture modules it imports, the torch version
    and whether the treebank was there."""
    digest = hashlib.sha256(importlib.metadata.version("torch").encode())
    digest.update(b"ewt" if build_models.EWT_DEV.exists() else b"fallback")
    fixtures = TOOLS / "fixtures"
    files = [pathlib.Path(__file__).resolve(), TOOLS / "models" / "build_models.py"]
    files += [fixtures / name for name in
              sorted(generate.local_imports("gen_constituency.py") | {"gen_constituency.py"})]
    for path in files:
        digest.update(path.name.encode())
        digest.update(path.read_bytes())
    return digest.hexdigest()[:16]


def realistic_bundles(cache):
    """{name: bundle directory} of the realistic bundles, built when missing."""
    target = pathlib.Path(cache) / "bench" / f"constituency-{bundle_key()}"
    if not (target / ".complete").exists():
        build_models.cached_directory(target, build_bundles)
    return {name: target / name for name in MODELS}


def build_bundles(work):
    import torch

    import gen_constituency

    sentences = build_models.corpus()
    tagged = [[[w[0], w[2], w[3]] for w in s.words] for s in sentences]
    torch.set_num_threads(max(1, min(4, os.cpu_count() or 1)))
    gen_constituency.build_realistic(work / "plain", tagged)
    gen_constituency.build_realistic(work / "charlm", tagged,
                                     build_models.shared_charlms(sentences))


def bundle_bytes(directory):
    return sum(p.stat().st_size for p in pathlib.Path(directory).rglob("*") if p.is_file())


# --- the reference -----------------------------------------------------------------------


def load_reference(directory):
    """The reference parser of a bundle: its modules built from the assets,
    the tensors read from the file and loaded into them."""
    import torch

    import reference

    with torch.no_grad():
        return reference.load_constituency(directory)


def reference_load_main(directory):
    """In a fresh torch process: seconds and memory of load_reference()."""
    import bench_pipeline

    import reference  # noqa: F401  (imported before the baseline is taken)

    before = bench_pipeline.memory_kib()
    start = time.perf_counter()
    model = load_reference(directory)
    seconds = time.perf_counter() - start
    print(f"load_seconds={seconds}", bench_pipeline.fields("before", before),
          bench_pipeline.fields("constructed", bench_pipeline.memory_kib()), flush=True)
    del model


# --- throughput ----------------------------------------------------------------------------


def native_python_main(argv):
    """Under the 3.12 interpreter: words per second of bulk_process."""
    bundle, words_file, repeat = argv[0], argv[1], int(argv[2])
    import _velmora

    sentences = [[line.split("\t") for line in block.splitlines()]
                 for block in pathlib.Path(words_file).read_text(encoding="utf-8").split("\n\n")
                 if block.strip()]
    documents = [_velmora.Document.from_dict(
        [[{"id": i + 1, "text": w[0], "upos": w[2], "xpos": w[3]} for i, w in enumerate(s)]
         for s in sentences[first:first + 50]]) for first in range(0, len(sentences), 50)]
    words = sum(len(s) for s in sentences)
    processor = _velmora.ConstituencyProcessor(bundle)
    processor.bulk_process(documents[:1])
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        processor.bulk_process(documents)
        best = min(best, time.perf_counter() - start)
    print(f"threads={os.environ.get('OMP_NUM_THREADS', '?')} bulk_wps={words / best}", flush=True)


def throughput(name, bundle, binary, args, sentences):
    import torch

    import document_bench

    words_file = args.scratch / f"ewt-{len(sentences)}.tsv"
    document_bench.write_words(words_file, [[[w[0], None, w[1], w[2], None] for w in s]
                                            for s in sentences])
    words = sum(len(s) for s in sentences)
    cpp = document_bench.native_wps(binary, bundle, words_file, args.threads, args.repeat)
    py312 = pathlib.Path.home() / ".cache" / "velmora" / "venv-py312" / "bin" / "python"
    python = {}
    for count in args.threads:
        env = dict(os.environ, PYTHONPATH=str(args.build / "python"), OMP_NUM_THREADS=str(count))
        out = subprocess.run([str(py312), __file__, "--native-python", str(bundle),
                              str(words_file), str(args.repeat)], check=True, env=env,
                             capture_output=True, text=True).stdout
        python[count] = float(out.split("bulk_wps=")[1])
    model = load_reference(bundle)
    print(f"\n{name}: {len(sentences)} sentences, {words} words; load average "
          f"{os.getloadavg()[0]:.1f}", flush=True)
    print(f"{'threads':>7} {'reference w/s':>14} {'C++ w/s':>9} {'Python w/s':>11} "
          f"{'C++/ref':>8} {'Py/C++':>7}")
    for count in args.threads:
        reference = document_bench.reference_wps(
            lambda: [model.parse([w[0] for w in s], [w[2] for w in s]) for s in sentences],
            words, count, 1, lambda: [model.parse([w[0] for w in s], [w[2] for w in s])
                                      for s in sentences[:3]])
        print(f"{count:>7} {reference:>14.0f} {cpp[count]:>9.0f} {python[count]:>11.0f} "
              f"{cpp[count] / reference:>7.2f}x {python[count] / cpp[count]:>6.2f}",
              flush=True)
    torch.set_num_threads(1)


# --- driver ------------------------------------------------------------------------------


def run_line(command):
    out = subprocess.run([str(c) for c in command], check=True, capture_output=True,
                         text=True).stdout
    line = next(line for line in out.splitlines() if line.startswith("load_seconds="))
    return {k: float(v) for k, v in (item.split("=", 1) for item in line.split())}


def report_load(bundles, binary, repeat):
    print(f"\nloading: best of {repeat} fresh processes; growth = resident memory after "
          "construction minus before")
    print(f"{'bundle':8} {'MiB':>5} {'native s':>9} {'ref s':>7} {'ref/native':>10} "
          f"{'native growth':>14} {'% bundle':>8} {'ref growth':>11}")
    for name, bundle in bundles.items():
        size = bundle_bytes(bundle)
        native = min((run_line([binary, bundle]) for _ in range(repeat)),
                     key=lambda r: r["load_seconds"])
        ref = min((run_line([sys.executable, __file__, "--reference-load", bundle])
                   for _ in range(repeat)), key=lambda r: r["load_seconds"])
        growth = (native["constructed_VmRSS"] - native["before_VmRSS"]) * 1024
        ref_growth = (ref["constructed_VmRSS"] - ref["before_VmRSS"]) * 1024
        print(f"{name:8} {size / 2**20:>5.0f} {native['load_seconds']:>9.3f} "
              f"{ref['load_seconds']:>7.3f} {ref['load_seconds'] / native['load_seconds']:>9.1f}x "
              f"{growth / 2**20:>11.1f}MiB {100 * growth / size:>7.1f}% "
              f"{ref_growth / 2**20:>8.0f}MiB", flush=True)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--reference-load":
        reference_load_main(sys.argv[2])
        return
    if len(sys.argv) == 5 and sys.argv[1] == "--native-python":
        native_python_main(sys.argv[2:])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=TOOLS.parent / "build")
    parser.add_argument("--cache", type=pathlib.Path, default=build_models.DEFAULT_CACHE)
    parser.add_argument("--scratch", type=pathlib.Path,
                        default=pathlib.Path("/tmp/velmora-bench-constituency"))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--models", default=",".join(MODELS))
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    parser.add_argument("--sentences", type=int, default=300,
                        help="the first N EWT dev sentences (the reference is slow)")
    parser.add_argument("--skip", default="")
    args = parser.parse_args()
    args.threads = [int(t) for t in args.threads.split(",")]
    args.scratch.mkdir(parents=True, exist_ok=True)
    skip = set(filter(None, args.skip.split(",")))
    binary = args.build / "tools" / "velmora_bench_constituency"
    if not binary.exists():
        sys.exit(f"build it first: cmake --build {args.build} --target velmora_bench_constituency")
    load = os.getloadavg()
    print(f"{os.cpu_count()} cores, load average at start {load[0]:.1f} {load[1]:.1f} "
          f"{load[2]:.1f}", flush=True)
    bundles = {name: path for name, path in realistic_bundles(args.cache).items()
               if name in args.models.split(",")}
    if "load" not in skip:
        report_load(bundles, binary, args.repeat)
    if "throughput" not in skip:
        sentences = [[[w[0], w[2], w[3]] for w in s.words]
                     for s in build_models.corpus()][:args.sentences]
        for name, bundle in bundles.items():
            throughput(name, bundle, binary, args, sentences)


if __name__ == "__main__":
    main()
