"""The pipeline chained from the fixture generators' PyTorch references,
over the bundles of a model directory (build_models.py).

    refs = load_references(model_dir)      # reads the bundles into torch modules
    docs, seconds = annotate(refs, texts)  # tokenize -> mwt -> pos -> lemma -> depparse
                                           # -> the other stages loaded

By default the default pipeline's five stages are loaded;
`load_references(model_dir, processors)` loads any of them and the
entity tagger, sentiment classifier, constituency parser, coreference
resolver, language identifier and segmenter as well.

Every stage runs the generator's own modules (nn.LSTM, nn.Linear, ...) with
the weights read back from the bundle files. Where the generator scores one
item at a time (tokenizer paragraphs, seq2seq words) the chain batches as a
converted toolkit would: paragraphs of up to 1000 characters in packed
batches of the bundle's batch size, seq2seq words in length-sorted packed
batches with masked attention. The tagger and parser batch as the generator
does. The label decoding, expansion rules and lemma rules follow the
library's documented behaviour in plain Python.

A result document is a list of sentences; a sentence a list of tokens
(text, mwt flag, [words]); a word [text, lemma, upos, xpos, feats, head,
deprel]. The other stages' results are attributes of the document:
`lang`, and per sentence `ner` (token tags), `sentiment`, `trees`
(bracketed) and `morphemes` (per word); `coref` holds the chains as
coref_reference.document_edit gives them.
"""

from __future__ import annotations

import json
import pathlib
import sys
import time

import numpy as np
import torch
from torch import nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import build_models  # noqa: E402

(bundle_writer, gen_charlm, gen_depparse, gen_pos, gen_seq2seq,
 gen_tokenizer) = build_models.import_generators()
import gen_wordform  # noqa: E402

WINDOW = gen_tokenizer.WINDOW
SPECIALS = 4


# --- reading bundles -------------------------------------------------------------------

_DTYPES = {"float32": np.float32, "float64": np.float64, "float16": np.float16,
           "int64": np.int64, "int32": np.int32, "uint8": np.uint8, "int8": np.int8,
           "bool": np.bool_}


def read_bundle(directory):
    """(assets, {name: tensor}); the tensors own a copy of the file's bytes."""
    directory = pathlib.Path(directory)
    manifest = json.loads((directory / "manifest.json").read_text(encoding="utf-8"))
    assets = json.loads((directory / manifest["assets"]["path"]).read_text(encoding="utf-8"))
    raw = np.fromfile(directory / manifest["tensor_file"]["path"], dtype=np.uint8)
    tensors = {}
    for record in manifest["tensors"]:
        chunk = raw[record["offset"]:record["offset"] + record["nbytes"]]
        array = chunk.view(_DTYPES[record["dtype"]]).reshape(record["shape"])
        tensors[record["name"]] = torch.from_numpy(array)
    return assets, tensors


def units_of(vocab):
    """A vocabulary's units in id order."""
    if "_id2unit" in vocab:
        return list(vocab["_id2unit"])
    return [u for u, _ in sorted(vocab["_unit2id"].items(), key=lambda item: item[1])]


def charlm_from(assets, tensors, prefix):
    config = assets["config"]
    model = gen_charlm.CharLM(units_of(assets["vocab"]), emb_dim=config["char_emb_dim"],
                              hidden=config["char_hidden_dim"],
                              layers=config["char_num_layers"],
                              forward=assets["is_forward_lm"])
    state = {}
    for name, value in tensors.items():
        if not name.startswith(prefix):
            continue
        name = name[len(prefix):]
        if name.startswith("charlstm.lstm."):
            name = "charlstm." + name[len("charlstm.lstm."):]
        elif name.startswith("charlstm_"):
            name = name[len("charlstm_"):]
        state[name] = value
    model.load_state_dict(state)
    return model


def without_prefixes(tensors, *prefixes):
    return {k: v for k, v in tensors.items() if not k.startswith(prefixes)}


class Refs:
    """The reference stages of one model directory, by processor name."""

    def __init__(self):
        self.stages = {}


LOADERS = {}  # processor name -> bundle directory -> reference stage


