"""Morphological segmenter throughput: MorphSegProcessor's bulk processing of
the EWT dev documents (50 sentences each) from C++ (velmora_bench_morphseg)
and from Python (_velmora under the 3.12 interpreter), against the PyTorch
reference of tools/fixtures/gen_morphseg.py segmenting the same words, on a
bundle of realistic size: character embeddings 128, two bidirectional LSTM
layers of 256, 150 characters, 600 actions, batch_size 64.

    <torch-python> tools/bench/bench_morphseg.py [--build DIR] [--scratch DIR]
                   [--repeat N] [--rounds N] [--threads 1,8]

Each round measures, per thread count, C++, Python and the reference one
after the other, and prints the load average beside the figures. The bundle
is built on first use and kept in the scratch directory under a key of the
modules that write it. The native side needs
`cmake --build <build> --target velmora_bench_morphseg _velmora`.

Run by the 3.12 interpreter with --native-python, the script is the Python
side's driver (it imports no torch then).
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
PER_DOCUMENT = 50


def read_sentences(path):
    sentences, words = [], []
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        if line:
            words.append(line.split("\t")[0])
        elif words:
            sentences.append(words)
            words = []
    return sentences + ([words] if words else [])


def native_python(bundle, words_file, repeat):
    import _velmora

    sentences = read_sentences(words_file)

    def documents():
        return [_velmora.Document.from_dict([[{"id": i + 1, "text": w} for i, w in enumerate(s)]
                                             for s in sentences[f:f + PER_DOCUMENT]])
                for f in range(0, len(sentences), PER_DOCUMENT)]

    processor = _velmora.MorphSegProcessor(bundle)
    processor.bulk_process(documents())
    best = float("inf")
    for _ in range(repeat):
        docs = documents()
        start = time.perf_counter()
        processor.bulk_process(docs)
        best = min(best, time.perf_counter() - start)
    words = sum(len(s) for s in sentences)
    print(f"threads={os.environ.get('OMP_NUM_THREADS', '?')} bulk_wps={words / best}")


def realistic(scratch, words):
    """The realistic bundle and its reference module; the bundle is kept
    under a key of the modules that write it and the torch version."""
    import hashlib

    import torch

    import gen_morphseg

    fixtures = pathlib.Path(gen_morphseg.__file__).parent
    digest = hashlib.sha256(torch.__version__.encode())
    for name in ("gen_morphseg.py", "bundle_writer.py"):
        digest.update((fixtures / name).read_bytes())
    directory = scratch / f"realistic-{digest.hexdigest()[:16]}"
    model = gen_morphseg.realistic_model(words)
    if not (directory / "manifest.json").exists():
        work = scratch / f".{directory.name}-{os.getpid()}"
        model.write(work)
        work.rename(directory)
    return directory, model


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--native-python":
        native_python(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return

    import document_bench

    sys.path.insert(0, str(document_bench.ROOT / "fixtures"))
    import gen_morphseg
    from ud_data import EWT_DEV, ewt_sentences

    args = document_bench.arguments("/tmp/velmora-bench-morphseg",
                                    (["--rounds"], {"type": int, "default": 2}))
    binary = document_bench.native_binary(args.build, "velmora_bench_morphseg", EWT_DEV)
    py312 = pathlib.Path.home() / ".cache" / "velmora" / "venv-py312" / "bin" / "python"

    sentences = ewt_sentences()
    words = [w for s in sentences for w in s]
    words_file = args.scratch / "ewt-dev.tsv"
    document_bench.write_words(words_file, sentences)
    bundle, model = realistic(args.scratch, words)
    distinct = len(set(words))
    characters = sum(len(gen_morphseg.normalise(w)) for w in words)
    print(f"EWT dev: {len(sentences)} sentences, {len(words)} words ({distinct} distinct), "
          f"{characters} characters; bundle {bundle}")
    print(f"{'round':>5} {'threads':>7} {'load':>5} {'C++ w/s':>9} {'Python w/s':>10} "
          f"{'ref w/s':>8} {'C++/ref':>8} {'Py/C++':>7}")
    for round_ in range(1, args.rounds + 1):
        for count in args.threads:
            load = os.getloadavg()[0]
            cpp = document_bench.native_wps(binary, bundle, words_file, [count], args.repeat)[count]
            env = dict(os.environ, PYTHONPATH=str(args.build / "python"),
                       OMP_NUM_THREADS=str(count))
            out = subprocess.run([str(py312), __file__, "--native-python", str(bundle),
                                  str(words_file), str(args.repeat)],
                                 check=True, capture_output=True, text=True, env=env).stdout
            python = float(out.split("bulk_wps=")[1].split()[0])
            reference = document_bench.reference_wps(
                lambda: model.segment(words), len(words), count, args.repeat,
                lambda: model.segment(words[:2000]))
            print(f"{round_:>5} {count:>7} {load:>5.1f} {cpp:>9.0f} {python:>10.0f} "
                  f"{reference:>8.0f} {cpp / reference:>7.2f}x {python / cpp:>7.3f}", flush=True)


if __name__ == "__main__":
    main()
