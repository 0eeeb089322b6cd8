"""A "coref" bundle of realistic size with seeded random weights, and its
PyTorch reference.

    <torch-python> tools/models/coref_bundle.py [--cache DIR] [--force]

prints the bundle directory, building it first when it is missing (under
<cache>/models/coref-<key>/coref, the key hashing this file, the fixture
modules it borrows from, the torch version, the CPU's instruction-set flags
(the package is compiled for them) and whether the EWT treebank was there).
`build_coref(directory, sentences, texts)` has the signature of the steps of
build_models.py, so a full model directory can add it as one more processor.

Sizes (REALISTIC): a transformer encoder of 24 post-norm layers, hidden 1024,
16 heads and feed-forward 4096 (the size of the large encoders coreference
models are trained on), compiled frozen (gen_coref.FROZEN) into a model
package for windows of up to 512 ids; a byte-level BPE tokenizer trained on
the treebank's text and filled up to 50,000 entries; distance and speaker
embeddings of 20, one anaphoricity layer of 1024 over 3 x 1024 + 40, rough_k
50, scoring batches of 512 words; a span scorer with position embeddings of
64, layers 256/256/64 and convolutions 64 -> 4 -> 2; a zero predictor
1024 -> 256 -> 1; singletons, speakers and zero mentions all on. Compiling
the package takes one to a few minutes and about 6 GB.

`reference(bundle)` reads the bundle back into the reference resolver of
tools/fixtures/coref_reference.py, with the eager encoder rebuilt from its
seed and checked against rows the package gave when it was built.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys

import torch
from torch import nn

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import build_models  # noqa: E402

sys.path.insert(0, str(build_models.FIXTURES))

import coref_reference as cr  # noqa: E402
import gen_coref  # noqa: E402
import gen_transformer as gt  # noqa: E402
from aot_package import compile_scratch  # noqa: E402
from bundle_writer import write_bundle, write_json  # noqa: E402

REALISTIC = {"layers": 24, "hidden": 1024, "heads": 16, "feed_forward": 4096,
             "vocabulary": 50_000, "max_length": 512}
ENCODER_SEED = 24
MODEL_SEED = 25
PACKAGE = "encoder.pt2"
CHECK = "encoder_check.json"  # rows of the package, beside the bundle
SPECIALS = ["<s>", "<pad>", "</s>", "<unk>"]


class Encoder(gt.TinyEncoder):
    """gen_transformer's encoder (token and position embeddings under
    post-norm layers) at any size."""

    def __init__(self, vocabulary, hidden, heads, layers, feed_forward, max_length):
        nn.Module.__init__(self)
        self.tokens = nn.Embedding(vocabulary, hidden)
        self.positions = nn.Embedding(max_length, hidden)
        self.norm = nn.LayerNorm(hidden)
        layer = nn.TransformerEncoderLayer(hidden, heads, dim_feedforward=feed_forward,
                                           dropout=0.0, activation="gelu", batch_first=True)
        self.layers = nn.TransformerEncoder(layer, layers, enable_nested_tensor=False)


def encoder(sizes=REALISTIC):
    torch.manual_seed(ENCODER_SEED)
    return Encoder(sizes["vocabulary"], sizes["hidden"], sizes["heads"], sizes["layers"],
                   sizes["feed_forward"], sizes["max_length"]).eval()


def coref_model(sizes=REALISTIC):
    torch.manual_seed(MODEL_SEED)
    return cr.CorefModel(
        sizes["hidden"], distance_width=20, speaker_width=20, anaphoricity=[sizes["hidden"]],
        start_width=50, position_width=64, span_layers=(256, 256, 64), conv_width=4,
        zero_width=256, rough_k=50, batch_size=512, window=512, singletons=True,
        full_pairwise=True, use_zeros=True).eval()


# --- tokenizer -------------------------------------------------------------------------


def train_tokenizer(texts, size):
    """The byte-level BPE description, trained on `texts` and filled with
    unused entries up to `size`."""
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
    trainer = trainers.BpeTrainer(vocab_size=size, special_tokens=SPECIALS,
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
                                  show_progress=False)
    tok.train_from_iterator(list(texts) + gt.CORPUS, trainer=trainer)
    model = json.loads(tok.to_str())["model"]
    vocabulary = sorted(model["vocab"], key=model["vocab"].get)
    vocabulary += [f"<unused{i}>" for i in range(size - len(vocabulary))]
    merges = [list(m) if isinstance(m, list) else m.split(" ") for m in model["merges"]]
    return {"type": "ByteBPE", "vocabulary": vocabulary, "merges": merges,
            "add_prefix_space": True, "unknown_token": "<unk>", "cls_token": "<s>",
            "sep_token": "</s>"}


def word_ids(description):
    """The subword ids of one word, by the `tokenizers` package over the
    description's vocabulary and merges."""
    from tokenizers import Tokenizer, models, pre_tokenizers

    vocabulary = {t: i for i, t in enumerate(description["vocabulary"])}
    tok = Tokenizer(models.BPE(vocabulary, [tuple(m) for m in description["merges"]],
                               unk_token=description["unknown_token"]))
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=True)
    return lambda word: tok.encode([word], is_pretokenized=True).ids