def load_references(root, processors=None):
    """The stages of `processors` (default: the default pipeline's), in the
    order the chain runs them; the default five must be among them."""
    processors = processors or STAGES
    root = build_models.index_dir(root)
    index = json.loads((root / "index.json").read_text(encoding="utf-8"))
    paths = {entry["processor"]: root / entry["path"] for entry in index["bundles"]}
    refs = Refs()
    with torch.inference_mode(False), torch.no_grad():
        for name in [p for p in CHAIN if p in processors]:
            refs.stages[name] = LOADERS[name](paths[name])
    return refs


def load_tokenizer(path):
    assets, tensors = read_bundle(path)
    config, unit2id = assets["config"], assets["vocab"]["_unit2id"]
    net = gen_tokenizer.Network(config, len(unit2id), unit2id["<PAD>"])
    net.load_state_dict(tensors)
    net.eval()
    return gen_tokenizer.Reference(config, unit2id, assets.get("lexicon", []), net)


def load_word_model(assets, tensors):
    config = assets["config"]
    vocab = assets["vocab"]
    chars = units_of(vocab["char"] if "char" in vocab else vocab)
    pos_units = units_of(vocab["pos"]) if "pos" in vocab else None
    edit = config.get("edit") or False
    kwargs = {}
    if edit:
        kwargs = dict(edit_hidden=tensors["edit_clf.0.weight"].shape[0],
                      edit_classes=tensors["edit_clf.2.weight"].shape[0])
    model = build_models.word_model_class()(
        chars, pos_units if config.get("pos") else None, emb=config["emb_dim"],
        hidden=config["hidden_dim"], layers=config["num_layers"],
        copy=config.get("copy") or False, pos=config.get("pos") or False, edit=edit, **kwargs)
    model.load_state_dict(tensors)
    model.eval()
    model.max_len = config["max_dec_len"]
    model.batch_size = config.get("batch_size") or 50
    return model


def load_expander(path):
    assets, tensors = read_bundle(path)
    model = load_word_model(assets, tensors)
    model.dictionary = assets["expansion_dict"]
    model.dict_only = assets["config"]["dict_only"]
    model.ensemble_dict = assets["config"]["ensemble_dict"]
    return model


def load_lemmatizer(path):
    assets, tensors = read_bundle(path)
    model = load_word_model(assets, tensors)
    model.pos_dict = assets["pos_dict"]
    return model


def load_tagger(path):
    assets, tensors = read_bundle(path)
    config, vocab = assets["config"], assets["vocab"]
    charlm = (charlm_from(assets["charlm"]["forward"], tensors, "charmodel_forward."),
              charlm_from(assets["charlm"]["backward"], tensors, "charmodel_backward."))
    pretrain = units_of(assets["pretrain_vocab"])
    model = gen_pos.Tagger(
        words=units_of(vocab["word"])[SPECIALS:], lower_words=vocab["word"].get("lower", False),
        chars=units_of(vocab["char"])[SPECIALS:], upos=units_of(vocab["upos"])[SPECIALS:],
        xpos=units_of(vocab["xpos"])[SPECIALS:], xpos_ignore=vocab["xpos"].get("ignore"),
        feats={k: v[SPECIALS:] for k, v in vocab["feats"]["_id2unit"].items()},
        word_emb=config["word_emb_dim"], transformed=config["transformed_dim"],
        char_emb=config["char_emb_dim"], char_hidden=config["char_hidden_dim"],
        hidden=config["hidden_dim"], layers=config["num_layers"], tag_emb=config["tag_emb_dim"],
        upos_hid=tensors["upos_hid.weight"].shape[0], xpos_hid=tensors["xpos_hid.weight"].shape[0],
        feats_hid=tensors["ufeats_hid.weight"].shape[0],
        pretrain_width=tensors["pretrained_emb.weight"].shape[1],
        pretrain_words=pretrain[SPECIALS:], charlm=charlm,
        charlm_transform=config.get("charlm_transform_dim") or 0)
    model.load_state_dict(without_prefixes(tensors, "charmodel_forward.", "charmodel_backward."))
    model.batch_size = config.get("batch_size") or 250
    model.max_tokens = config.get("batch_maximum_tokens") or 5000
    return model.eval()


