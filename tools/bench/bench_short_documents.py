"""Bulk calls over many short documents: LemmaProcessor and MorphSegProcessor
`bulk_process` over 10,000, 20,000 and 40,000 documents of 5 words each (the
EWT dev words in order, with their UPOS), from Python, on the realistic
bundles of tools/models/build_models.py. A call should cost the same per
document whatever the number of documents.

    <torch-python> tools/bench/bench_short_documents.py [--build DIR]
                   [--counts 10000,20000,40000] [--repeat N]

The torch interpreter only builds the model directory; each measurement runs
in a fresh 3.12 interpreter (one thread) that imports _velmora from the build.
The native side needs `cmake --build <build> --target _velmora`.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import time

from machine import cpu_model

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
PER_DOCUMENT = 5


def native_python(processor_name, bundle, words_file, count, repeat):
    import _velmora

    words = [line.split("\t") for line in
             pathlib.Path(words_file).read_text(encoding="utf-8").splitlines()]

    def documents():
        out = []
        for d in range(count):
            entries = []
            for i in range(PER_DOCUMENT):
                form, upos = words[(d * PER_DOCUMENT + i) % len(words)]
                entry = {"id": i + 1, "text": form}
                if upos:
                    entry["upos"] = upos
                entries.append(entry)
            out.append(_velmora.Document.from_dict([entries]))
        return out

    processor = getattr(_velmora, processor_name)(bundle)
    processor.bulk_process(documents()[:100])
    best = float("inf")
    for _ in range(repeat):
        docs = documents()
        start = time.perf_counter()
        processor.bulk_process(docs)
        best = min(best, time.perf_counter() - start)
    print(f"seconds={best}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--native-python":
        native_python(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6]))
        return

    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--counts", default="10000,20000,40000")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()

    sys.path.insert(0, str(ROOT / "tools" / "models"))
    import build_models

    models = pathlib.Path(subprocess.run(
        [sys.executable, str(ROOT / "tools" / "models" / "build_models.py"),
         "--processors", "lemma,morphseg"],
        check=True, capture_output=True, text=True).stdout.split()[-1])
    language = models / build_models.RESOURCES_VERSION / build_models.LANGUAGE
    sentences = build_models.read_treebank(build_models.EWT_DEV)
    words_file = pathlib.Path(f"/tmp/velmora-bench-short-{os.getpid()}.tsv")
    words_file.write_text("".join(f"{form}\t{upos or ''}\n" for s in sentences
                                  for form, _, upos, _, _ in s.words), encoding="utf-8")
    py312 = pathlib.Path.home() / ".cache" / "velmora" / "venv-py312" / "bin" / "python"
    env = dict(os.environ, PYTHONPATH=str(args.build / "python"), OMP_NUM_THREADS="1")
    print(f"CPU: {cpu_model()}; {PER_DOCUMENT} words a document, one thread")
    print(f"{'processor':>17} {'documents':>9} {'load':>5} {'seconds':>8} {'us/doc':>7}")
    try:
        for processor, folder in (("LemmaProcessor", "lemma"), ("MorphSegProcessor", "morphseg")):
            for count in (int(c) for c in args.counts.split(",")):
                load = os.getloadavg()[0]
                out = subprocess.run(
                    [str(py312), __file__, "--native-python", processor, str(language / folder),
                     str(words_file), str(count), str(args.repeat)],
                    check=True, capture_output=True, text=True, env=env).stdout
                seconds = float(out.split("seconds=")[1].split()[0])
                print(f"{processor:>17} {count:>9} {load:>5.1f} {seconds:>8.2f} "
                      f"{1e6 * seconds / count:>7.1f}", flush=True)
    finally:
        words_file.unlink()


if __name__ == "__main__":
    main()
