"""Tokenizer throughput, native against the PyTorch reference, in one run.

Runs velmora_bench_tokenizer (build it with
`tools/build.sh --target velmora_bench_tokenizer`) on a tokenize bundle and
the raw text of a CoNLL-U file, then labels the same text with the PyTorch
reference of the fixture generator (same bundle, same thread count), and
prints characters per second of both, their ratio, and the native timings on
hostile texts.

    <torch venv python> tools/bench/bench_tokenizer.py [--build build] [--threads 1]

The reference stops at the labels (paragraphs, features, network, windows,
address guard); the native figures also include building the documents.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import time

import numpy as np
import torch

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "fixtures"))

import gen_tokenizer  # noqa: E402


def conllu_documents(path: pathlib.Path) -> list[str]:
    documents: list[str] = []
    new_paragraph = True
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("# newdoc") or not documents:
            documents.append("")
            new_paragraph = True
        if line.startswith("# newpar"):
            new_paragraph = True
        elif line.startswith("# text = "):
            if documents[-1]:
                documents[-1] += "\n\n" if new_paragraph else " "
            documents[-1] += line[len("# text = "):]
            new_paragraph = False
    return documents


def load_reference(bundle: pathlib.Path) -> gen_tokenizer.Reference:
    manifest = json.loads((bundle / "manifest.json").read_text(encoding="utf-8"))
    assets = json.loads((bundle / manifest["assets"]["path"]).read_text(encoding="utf-8"))
    blob = (bundle / manifest["tensor_file"]["path"]).read_bytes()
    state = {}
    for entry in manifest["tensors"]:
        if entry["dtype"] != "float32":
            raise SystemExit(f"unexpected dtype in {entry['name']}")
        raw = np.frombuffer(blob, dtype="<f4", count=entry["nbytes"] // 4, offset=entry["offset"])
        state[entry["name"]] = torch.from_numpy(raw.copy()).reshape(entry["shape"])
    config, unit2id = assets["config"], assets["vocab"]["_unit2id"]
    network = gen_tokenizer.Network(config, state["embeddings.weight"].shape[0], unit2id["<PAD>"])
    network.load_state_dict(state)
    network.eval()
    return gen_tokenizer.Reference(config, unit2id, assets.get("lexicon", []), network)


def reference_seconds(reference: gen_tokenizer.Reference, documents: list[str]) -> float:
    reference.labels(reference.paragraphs(documents[0])[0])  # warm-up, as on the native side
    start = time.perf_counter()
    for text in documents:
        for units in reference.paragraphs(text):
            reference.labels(units)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--bundle", type=pathlib.Path)
    parser.add_argument("--conllu", type=pathlib.Path,
                        default=ROOT.parent / "shared" / "data" / "ud-en-ewt"
                        / "en_ewt-ud-dev.conllu")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--hostile-max", type=int, default=1 << 20)
    args = parser.parse_args()
    bundle = args.bundle or args.build / "fixtures" / "tokenizer" / "bench"

    native_run = subprocess.run(
        [str(args.build / "tools" / "velmora_bench_tokenizer"), str(bundle), str(args.conllu),
         "--threads", str(args.threads), "--hostile-max", str(args.hostile_max)],
        check=True, capture_output=True, text=True)
    native = json.loads(native_run.stdout)

    torch.set_num_threads(args.threads)
    documents = conllu_documents(args.conllu)
    characters = sum(len(text) for text in documents)
    assert characters == native["characters"], "native and reference read different texts"
    seconds = reference_seconds(load_reference(bundle), documents)
    reference_rate = characters / seconds

    print(f"text: {args.conllu.name}, {len(documents)} documents, {characters} characters, "
          f"{args.threads} thread(s), pattern JIT {'on' if native['pattern_jit'] else 'off'}")
    print(f"{'':24}{'chars/s':>12}{'vs reference':>14}")
    print(f"{'reference (PyTorch)':24}{reference_rate:12.0f}{1.0:13.2f}x")
    for label, key in (("native process", "process_chars_per_second"),
                       ("native process_bulk", "bulk_chars_per_second")):
        print(f"{label:24}{native[key]:12.0f}{native[key] / reference_rate:13.2f}x")
    print("\nnative process() on hostile text (seconds):")
    sizes = sorted({entry["bytes"] for entry in native["hostile"]})
    print(f"{'':24}" + "".join(f"{size // 1024:>10} KB" for size in sizes))
    names = list(dict.fromkeys(entry["text"] for entry in native["hostile"]))
    for name in names:
        row = {entry["bytes"]: entry["seconds"]
               for entry in native["hostile"] if entry["text"] == name}
        print(f"{name:24}" + "".join(f"{row[size]:13.3f}" for size in sizes))


if __name__ == "__main__":
    main()