def load_parser(path):
    assets, tensors = read_bundle(path)
    config, vocab = assets["config"], assets["vocab"]
    charlm = (charlm_from(assets["charlm"]["forward"], tensors, "charmodel_forward."),
              charlm_from(assets["charlm"]["backward"], tensors, "charmodel_backward."))
    words = gen_depparse.Vocabulary(
        words=units_of(vocab["word"])[SPECIALS:], lemmas=units_of(vocab["lemma"])[SPECIALS:],
        chars=units_of(vocab["char"])[SPECIALS:], upos=units_of(vocab["upos"])[SPECIALS:],
        xpos=units_of(vocab["xpos"])[SPECIALS:],
        pretrain=units_of(assets["pretrain_vocab"])[SPECIALS:],
        deprels=units_of(vocab["deprel"])[SPECIALS:],
        feats={k: v[SPECIALS:] for k, v in vocab["feats"]["_id2unit"].items()})
    model = gen_depparse.Parser(
        words, word_lower=vocab["word"].get("lower", False),
        lemma_lower=vocab["lemma"].get("lower"), xpos_ignore=vocab["xpos"].get("ignore"),
        word_emb=config["word_emb_dim"], tag_emb=config["tag_emb_dim"],
        transformed=config["transformed_dim"], char_emb=config["char_emb_dim"],
        char_hidden=config["char_hidden_dim"], hidden=config["hidden_dim"],
        layers=config["num_layers"], biaff=config["deep_biaff_hidden_dim"],
        pretrain_width=tensors["pretrained_emb.weight"].shape[1],
        linearization=config.get("linearization", False),
        distance=config.get("distance", False), charlm=charlm,
        batch_size=config.get("batch_size"))
    model.load_state_dict(without_prefixes(tensors, "charmodel_forward.", "charmodel_backward."))
    model.max_rows = config.get("batch_size") or 5000
    return model.eval()


# --- tokenizer -----------------------------------------------------------------------


def tokenizer_labels(ref, paragraphs):
    """Labels of every paragraph: short ones in packed batches, long ones
    through the generator's windowed reference."""
    labels = [None] * len(paragraphs)
    batch = ref.config.get("batch_size", 32)
    short = [i for i, p in enumerate(paragraphs) if len(p) <= WINDOW]
    for i, units in enumerate(paragraphs):
        if len(units) > WINDOW:
            labels[i] = ref.labels(units)
    for first in range(0, len(short), batch):
        members = short[first:first + batch]
        for i, row in zip(members, batch_labels(ref, [paragraphs[i] for i in members])):
            labels[i] = row
    return labels


def batch_labels(ref, paragraphs):
    net, config = ref.network, ref.config
    order = sorted(range(len(paragraphs)), key=lambda i: -len(paragraphs[i]))
    lengths = [len(paragraphs[i]) for i in order]
    width = lengths[0]
    ids = torch.full((len(order), width), ref.unit2id["<PAD>"], dtype=torch.long)
    feats = torch.zeros(len(order), width, config["feat_dim"])
    unk = ref.unit2id["<UNK>"]
    for row, i in enumerate(order):
        units = paragraphs[i]
        ids[row, :len(units)] = torch.tensor([ref.unit2id.get(u, unk) for u, _ in units])
        feats[row, :len(units)] = torch.tensor(
            gen_tokenizer.features_of(units, config, ref.lexicon)).reshape(len(units), -1)
    lengths_t = torch.tensor(lengths)

    def run(lstm, x):
        out, _ = lstm(pack_padded_sequence(x, lengths_t, batch_first=True))
        return pad_packed_sequence(out, batch_first=True, total_length=width)[0]

    with torch.inference_mode():
        h1 = run(net.rnn, torch.cat([net.embeddings(ids), feats], -1))
        tok, sent = net.tok_clf(h1), net.sent_clf(h1)
        mwt = net.mwt_clf(h1) if config["use_mwt"] else None
        invtemp = config["hier_invtemp"]
        gated = h1 * (1 - torch.sigmoid(-tok * invtemp)) if invtemp > 0 else h1
        h2 = run(net.rnn2, gated)
        tok = tok + net.tok_clf2(h2)
        sent = sent + net.sent_clf2(h2)
        a, b = nn.functional.logsigmoid(-tok), nn.functional.logsigmoid(tok)
        c, d = nn.functional.logsigmoid(-sent), nn.functional.logsigmoid(sent)
        if mwt is None:
            columns = [a, b + c, b + d]
        else:
            mwt = mwt + net.mwt_clf2(h2)
            e, f = nn.functional.logsigmoid(-mwt), nn.functional.logsigmoid(mwt)
            columns = [a, b + c + e, b + d + e, b + c + f, b + d + f]
        best = torch.cat(columns, -1).argmax(-1).tolist()
    result = [None] * len(paragraphs)
    for row, i in enumerate(order):
        row_labels = best[row][:lengths[row]]
        row_labels[-1] = {0: 2, 1: 2, 3: 4}.get(row_labels[-1], row_labels[-1])
        result[i] = gen_tokenizer.merge_addresses(paragraphs[i], row_labels)
    return result


