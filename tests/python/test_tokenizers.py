import threading

import pytest

import subword_data as data
from _velmora import (ByteBPETokenizer, SubwordError, WordPieceEncoding, WordPieceError,
                      WordPieceTokenizer, XLMRobertaTokenizer)
from release_probe import assert_keeps_lock, assert_releases_lock

TOKENIZER_CLASSES = (WordPieceTokenizer, ByteBPETokenizer, XLMRobertaTokenizer)

SMALL_WORDPIECE = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "hello", "##s", "cafe", "a", "##a"]


def byte_alphabet():
    """The 256 byte tokens of byte-level BPE: printable Latin-1 bytes stand for
    themselves, the others for code points from U+0100 on."""
    printable = set(range(0x21, 0x7F)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    shifted = iter(range(0x100, 0x200))
    return [chr(b) if b in printable else chr(next(shifted)) for b in range(256)]


# Special tokens, every byte, then "hi" (id 260) and "\u0120hi" (id 261).
SMALL_BPE = ["<s>", "<pad>", "</s>", "<unk>"] + byte_alphabet() + ["hi", "\u0120hi"]
SMALL_BPE_MERGES = [("h", "i"), ("\u0120", "hi")]
SMALL_UNIGRAM = ["<s>", "<pad>", "</s>", "<unk>", "\u2581", "a", "b", "\u2581a", "\u2581ab"]
SMALL_SCORES = [0.0, 0.0, 0.0, 0.0, -3.0, -4.0, -4.0, -2.0, -1.0]
IDENTITY_CHARSMAP = [0, 0, 0, 0]  # an empty trie: nothing is rewritten


def small_unigram(**options):
    return XLMRobertaTokenizer(SMALL_UNIGRAM, SMALL_SCORES, IDENTITY_CHARSMAP, 3, **options)


def as_tuple(encoding):
    return encoding.input_ids, encoding.attention_mask, encoding.word_ids


# --- the Python surface ----------------------------------------------------------


def test_highway_enabled_is_a_static_read_only_property():
    instances = (WordPieceTokenizer(SMALL_WORDPIECE), ByteBPETokenizer(SMALL_BPE, []),
                 small_unigram())
    for cls, instance in zip(TOKENIZER_CLASSES, instances):
        assert cls.highway_enabled is True
        assert instance.highway_enabled is True
        with pytest.raises(AttributeError):
            cls.highway_enabled = False
        with pytest.raises(AttributeError):
            instance.highway_enabled = False
        with pytest.raises(AttributeError):
            instance.anything = 1
    with pytest.raises(TypeError):
        WordPieceEncoding()


def test_wordpiece_defaults_and_encoding_record():
    tokenizer = WordPieceTokenizer(SMALL_WORDPIECE)
    assert tokenizer.vocabulary_size == len(SMALL_WORDPIECE)
    # Lower-casing and accent stripping are on; [CLS] and [SEP] surround the words.
    encoding = tokenizer.encode(["Hellos", "Café"])
    assert as_tuple(encoding) == ([2, 4, 5, 6, 3], [1] * 5, [-1, 0, 0, 1, -1])
    ids = encoding.input_ids
    ids.append(99)
    assert encoding.input_ids == [2, 4, 5, 6, 3]
    assert as_tuple(tokenizer.encode(("Hellos",), add_special_tokens=False)) == (
        [4, 5], [1, 1], [0, 0])
    assert tokenizer.encode([]).input_ids == [2, 3]
    # At most 100 characters per word, with "##" continuing it.
    assert tokenizer.encode(["a" * 100], False).input_ids == [7] + [8] * 99
    assert tokenizer.encode(["a" * 101], False).input_ids == [1]
    assert tokenizer.cache_size > 0

    exact = WordPieceTokenizer(SMALL_WORDPIECE, False, False)
    assert exact.encode(["Hellos", "cafe"], False).input_ids == [1, 6]

    custom = ["<unk>", "<c>", "<e>", "ab", "@@c"]
    tokenizer = WordPieceTokenizer(vocabulary=custom, lowercase=False, strip_accents=False,
                                   unknown_token="<unk>", cls_token="<c>", sep_token="<e>",
                                   continuing_subword_prefix="@@", max_input_characters_per_word=3)
    assert tokenizer.encode(words=["abc", "abcd"]).input_ids == [1, 3, 4, 0, 2]


def test_wordpiece_construction_errors():
    cases = [
        (([],), "WordPiece vocabulary cannot be empty"),
        ((SMALL_WORDPIECE + ["cafe"],), "WordPiece vocabulary contains duplicate token: cafe"),
        ((SMALL_WORDPIECE[:3],), "WordPiece vocabulary is missing required token: [SEP]"),
    ]
    for args, message in cases:
        with pytest.raises(WordPieceError) as raised:
            WordPieceTokenizer(*args)
        assert str(raised.value) == message
    with pytest.raises(WordPieceError, match="^max_input_characters_per_word must be positive$"):
        WordPieceTokenizer(SMALL_WORDPIECE, max_input_characters_per_word=0)


def test_conversions_are_strict():
    tokenizer = WordPieceTokenizer(SMALL_WORDPIECE)
    bad_calls = [
        lambda: tokenizer.encode("hello"),
        lambda: tokenizer.encode(b"hello"),
        lambda: tokenizer.encode([b"hello"]),
        lambda: tokenizer.encode(["\ud800"]),  # a lone surrogate has no UTF-8 form
        lambda: tokenizer.encode(["hello"], 1),
        lambda: tokenizer.encode(["hello"], None),
        lambda: WordPieceTokenizer(SMALL_WORDPIECE, 1),
        lambda: WordPieceTokenizer(SMALL_WORDPIECE, max_input_characters_per_word=-1),
        lambda: WordPieceTokenizer(SMALL_WORDPIECE, max_input_characters_per_word=1.0),
        lambda: WordPieceTokenizer(SMALL_WORDPIECE + [None]),
        lambda: ByteBPETokenizer(SMALL_BPE, [("h", "i", "x")]),
        lambda: ByteBPETokenizer(SMALL_BPE, SMALL_BPE_MERGES, add_prefix_space=0),
        lambda: ByteBPETokenizer(SMALL_BPE, []).tokenize(["hi"]),
        lambda: XLMRobertaTokenizer(SMALL_UNIGRAM, SMALL_SCORES, IDENTITY_CHARSMAP),
        lambda: XLMRobertaTokenizer(SMALL_UNIGRAM, SMALL_SCORES, bytes(IDENTITY_CHARSMAP), 3),
        lambda: XLMRobertaTokenizer(SMALL_UNIGRAM, SMALL_SCORES, [0, 0, 0, 256], 3),
        lambda: XLMRobertaTokenizer(SMALL_UNIGRAM, SMALL_SCORES, [0, 0, 0, -1], 3),
        lambda: XLMRobertaTokenizer(SMALL_UNIGRAM, SMALL_SCORES, IDENTITY_CHARSMAP, 3.0),
        lambda: XLMRobertaTokenizer(SMALL_UNIGRAM, ["0"] * 9, IDENTITY_CHARSMAP, 3),
    ]
    for index, call in enumerate(bad_calls):
        with pytest.raises(TypeError):
            call()
            pytest.fail(f"call {index} converted")
    # A bytearray and a tuple are sequences like any other.
    tokenizer = XLMRobertaTokenizer(tuple(SMALL_UNIGRAM), SMALL_SCORES, bytearray(4), 3)
    assert tokenizer.vocabulary_size == 9


def test_byte_bpe_defaults_and_errors():
    tokenizer = ByteBPETokenizer(SMALL_BPE, SMALL_BPE_MERGES)
    # No prefix space, "<s>" and "</s>" around the words.
    assert tokenizer.tokenize("hi") == [260]
    assert tokenizer.tokenize("ih") == [4 + ord("i"), 4 + ord("h")]
    assert as_tuple(tokenizer.encode(["hi", "hi"])) == ([0, 260, 260, 2], [1] * 4, [-1, 0, 1, -1])
    prefixed = ByteBPETokenizer(SMALL_BPE, SMALL_BPE_MERGES, add_prefix_space=True)
    assert prefixed.tokenize(text="hi") == [261]
    assert prefixed.encode(words=["hi"], add_special_tokens=False).input_ids == [261]
    swapped = ByteBPETokenizer(vocabulary=SMALL_BPE, merges=SMALL_BPE_MERGES, unknown_token="<pad>",
                               cls_token="</s>", sep_token="<s>")
    assert swapped.encode(["hi"]).input_ids == [2, 260, 0]
    assert tokenizer.vocabulary_size == len(SMALL_BPE)

    for args, message in [(([], []), "byte-level BPE vocabulary cannot be empty"),
                          ((SMALL_BPE + ["h"], []),
                           "byte-level BPE vocabulary contains a duplicate token"),
                          ((SMALL_BPE[:100], []),
                           "byte-level BPE vocabulary is missing token: " + SMALL_BPE[100])]:
        with pytest.raises(SubwordError) as raised:
            ByteBPETokenizer(*args)
        assert str(raised.value) == message


def test_xlmr_defaults_and_errors():
    tokenizer = small_unigram()
    assert tokenizer.tokenize("ab") == [8]
    assert tokenizer.tokenize("aab") == [7, 5, 6]
    assert as_tuple(tokenizer.encode(["ab", "b"])) == ([0, 8, 4, 6, 2], [1] * 5, [-1, 0, 1, 1, -1])
    assert small_unigram(cls_token="<pad>", sep_token="<unk>").encode([]).input_ids == [1, 3]

    cases = [
        (([], [], IDENTITY_CHARSMAP, 0),
         "XLM-R vocabulary and score arrays must be nonempty and equal"),
        ((SMALL_UNIGRAM, SMALL_SCORES[:-1], IDENTITY_CHARSMAP, 3),
         "XLM-R vocabulary and score arrays must be nonempty and equal"),
        ((SMALL_UNIGRAM, SMALL_SCORES, IDENTITY_CHARSMAP, 9), "XLM-R unknown id is out of range"),
        ((SMALL_UNIGRAM, SMALL_SCORES, IDENTITY_CHARSMAP, -1), "XLM-R unknown id is out of range"),
        ((SMALL_UNIGRAM, SMALL_SCORES, [0, 0, 0], 3), "XLM-R precompiled charsmap is truncated"),
        ((SMALL_UNIGRAM, SMALL_SCORES, [8, 0, 0, 0, 1, 2], 3),
         "XLM-R precompiled charsmap has invalid trie"),
    ]
    for args, message in cases:
        with pytest.raises(SubwordError) as raised:
            XLMRobertaTokenizer(*args)
        assert str(raised.value) == message


# --- the interpreter lock ----------------------------------------------------------


def synthetic_words(count, salt):
    return [f"{salt}w{i}x{i * 7919 % 1000}" for i in range(count)]


def test_model_work_releases_the_lock_and_construction_keeps_it():
    directory = data.subword_dir()
    vocabulary = data.wordpiece_vocabulary(directory)
    bpe_vocabulary, merges = data.bpe_model(directory)
    pieces, scores, charsmap, unknown_id = data.unigram_model(directory)
    # Each call gets a tokenizer with a cold cache and words it has not seen.
    assert_releases_lock(lambda n: lambda: WordPieceTokenizer(vocabulary).encode(
        synthetic_words(20000 * n, "wp")))
    bpe = ByteBPETokenizer(bpe_vocabulary, merges)
    assert_releases_lock(lambda n: lambda: bpe.encode(synthetic_words(20000 * n, f"b{n}")))
    assert_releases_lock(
        lambda n: lambda: bpe.tokenize(" ".join(synthetic_words(2000 * n, f"t{n}"))))
    xlmr = XLMRobertaTokenizer(pieces, scores, charsmap, unknown_id)
    assert_releases_lock(lambda n: lambda: xlmr.encode(synthetic_words(20000 * n, f"x{n}")))
    assert_releases_lock(
        lambda n: lambda: xlmr.tokenize("".join(synthetic_words(1000 * n, f"y{n}"))))

    big = [f"tok{i}" for i in range(200000)] + ["[UNK]", "[CLS]", "[SEP]"]
    assert_keeps_lock(lambda: WordPieceTokenizer(big))


def hammer(make_tokenizer, sentences, threads=8):
    """Encodes every sentence from several threads at once with one shared
    tokenizer, each thread in another order; returns what each thread got."""
    shared = make_tokenizer()
    barrier = threading.Barrier(threads)
    results = [None] * threads
    errors = []

    def work(index):
        try:
            barrier.wait()
            order = list(range(index, len(sentences))) + list(range(index))
            got = {}
            for position in order:
                got[position] = as_tuple(shared.encode(sentences[position]))
            results[index] = [got[position] for position in range(len(sentences))]
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors, errors
    return results


def test_concurrent_encoding_equals_single_threaded():
    directory = data.subword_dir()
    sentences = data.ewt_sentences()
    if sentences is None:
        words = data.reference_words(directory / "wordpiece" / "multilingual.tsv")
        sentences = [words[i:i + 7] for i in range(0, len(words), 7)] * 20
    sentences = sentences[:600]
    vocabulary = data.wordpiece_vocabulary(directory)
    bpe_vocabulary, merges = data.bpe_model(directory)
    unigram = data.unigram_model(directory)
    makers = [lambda: WordPieceTokenizer(vocabulary),
              lambda: ByteBPETokenizer(bpe_vocabulary, merges, add_prefix_space=True),
              lambda: XLMRobertaTokenizer(*unigram)]
    for make in makers:
        single = make()
        expected = [as_tuple(single.encode(sentence)) for sentence in sentences]
        for got in hammer(make, sentences):
            assert got == expected


# --- against the independent implementations ---------------------------------------

WORDPIECE_CONFIGS = [(True, True), (False, False), (True, False), (False, True)]
ASCII_SYMBOLS = set("$+<=>^`|~")


def token_ids(vocabulary, tokens):
    return [vocabulary.index(token) for token in tokens]


def wordpiece_deviations(vocabulary):
    """Words on which we deliberately differ from the BERT tokenizer, with our
    result."""
    ids = lambda *tokens: token_ids(vocabulary, tokens)  # noqa: E731
    return {
        "": ("empty word falls back to '-'", ids("-")),
        "\u200b": ("zero-width space alone falls back to '-'", ids("-")),
        "\x00": ("NUL alone falls back to '-'", ids("-")),
        "a\U0002b820b": ("ideograph U+2B820 is isolated", ids("a", "\U0002b820", "b")),
        "x\u0897": ("U+0897 is removed like an unassigned code point", ids("x")),
    }


# Words that our pre-tokenizer deliberately cuts otherwise than the GPT-2
# pattern; the generator encodes our pre-tokens, each whole, with the
# reference (bpe/deviations.tsv), so their ids hold for any trained vocabulary.
BPE_DEVIATIONS = {"a  b": "a space before a space starts a whitespace run",
                  "\u3000ideo": "no prefix space before U+3000",
                  "\u2764\ufe0f": "a mark belongs to a letter run"}


def bpe_deviations(directory, add_prefix_space):
    rows = data.reference_rows(directory / "bpe" / "deviations.tsv")
    assert set(rows) == set(BPE_DEVIATIONS)
    return {word: (BPE_DEVIATIONS[word], ids[int(add_prefix_space)]) for word, ids in rows.items()}


def unigram_deviations(pieces, words):
    """The listed words among `words` (a vocabulary trained without a word
    may lack its pieces)."""
    boundary = "\u2581"
    reason = "equal totals keep the longest last piece"
    listed = {
        "_" * 65: (boundary, "_", *["_" * 16] * 4),
        "?" * 57: (boundary, "?", *["?" * 14] * 4),
        "!" * 25: (boundary + "!!", "!" * 10, "!" * 13),
    }
    return {word: (reason, token_ids(pieces, tokens)) for word, tokens in listed.items()
            if word in words}


def compare_words(label, words, ours, reference, deviations, alternative=None):
    """ours(word) must equal reference(word), or alternative(word) where that
    gives a list, or the listed result for a named deviation. Prints how many
    words equal the reference itself."""
    equal, mismatches = 0, []
    for word in words:
        got, want = ours(word), reference(word)
        equal += got == want
        if word in deviations:
            name, expected = deviations[word]
            if got != expected:
                mismatches.append((name, word, got, expected))
            continue
        expected = alternative(word) if alternative else None
        expected = want if expected is None else expected
        if got != expected:
            mismatches.append(("", word, got, expected))
    print(f"[{label}] {equal} of {len(words)} words equal the reference")
    assert not mismatches, mismatches[:10]


def word_sets(directory, table):
    sets = {"multilingual": data.reference_words(directory / table / "multilingual.tsv")}
    sentences = data.ewt_sentences()
    if sentences is not None:
        sets["ewt"] = data.distinct_words(sentences)
    return sets


def require_ewt():
    sentences = data.ewt_sentences()
    if sentences is None:
        pytest.skip(f"shared test data not found: ../shared/data/ud-en-ewt/{data.EWT_DEV.name}")
    return sentences


def test_wordpiece_matches_the_tokenizers_package():
    directory = data.subword_dir()
    vocabulary = data.wordpiece_vocabulary(directory)
    deviations = wordpiece_deviations(vocabulary)
    for lowercase, strip in WORDPIECE_CONFIGS:
        ours = WordPieceTokenizer(vocabulary, lowercase, strip)
        bert = data.pypi_wordpiece(vocabulary, lowercase, strip)
        kept = data.pypi_wordpiece(vocabulary, lowercase, strip, symbols_kept=True)
        for name, words in word_sets(directory, "wordpiece").items():
            compare_words(
                f"wordpiece {name} lowercase={lowercase} strip_accents={strip}", words,
                lambda w: ours.encode([w], False).input_ids,
                lambda w: bert.encode(w, add_special_tokens=False).ids, deviations,
                lambda w: (kept.encode(w, add_special_tokens=False).ids
                           if ASCII_SYMBOLS & set(w) else None))


def test_byte_bpe_matches_the_tokenizers_package():
    directory = data.subword_dir()
    vocabulary, merges = data.bpe_model(directory)
    for prefix in (False, True):
        ours = ByteBPETokenizer(vocabulary, merges, add_prefix_space=prefix)
        reference = data.pypi_byte_bpe(vocabulary, merges, prefix)
        for name, words in word_sets(directory, "bpe").items():
            compare_words(f"bpe {name} add_prefix_space={prefix}", words, ours.tokenize,
                          lambda w: reference.encode(w, add_special_tokens=False).ids,
                          bpe_deviations(directory, prefix))


def test_xlmr_matches_sentencepiece():
    directory = data.subword_dir()
    pieces, scores, charsmap, unknown_id = data.unigram_model(directory)
    ours = XLMRobertaTokenizer(pieces, scores, charsmap, unknown_id)
    reference = data.pypi_unigram(pieces, scores, charsmap, unknown_id)
    for name, words in word_sets(directory, "xlmr").items():
        compare_words(f"xlmr {name}", words, ours.tokenize,
                      lambda w: reference.encode(w, out_type=int),
                      unigram_deviations(pieces, set(words)))


def test_sentence_encodings_match_on_ewt():
    """Each word is tokenized on its own, as the packages do with pre-split
    words; the sentence's encoding joins them between the special ids."""
    sentences = require_ewt()
    directory = data.subword_dir()
    vocabulary = data.wordpiece_vocabulary(directory)
    kept = data.pypi_wordpiece(vocabulary, True, True, symbols_kept=True)
    bpe_vocabulary, merges = data.bpe_model(directory)
    bpe_reference = data.pypi_byte_bpe(bpe_vocabulary, merges, True)
    unigram = data.unigram_model(directory)
    processor = data.pypi_unigram(*unigram)
    cases = [
        (WordPieceTokenizer(vocabulary), lambda w: kept.encode(w, add_special_tokens=False).ids,
         token_ids(vocabulary, ["[CLS]", "[SEP]"])),
        (ByteBPETokenizer(bpe_vocabulary, merges, add_prefix_space=True),
         lambda w: bpe_reference.encode(w, add_special_tokens=False).ids,
         token_ids(bpe_vocabulary, ["<s>", "</s>"])),
        (XLMRobertaTokenizer(*unigram), lambda w: processor.encode(w, out_type=int),
         [processor.bos_id(), processor.eos_id()]),
    ]
    for ours, reference, (cls_id, sep_id) in cases:
        for words in sentences:
            ids, word_ids = [cls_id], [-1]
            for index, word in enumerate(words):
                pieces = reference(word)
                ids += pieces
                word_ids += [index] * len(pieces)
            encoding = ours.encode(words)
            assert as_tuple(encoding) == (ids + [sep_id], [1] * (len(ids) + 1),
                                          word_ids + [-1]), words