# --- the bundle --------------------------------------------------------------------------


def documents(sentences):
    """build_models' sentences as gen_coref's documents, split where a
    document starts."""
    docs = []
    for s in sentences:
        if s.newdoc or not docs:
            docs.append({"sentences": []})
        docs[-1]["sentences"].append({"words": [w[0] for w in s.words],
                                      "upos": [w[2] for w in s.words], "empty": []})
    return docs


def run_encoder(model):
    return lambda ids: gt.run(model, ids)


def build_coref(directory, sentences, texts, sizes=REALISTIC, quiet=False):
    """Writes the bundle to `directory` and, beside it, CHECK: rows of the
    package for the reference's sake."""
    directory = pathlib.Path(directory)
    description = train_tokenizer(texts, sizes["vocabulary"])
    ids = gen_coref.special_ids(description, "bpe")
    torch.backends.mha.set_fastpath_enabled(False)  # the path the package is traced through
    encode = encoder(sizes)
    package = directory.parent / f".{directory.name}-{PACKAGE}"
    # Entered before the compiler is first imported, which makes its cache
    # folder: what it writes goes in the caller's work folder.
    with compile_scratch(directory.parent):
        gen_coref.export_frozen(encode, package)
    model = coref_model(sizes)
    resolver = cr.Resolver(model, run_encoder(encode), word_ids(description),
                           start_id=ids["cls_id"], end_id=ids["sep_id"])
    gen_coref.calibrate(resolver, documents(sentences)[:8])
    probe = list(range(4, 40))
    write_json(directory.parent / CHECK,
               {"input_ids": probe, "rows": gt.run(encode, probe)[:, :8].tolist()})
    del encode
    write_bundle(directory, assets=gen_coref.assets(model, description, ids, {}, PACKAGE,
                                                    sizes["max_length"]),
                 tensors=model.tensors(), processor="coref", artifacts={PACKAGE: package})
    package.unlink()


def reference(bundle, sizes=REALISTIC):
    """The resolver of `bundle` (built by build_coref): its tensors read back,
    the encoder rebuilt from its seed (eager, with PyTorch's fast path)."""
    import reference as models_reference

    assets, tensors = models_reference.read_bundle(bundle)
    model = coref_model(sizes)
    model.load_state_dict(tensors)
    encode = encoder(sizes)
    check = json.loads((pathlib.Path(bundle).parent / CHECK).read_text(encoding="utf-8"))
    torch.backends.mha.set_fastpath_enabled(False)
    rows = gt.run(encode, check["input_ids"])[:, :8]
    assert torch.allclose(rows, torch.tensor(check["rows"]), atol=1e-4), \
        "the rebuilt encoder differs from the bundle's"
    torch.backends.mha.set_fastpath_enabled(True)
    description = assets["transformer"]["tokenizer"]
    return cr.Resolver(model, run_encoder(encode), word_ids(description),
                       start_id=description["cls_id"], end_id=description["sep_id"])


def cache_key():
    import hashlib
    import importlib.metadata

    digest = hashlib.sha256(importlib.metadata.version("torch").encode())
    digest.update(b"ewt" if build_models.EWT_DEV.exists() else b"fallback")
    digest.update(build_models.cpu_flags().encode())
    sources = [pathlib.Path(__file__).resolve()]
    sources += build_models.generator_sources(["gen_coref", "bundle_writer"])
    for path in sources:
        digest.update(path.name.encode())
        digest.update(path.read_bytes())
    return "coref-" + digest.hexdigest()[:16]


def bundle_dir(cache=build_models.DEFAULT_CACHE, force=False, quiet=False):
    """The realistic bundle, built when missing."""
    def build_into(work):
        sentences = build_models.corpus()
        build_coref(work / "coref", sentences, build_models.documents(sentences), quiet=quiet)

    target = pathlib.Path(cache) / "models" / cache_key()
    build_models.cached_directory(target, build_into, force=force, quiet=quiet)
    return target / "coref"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=pathlib.Path, default=build_models.DEFAULT_CACHE)
    parser.add_argument("--force", action="store_true", help="rebuild even when present")
    args = parser.parse_args()
    print(bundle_dir(args.cache, force=args.force))


if __name__ == "__main__":
    main()
