"""Language identifier throughput: native identify_many (EWT dev sentence
texts) and LangIDProcessor process_bulk (EWT dev document texts) against the
PyTorch reference identifier of tools/fixtures/gen_langid.py, which groups
texts by length as the bundle's model does.

The bundle comes from tools/models/build_models.py (classifier_dir(), built
once and cached): 3,000 characters, embeddings 150 wide, a BiLSTM of 150 with
2 layers, 60 languages. The reference is read back from the same bundle. Both
run at one thread and at all cores.

    <torch-python> tools/bench/bench_langid.py [--build DIR] [--scratch DIR]
                   [--repeat N] [--threads 1,8]

The native side is the velmora_bench_langid executable of the build
directory (cmake --build DIR --target velmora_bench_langid).
"""

from __future__ import annotations

import json
import subprocess
import sys

import document_bench
from document_bench import ROOT

sys.path.insert(0, str(ROOT / "models"))

import build_models  # noqa: E402
import reference  # noqa: E402

gen_langid, _ = build_models.import_classifier_generators()
from ud_data import EWT_DEV, ewt_texts  # noqa: E402


def native_cps(binary, bundle, texts_file, threads, repeat):
    """{threads: (identify_many, process_bulk) characters per second}."""
    out = subprocess.run([str(binary), str(bundle), str(texts_file), *map(str, threads),
                          "--repeat", str(repeat)], check=True, capture_output=True,
                         text=True).stdout
    result = {}
    for line in out.splitlines():
        fields = dict(item.split("=", 1) for item in line.split())
        if "threads" in fields:
            result[int(fields["threads"])] = (float(fields["identify_cps"]),
                                              float(fields["bulk_cps"]))
    return result


def main():
    args = document_bench.arguments("/tmp/velmora-bench-langid")
    binary = document_bench.native_binary(args.build, "velmora_bench_langid", EWT_DEV)
    bundle = build_models.classifier_dir() / "langid"
    sentences, documents = ewt_texts()
    texts_file = args.scratch / "ewt-dev-texts.json"
    texts_file.write_text(json.dumps({"sentences": sentences, "documents": documents}),
                          encoding="utf-8")
    model = gen_langid.LangID.from_bundle(*reference.read_bundle(bundle))
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"EWT dev: {len(sentences)} sentences of {sum(map(len, sentences))} characters, "
          f"{len(documents)} documents; {uptime}")
    native = native_cps(binary, bundle, texts_file, args.threads, args.repeat)
    print(f"{'threads':>7} {'set':>9} {'reference c/s':>14} {'native c/s':>11} {'speed-up':>9}")
    for count in args.threads:
        for column, (label, texts) in enumerate([("sentences", sentences),
                                                 ("documents", documents)]):
            ref = document_bench.reference_wps(lambda: model.identify_many(texts),
                                               sum(map(len, texts)), count, args.repeat,
                                               lambda: model.identify_many(texts[:50]))
            print(f"{count:>7} {label:>9} {ref:>14.0f} {native[count][column]:>11.0f} "
                  f"{native[count][column] / ref:>8.2f}x", flush=True)
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"after: {uptime}")


if __name__ == "__main__":
    main()