def decode(paragraphs, labels):
    """Sentences of (token text, marked) from the labels of one document."""
    sentences = []
    for units, row in zip(paragraphs, labels):
        current, buffer, start = [], "", 0
        for j, ((unit, _), label) in enumerate(zip(units, row)):
            if not buffer:
                start = j
            buffer += unit
            if label < 1:
                continue
            if all(units[k][0] == " " for k in range(start, j + 1)):
                buffer = ""
                continue
            first = next(k for k in range(start, j + 1) if units[k][0] != " ")
            text = buffer.lstrip(" ")
            if j - first >= WINDOW:
                text = "<UNK>"
            if text:
                current.append((text, label in (3, 4)))
            buffer = ""
            if label in (2, 4) and current:
                sentences.append(current)
                current = []
        if current:
            sentences.append(current)
    return sentences


# --- word-form models --------------------------------------------------------------------


def greedy_many(model, words, tags, suppress_unk):
    """(text, edit class or None) of every word: length-sorted batches of
    the bundle's batch size, decoded greedily together."""
    results = [None] * len(words)
    order = sorted(range(len(words)), key=lambda i: -len(words[i]))
    for first in range(0, len(order), model.batch_size):
        members = order[first:first + model.batch_size]
        outs = greedy_batch(model, [words[i] for i in members], [tags[i] for i in members],
                            suppress_unk)
        for i, out in zip(members, outs):
            results[i] = out
    return results


