"""Shared inputs of the subword tokenizer tests and benchmark: the vocabularies
the fixture generator trained with the `tokenizers` and `sentencepiece`
packages, those packages' own tokenizers over the same data, and the words of
the EWT dev treebank."""

import os
import pathlib

import pytest

EWT_DEV = (pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "ud-en-ewt" /
           "en_ewt-ud-dev.conllu")


def subword_dir():
    root = os.environ.get("VELMORA_FIXTURE_DIR")
    if not root:
        pytest.skip("VELMORA_FIXTURE_DIR is not set; build the fixtures first")
    directory = pathlib.Path(root) / "subword"
    if not (directory / "wordpiece" / "vocab.txt").is_file():
        pytest.skip(f"subword fixtures missing: {directory}")
    return directory


def hex_lines(path):
    return [bytes.fromhex(line).decode("utf-8") for line in path.read_text().splitlines()]


def reference_words(path):
    """The words of a generated table (first column, hex-encoded UTF-8)."""
    lines = path.read_text().splitlines()[1:]
    return [bytes.fromhex(line.split("\t", 1)[0]).decode("utf-8") for line in lines]


def reference_rows(path):
    """{word: one id list per column} of a generated table."""
    rows = {}
    for line in path.read_text().splitlines()[1:]:
        word, *cells = line.split("\t")
        rows[bytes.fromhex(word).decode("utf-8")] = [[int(i) for i in c.split()] for c in cells]
    return rows


def wordpiece_vocabulary(directory):
    return hex_lines(directory / "wordpiece" / "vocab.txt")


def bpe_model(directory):
    merges = []
    for line in (directory / "bpe" / "merges.txt").read_text().splitlines():
        left, right = line.split(" ")
        merges.append((bytes.fromhex(left).decode("utf-8"), bytes.fromhex(right).decode("utf-8")))
    return hex_lines(directory / "bpe" / "vocab.txt"), merges


def unigram_model(directory):
    pieces, scores = [], []
    for line in (directory / "xlmr" / "pieces.tsv").read_text().splitlines():
        piece, score = line.split("\t")
        pieces.append(bytes.fromhex(piece).decode("utf-8"))
        scores.append(float(score))
    charsmap = list((directory / "xlmr" / "charsmap.bin").read_bytes())
    unknown_id = int((directory / "xlmr" / "meta.txt").read_text().split()[1])
    return pieces, scores, charsmap, unknown_id


def ewt_sentences():
    """Word forms per sentence (multi-word token lines included, as in the
    fixtures), or None without the shared data."""
    if not EWT_DEV.is_file():
        return None
    sentences, words = [], []
    for line in EWT_DEV.read_text(encoding="utf-8").splitlines():
        if not line:
            if words:
                sentences.append(words)
            words = []
        elif not line.startswith("#"):
            words.append(line.split("\t")[1])
    if words:
        sentences.append(words)
    return sentences


def distinct_words(sentences):
    return list(dict.fromkeys(word for sentence in sentences for word in sentence))


# --- the independent implementations -------------------------------------------


def pypi_wordpiece(vocabulary, lowercase, strip_accents, symbols_kept=False):
    """BERT normalizer, pre-tokenizer and WordPiece model; with symbols_kept
    only general-category P splits words, as in our pre-tokenizer."""
    from tokenizers import Regex, Tokenizer, models, normalizers, pre_tokenizers

    vocab = {token: index for index, token in enumerate(vocabulary)}
    tok = Tokenizer(models.WordPiece(vocab=vocab, unk_token="[UNK]", max_input_chars_per_word=100,
                                     continuing_subword_prefix="##"))
    tok.normalizer = normalizers.BertNormalizer(clean_text=True, handle_chinese_chars=True,
                                                strip_accents=strip_accents, lowercase=lowercase)
    if symbols_kept:
        tok.pre_tokenizer = pre_tokenizers.Sequence([
            pre_tokenizers.WhitespaceSplit(),
            pre_tokenizers.Split(Regex(r"\p{P}"), behavior="isolated")])
    else:
        tok.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    return tok


def pypi_byte_bpe(vocabulary, merges, add_prefix_space):
    from tokenizers import Tokenizer, models, pre_tokenizers

    vocab = {token: index for index, token in enumerate(vocabulary)}
    tok = Tokenizer(models.BPE(vocab=vocab, merges=merges))
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=add_prefix_space, use_regex=True)
    return tok


def pypi_unigram(pieces, scores, charsmap, unknown_id):
    """A sentencepiece processor rebuilt from the trained model's pieces,
    scores and charsmap (ids 0 to 2 are <s>, <pad>, </s>)."""
    import sentencepiece as spm
    from sentencepiece import sentencepiece_model_pb2 as pb

    proto = pb.ModelProto()
    kind = pb.ModelProto.SentencePiece
    kinds = {0: kind.CONTROL, 1: kind.CONTROL, 2: kind.CONTROL, unknown_id: kind.UNKNOWN}
    for index, (piece, score) in enumerate(zip(pieces, scores)):
        entry = proto.pieces.add()
        entry.piece, entry.score = piece, score
        entry.type = kinds.get(index, kind.NORMAL)
    spec = proto.trainer_spec
    spec.model_type = pb.TrainerSpec.UNIGRAM
    spec.bos_id, spec.pad_id, spec.eos_id, spec.unk_id = 0, 1, 2, unknown_id
    spec.bos_piece, spec.eos_piece = "<s>", "</s>"
    normalizer = proto.normalizer_spec
    normalizer.name = "nmt_nfkc"
    normalizer.precompiled_charsmap = bytes(charsmap)
    normalizer.add_dummy_prefix = True
    normalizer.remove_extra_whitespaces = True
    normalizer.escape_whitespaces = True
    return spm.SentencePieceProcessor(model_proto=proto.SerializeToString())
