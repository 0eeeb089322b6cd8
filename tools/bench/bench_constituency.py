"""Constituency parser loading: native construction against reading the same
bundle into the PyTorch reference of tools/fixtures/gen_constituency.py.

Two bundles of realistic size (gen_constituency.realistic_parser: pretrained
embeddings 100 wide over 100,000 words, 10,000 delta words of 100, the EWT
XPOS tags embedded 20 wide, word LSTM and constituent stack of 512 with 2
layers, 3 output layers of 512, about 60 transitions) are built on first use
and cached under <cache>/bench/constituency-<key>/, the key hashing the
modules they are built from: "plain", and "charlm" with the forward and
backward character language models (hidden size 1024) of the default model
directory (tools/models/build_models.py).

    <torch-python> tools/bench/bench_constituency.py [--build DIR] [--repeat N]
                   [--models plain,charlm]

Each load runs in a fresh process: construction seconds and resident memory
before and after it, native (velmora_bench_constituency, built with
cmake --build DIR --target velmora_bench_constituency) against the reference
(this script with --reference-load, which parses the assets, builds the
torch modules and loads the tensors into them).
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

    import gen_constituency
    import reference

    assets, tensors = reference.read_bundle(directory)
    config = assets["config"]
    charlm = tuple(reference.charlm_from(assets["charlm"][side], tensors, f"{side}_charlm.")
                   if f"{side}_charlm.char_emb.weight" in tensors else None
                   for side in ("forward", "backward"))
    with torch.no_grad():
        model = gen_constituency.Parser(
            pretrain=assets["pretrain_vocab"]["_unit2id"],
            pretrain_lower=assets["pretrain_vocab"].get("lower"),
            delta_words=assets["delta_words"], tags=assets["tags"],
            tag_source=assets["runtime_contract"]["tag_source"], hidden=config["hidden_size"],
            transition_hidden=config["transition_hidden_size"],
            tag_dim=config.get("tag_embedding_dim") or 0,
            transition_dim=config["transition_embedding_dim"],
            delta_dim=config["delta_embedding_dim"],
            pretrain_dim=tensors["embedding.weight"].shape[1], layers=config["num_lstm_layers"],
            output_layers=config["num_output_layers"],
            output_hidden=tensors["output_layers.0.weight"].shape[0],
            boundaries=config["sentence_boundary_vectors"], transitions=assets["transitions"],
            root_labels=assets["root_labels"], unary_limit=assets["unary_limit"], charlm=charlm)
        model.load_state_dict(reference.without_prefixes(tensors, "forward_charlm.",
                                                         "backward_charlm."))
    return model


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
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, default=TOOLS.parent / "build")
    parser.add_argument("--cache", type=pathlib.Path, default=build_models.DEFAULT_CACHE)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--models", default=",".join(MODELS))
    args = parser.parse_args()
    binary = args.build / "tools" / "velmora_bench_constituency"
    if not binary.exists():
        sys.exit(f"build it first: cmake --build {args.build} --target velmora_bench_constituency")
    load = os.getloadavg()
    print(f"{os.cpu_count()} cores, load average at start {load[0]:.1f} {load[1]:.1f} "
          f"{load[2]:.1f}", flush=True)
    bundles = {name: path for name, path in realistic_bundles(args.cache).items()
               if name in args.models.split(",")}
    report_load(bundles, binary, args.repeat)


if __name__ == "__main__":
    main()