def greedy_batch(model, words, tags, suppress_unk):
    gs = gen_seq2seq
    sources = [model.source(w) for w in words]
    offset = 1 if model.use_pos else 0
    lengths = [len(ids) + offset for ids, _ in sources]
    count, longest = len(words), max(lengths)
    src = torch.zeros(count, longest - offset, dtype=torch.long)
    for row, (ids, _) in enumerate(sources):
        src[row, :len(ids)] = torch.tensor(ids)
    widths = [max(model.vocab, max(ids) + 1) if model.use_copy else model.vocab
              for ids, _ in sources]
    width = max(widths)
    with torch.inference_mode():
        x = model.embedding(torch.where(src >= model.vocab, torch.full_like(src, gs.UNK), src))
        if model.use_pos:
            tag_ids = torch.tensor([model.pos2id.get(t, gs.UNK) for t in tags])
            x = torch.cat([model.pos_embedding(tag_ids).unsqueeze(1), x], dim=1)
        packed = pack_padded_sequence(x, torch.tensor(lengths), batch_first=True,
                                      enforce_sorted=False)
        enc, (h_n, c_n) = model.encoder(packed)
        enc, _ = pad_packed_sequence(enc, batch_first=True, total_length=longest)
        h = torch.cat([h_n[-1], h_n[-2]], dim=1)
        c = torch.cat([c_n[-1], c_n[-2]], dim=1)
        edits = model.edit_clf(h).argmax(1).tolist() if model.use_edit else [None] * count
        padding = torch.arange(longest)[None, :] >= torch.tensor(lengths)[:, None]
        beyond = torch.arange(width)[None, :] >= torch.tensor(widths)[:, None]
        att = model.decoder.attention_layer
        neg, tiny = gs.neg_fill(enc.dtype)
        inp = torch.full((count,), gs.SOS, dtype=torch.long)
        outputs = [[] for _ in range(count)]
        done = [False] * count
        for _ in range(model.max_len):
            h, c = model.decoder.lstm_cell(
                model.embedding(torch.where(inp >= model.vocab, torch.full_like(inp, gs.UNK),
                                            inp)), (h, c))
            scores = torch.bmm(enc, att.linear_in(h).unsqueeze(2)).squeeze(2)
            scores = scores.masked_fill(padding, float("-inf"))
            if model.use_copy:
                log_att = torch.log_softmax(scores, dim=1)
                weights = log_att.exp()
            else:
                weights = torch.softmax(scores, dim=1)
            context = torch.bmm(weights.unsqueeze(1), enc).squeeze(1)
            ht = torch.tanh(att.linear_out(torch.cat([context, h], dim=1)))
            gen = torch.log_softmax(model.dec2vocab(ht), dim=1)
            if model.use_copy:
                z = model.copy_gate(ht)
                log_copy = nn.functional.logsigmoid(z)
                log_gen = -torch.log(torch.exp(z) + 1)
                chars = log_att[:, 1:] if model.use_pos else log_att
                chars = torch.log_softmax(chars, dim=1)
                lc = log_copy + chars
                top = lc.max(dim=1, keepdim=True).values
                mass = torch.zeros(count, width, dtype=gen.dtype)
                mass = mass.scatter_add(1, src, torch.exp(lc - top))
                empty = mass == 0
                copy = torch.log(mass.masked_fill(empty, tiny)) + top
                copy = copy.masked_fill(empty, neg)
                if width > model.vocab:
                    gen = torch.cat([gen, gen[:, gs.UNK:gs.UNK + 1].expand(
                        -1, width - model.vocab)], dim=1)
                result = torch.logsumexp(torch.stack([copy, gen + log_gen]), dim=0)
                result = result.masked_fill(beyond, float("-inf"))
            else:
                result = gen
            if suppress_unk:
                result[:, gs.UNK] = float("-inf")
            chosen = result.argmax(1)
            for row, value in enumerate(chosen.tolist()):
                if done[row]:
                    continue
                if value == gs.EOS:
                    done[row] = True
                else:
                    outputs[row].append(value)
            if all(done):
                break
            inp = chosen
    return [(model.text(out, unknown), edit)
            for out, (_, unknown), edit in zip(outputs, sources, edits)]


def expand_tokens(model, tokens):
    """The words of every marked token."""
    answers = [None] * len(tokens)
    pending = []
    for i, token in enumerate(tokens):
        hit = None
        if model.dict_only or model.ensemble_dict:
            hit = gen_wordform.mwt_lookup(model.dictionary, token)
            if hit is None and model.dict_only:
                hit = token
        if hit is not None:
            answers[i] = hit
        else:
            pending.append(i)
    if pending:
        outs = greedy_many(model, [tokens[i] for i in pending], [None] * len(pending), True)
        for i, (text, _) in zip(pending, outs):
            answers[i] = gen_wordform.clean_seq2seq_answer(tokens[i], text)
    words = []
    for token, answer in zip(tokens, answers):
        pieces = [p for p in answer.split(" ") if p]
        words.append(pieces if len(pieces) >= 2 else [token])
    return words


def lemmas_of(model, words, tags):
    result = [None] * len(words)
    pending = []
    for i, (word, tag) in enumerate(zip(words, tags)):
        tag = tag if tag is not None else "_"
        hit = gen_wordform.lemma_lookup(model.pos_dict, word, tag)
        if hit is not None:
            result[i] = hit or "_"
        else:
            pending.append(i)
    if pending:
        outs = greedy_many(model, [words[i] for i in pending],
                           [tags[i] if tags[i] is not None else "_" for i in pending], False)
        for i, (text, edit) in zip(pending, outs):
            key = words[i]
            if edit == 1:
                text = key
            elif edit == 2:
                text = key.lower()
            if not text or "<UNK>" in text:
                text = key
            result[i] = text or "_"
    return result


# --- the other stages ------------------------------------------------------------------------


