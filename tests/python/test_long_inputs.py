"""One very long input in bounded memory: a text for the language
identifier and a word for the segmenter. Each call runs in a child process
under an address-space cap, which the run of the whole input at once
exceeds, and reports how far the call raised the process's peak resident
memory. And one long token and one long sentence through the pipeline."""

import json
import random
import subprocess
import sys

import pytest

import _velmora

CHILD = r"""
import json, random, resource, sys
kind, bundle, size, cap = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
import _velmora

def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))

def random_text(alphabet):
    # Through bytes, so that making the text costs no more than the text.
    table = bytes(ord(alphabet[i % len(alphabet)]) for i in range(256))
    return random.Random(5).randbytes(size).translate(table).decode()

if kind == "langid":
    text = random_text("abcdefghij klmnopqrstuvwxyz.,")
    processor = _velmora.LangIDProcessor(bundle)
    call = lambda: processor.identify(text)
else:
    word = random_text("abcdefghijklmnopqrstuvwxyz")
    plan = _velmora.MorphSegPlan(bundle)
    call = lambda: "".join(plan.segment(word))
before = peak()
answer = call()
print(json.dumps({"growth": peak() - before, "answer": answer[:20]}))
"""


def run_capped(kind, bundle, size, cap):
    """(growth of the peak resident memory, start of the answer) of one
    call in a child process capped at `cap` bytes of address space."""
    run = subprocess.run([sys.executable, "-c", CHILD, kind, str(bundle), str(size), str(cap)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    result = json.loads(run.stdout.splitlines()[-1])
    return result["growth"], result["answer"]


# The whole-text runs need about 370 bytes per character with the fixture
# bundle, 9 KB per character at a converted model's widths, and 4 KB per
# character for the wide segmenter; run in chunks, each needs one chunk's
# worth and the text.
@pytest.mark.parametrize("kind, bundle, size, bound", [
    ("langid", "langid/models/l1", 10_000_000, 200 << 20),
    ("langid", "langid/models/wide", 60_000, 250 << 20),
    ("morphseg", "morphseg/wide/bundle", 200_000, 150 << 20),
])
def test_one_long_input_in_bounded_memory(fixture_dir, kind, bundle, size, bound):
    growth, answer = run_capped(kind, fixture_dir / bundle, size, 1 << 30)
    assert answer
    assert growth < bound, f"peak resident memory grew by {growth / 2 ** 20:.0f} MiB"


def base64_like(size):
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    table = bytes(alphabet[i % 64] for i in range(256))
    return random.Random(3).randbytes(size).translate(table).decode()


# Every processor over one token of 50,000 characters (a data URI's payload)
# and one sentence of 3,000 words: each character model, tagger, parser and
# classifier run is far longer than the few steps a test would otherwise see.
# The fixture tokenizer keeps running text in one token, so the sentence is
# given as words.
PROCESSORS = "tokenize,mwt,pos,lemma,depparse,ner,sentiment"


def test_one_long_token_through_every_processor(all_models):
    text = "Data: " + base64_like(50_000)
    document = _velmora.Pipeline("en", PROCESSORS, model_dir=all_models)(text)
    tokens = [token.text for sentence in document.sentences for token in sentence.tokens]
    assert "".join(tokens).replace(" ", "") == text.replace(" ", "")
    words = [word for sentence in document.sentences for word in sentence.words]
    assert all(word.upos and word.deprel and word.lemma is not None for word in words)
    assert all(sentence.sentiment is not None for sentence in document.sentences)


def test_one_long_sentence_through_every_processor(all_models):
    words = [{"id": i + 1, "text": ["the", "cat", "sat", "on", "mat"][i % 5]} for i in range(3_000)]
    document = _velmora.Document.from_dict([words])
    for processor in _velmora.Pipeline("en", PROCESSORS, model_dir=all_models).processors[2:]:
        document = processor(document)
    (sentence,) = document.sentences
    assert len(sentence.words) == 3_000
    assert all(word.upos and word.deprel and word.lemma is not None for word in sentence.words)
    assert [word.head for word in sentence.words].count(0) == 1
    assert sentence.sentiment is not None