def load_entity_tagger(path):
    import gen_ner

    assets, tensors = read_bundle(path)
    config, vocab = assets["config"], assets["vocab"]
    charlm = None
    if config.get("charlm"):
        charlm = (charlm_from(assets["charlm"]["forward"], tensors, "charmodel_forward."),
                  charlm_from(assets["charlm"]["backward"], tensors, "charmodel_backward."))
    columns = vocab["tag"]["_id2unit"]
    model = gen_ner.NERTagger(
        words=units_of(vocab["word"])[SPECIALS:], delta_words=units_of(vocab["delta"])[SPECIALS:],
        chars=units_of(vocab["char"])[SPECIALS:], columns=list(columns.values()),
        column_keys=list(columns), word_emb=config["word_emb_dim"],
        char_emb=config["char_emb_dim"], char_hidden=config["char_hidden_dim"],
        char_layers=config["char_num_layers"], hidden=config["hidden_dim"],
        layers=config["num_layers"], predict_tagset=config.get("predict_tagset") or 0,
        lowercase=config.get("lowercase"), char_lowercase=config.get("char_lowercase") or False,
        word_lower=vocab["word"].get("lower", False),
        delta_lower=vocab["delta"].get("lower", False),
        input_transform=config.get("input_transform") or False,
        connect=config.get("connect_output_layers") or False, charlm=charlm)
    model.load_state_dict(without_prefixes(tensors, "charmodel_forward.", "charmodel_backward."))
    return model.eval()


def load_sentiment(path):
    import gen_sentiment

    assets, tensors = read_bundle(path)
    charlm = (None, None)
    if "charlm" in assets:
        charlm = tuple(charlm_from(assets["charlm"][d], tensors, f"{d}_charlm.")
                       for d in ("forward", "backward"))
    return gen_sentiment.Sentiment.from_bundle(assets, tensors, charlm)


def load_constituency(path):
    import gen_constituency

    assets, tensors = read_bundle(path)
    config = assets["config"]
    charlm = tuple(charlm_from(assets["charlm"][side], tensors, f"{side}_charlm.")
                   if f"{side}_charlm.char_emb.weight" in tensors else None
                   for side in ("forward", "backward"))
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
    model.load_state_dict(without_prefixes(tensors, "forward_charlm.", "backward_charlm."))
    model.uses_xpos = assets["runtime_contract"]["tag_source"] == "xpos"
    return model


def load_coref(path):
    import coref_bundle

    return coref_bundle.reference(path)


def load_langid(path):
    import gen_langid

    return gen_langid.LangID.from_bundle(*read_bundle(path))


def load_segmenter(path):
    import gen_morphseg

    assets, tensors = read_bundle(path)
    config = assets["config"]
    model = gen_morphseg.Segmenter(assets["source_vocabulary"], assets["target_vocabulary"],
                                   embedding=config["embedding_size"],
                                   hidden=config["hidden_size"], batch_size=config["batch_size"])
    model.load_state_dict(tensors)
    return model.eval()


def tag_entities(model, sentences, batch=256):
    """Tags of every sentence's tokens, the sentences in packed batches."""
    tags = []
    with torch.inference_mode():
        for first in range(0, len(sentences), batch):
            for rows in model.encode(sentences[first:first + batch]):
                tags.append(model.decode(rows, margin=False)[0])
    return tags


def resolve_coref(resolver, document):
    """The chains a document gets: resolve over its words, then the mapping
    onto the document."""
    import coref_reference

    sentences = [{"words": [w[0] for t in s for w in t[2]],
                  "upos": [w[2] for t in s for w in t[2]], "empty": []} for s in document]
    words = [w for s in sentences for w in s["words"]]
    ranks = [r for r, s in enumerate(sentences) for _ in s["words"]]
    chains, _ = coref_reference.document_edit(sentences,
                                              resolver.resolve(words, ranks, ["_"] * len(words)))
    return chains


# --- the chain ----------------------------------------------------------------------------


STAGES = ["tokenize", "mwt", "pos", "lemma", "depparse"]
# Every stage in the order the chain runs them.
CHAIN = STAGES + ["ner", "sentiment", "constituency", "coref", "langid", "morphseg"]


class Annotated(list):
    """A result document: its sentences, with the other stages' results as
    attributes."""

    lang = None
    coref = None
    ner = sentiment = trees = morphemes = None


def annotate(refs, texts):
    """(documents, {stage: seconds}) for a list of raw texts."""
    stages = refs.stages
    seconds = dict.fromkeys(stages, 0.0)
    clock = time.perf_counter()

    def lap(stage):
        nonlocal clock
        now = time.perf_counter()
        seconds[stage] += now - clock
        clock = now

    tok = stages["tokenize"]
    paragraphs = [tok.paragraphs(text) for text in texts]
    flat = [p for ps in paragraphs for p in ps]
    labels = tokenizer_labels(tok, flat)
    docs, at = [], 0
    for ps in paragraphs:
        docs.append(decode(ps, labels[at:at + len(ps)]))
        at += len(ps)
    lap("tokenize")

    marked = [t for d in docs for s in d for t in s if t[1]]
    expansions = iter(expand_tokens(stages["mwt"], [t[0] for t in marked]))
    annotated = []
    for d in docs:
        sentences = Annotated()
        for s in d:
            tokens = []
            for text, mark in s:
                words = next(expansions) if mark else [text]
                tokens.append((text, mark, [[w, None, None, None, None, None, None]
                                            for w in words]))
            sentences.append(tokens)
        annotated.append(sentences)
    all_sentences = [[w for t in s for w in t[2]] for d in annotated for s in d]
    lap("mwt")

    tagger = stages["pos"]
    tags, _ = tagger.tag([[w[0] for w in s] for s in all_sentences],
                         batch_size=tagger.batch_size, max_tokens=tagger.max_tokens)
    for s, row in zip(all_sentences, tags):
        for w, (upos, xpos, feats) in zip(s, row):
            w[2], w[3], w[4] = upos, None if xpos == "_" else xpos, None if feats == "_" else feats
    lap("pos")

    flat_words = [w for s in all_sentences for w in s]
    for w, lemma in zip(flat_words, lemmas_of(stages["lemma"], [w[0] for w in flat_words],
                                              [w[2] for w in flat_words])):
        w[1] = lemma
    lap("lemma")

    parser = stages["depparse"]
    parses = parser.parse([[w[:5] for w in s] for s in all_sentences], batch=10**9,
                          max_rows=parser.max_rows)
    for s, heads, deprels in zip(all_sentences, parses["heads"], parses["deprels"]):
        for w, head, deprel in zip(s, heads, deprels):
            w[5], w[6] = int(head), deprel
    lap("depparse")

    def per_document(values):
        """Splits one value per sentence of every document by document."""
        values, out = iter(values), []
        for d in annotated:
            out.append([next(values) for _ in d])
        return out

    if "ner" in stages:
        tags = tag_entities(stages["ner"], [[t[0] for t in s] for d in annotated for s in d])
        for d, values in zip(annotated, per_document(tags)):
            d.ner = values
        lap("ner")
    if "sentiment" in stages:
        classes, _ = stages["sentiment"].classify_many([[t[0] for t in s]
                                                        for d in annotated for s in d])
        for d, values in zip(annotated, per_document(classes)):
            d.sentiment = values
        lap("sentiment")
    if "constituency" in stages:
        model = stages["constituency"]
        column = 3 if model.uses_xpos else 2
        trees = [model.parse([w[0] for w in s], [w[column] for w in s])[0]
                 for s in all_sentences]
        for d, values in zip(annotated, per_document(trees)):
            d.trees = values
        lap("constituency")
    if "coref" in stages:
        for d in annotated:
            d.coref = resolve_coref(stages["coref"], d)
        lap("coref")
    if "langid" in stages:
        for d, lang in zip(annotated, stages["langid"].identify_many(texts)[0]):
            d.lang = lang
        lap("langid")
    if "morphseg" in stages:
        segmented = iter(stages["morphseg"].segment([w[0] for w in flat_words]))
        for d in annotated:
            d.morphemes = [[next(segmented)[0] for t in s for _ in t[2]] for s in d]
        lap("morphseg")
    return annotated, seconds


def count_words(documents):
    return sum(len(t[2]) for d in documents for s in d for t in s)



LOADERS.update({"tokenize": load_tokenizer, "mwt": load_expander, "pos": load_tagger,
                "lemma": load_lemmatizer, "depparse": load_parser,
                "ner": load_entity_tagger, "sentiment": load_sentiment,
                "constituency": load_constituency, "coref": load_coref,
                "langid": load_langid, "morphseg": load_segmenter})
