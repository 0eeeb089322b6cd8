"""Annotates a text with an English pipeline and prints CoNLL-U.

    PYTHONPATH=<build>/python <python3.12> tools/annotate.py --model-dir DIR
        [--processors LIST] [--json] [TEXT ...]

    PYTHONPATH=<build>/python <python3.12> tools/annotate.py --check [--processors LIST]

    PYTHONPATH=<build>/python <python3.12> tools/annotate.py --main-check ARGUMENTS
    PYTHONPATH=<build>/python <python3.12> tools/annotate.py --main-model-dir DIR ARGUMENTS

The text is the arguments joined by spaces; without arguments, standard input
(an empty or closed one is an empty text), or a sample paragraph when
standard input is a terminal. A text without a sentence (empty, or only
spaces) prints no CoNLL-U at all. LIST
names the processors in the order they run (default the default pipeline
"tokenize,mwt,pos,lemma,depparse"), or is "all" for every processor in an
order that meets every requirement: the registry's, with the language
identifier after the tokenizer, which gives its document the bundle's
language. Standard output gets the CoNLL-U, then what CoNLL-U does not carry,
in a short readable form: the identified language (when langid runs), each
sentence's sentiment and constituency tree, the entities and the
coreference chains; a section of a processor that ran but found nothing says
"none". With --json it gets the document's dictionary form as JSON instead.
The timing (loading, words per second) goes to standard error. With --check
it loads no model: it checks LIST as a pipeline would (names, duplicates,
requirements), the other arguments and the text arguments' UTF-8, and prints
LIST with "all" spelled out.

tools/main.sh, which reads and checks its own arguments first, runs it the
last two ways with them spelled out: only the options main.sh lists
(--processors, --json, --threads), then "--" and the text; any other,
--model-dir, --check and --lang included, is a bad argument. The check
prints nothing (main.sh has the list); the annotation reads standard input
from descriptor 3, where main.sh puts it, the interpreter starting on
/dev/null (it refuses to start on a directory, which is this script's to
refuse). Where it ends the command (it fails, or the annotation's output is
written), it hands main.sh its status and its last line (main_step.py). A
SIGTERM, SIGHUP or SIGQUIT that comes once the work is done waits for the
output and that hand-over, and then ends the process.

The text must be UTF-8, on standard input and in every argument: other bytes
are refused, naming the first bad byte and its offset. Each error ends the
command with one line on standard error and its exit status: 1 for a failed
call (text that is not UTF-8, standard input that cannot be read, standard
output that cannot be written, a model directory that does not load, a
processor that cannot run), 2 for a bad argument (a list that names no
processor, an unknown one or one twice, or leaves out a processor's
requirement; a thread count that is not a whole number from 1 to 256), 130
when interrupted (SIGINT). The work runs off the main thread, which takes
SIGINT and ends the process at once, whatever the tensor library is doing,
without unloading the module; a SIGINT that was ignored when the process
started stays ignored. A reader that closes standard output early
(`| head`) ends it quietly with 141, the status of a writer that SIGPIPE
ended; the timing line is still written. A line on standard error that
cannot be written (a full disk, a reader gone) changes nothing.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
import time
import typing

from main_step import handed_over
from models.stops import end_by
from thread_rule import MAX_THREADS, default_threads, thread_count

SAMPLE = (
    "The quick brown fox didn't jump over the lazy dog. It's a small example, built to show "
    "the machinery rather than good answers! Dr. Smith said the report (about $3.5 million "
    "in sales) wasn't ready.\n\n"
    "A new paragraph starts here. Write to info@example.com or visit www.example.org today."
)

# Exit statuses.
FAILED = 1  # a failed call: bad input, a model directory that does not load, ...
USAGE = 2  # a bad argument
INTERRUPTED = 130  # SIGINT (Ctrl-C)
BROKEN_PIPE = 141  # the reader closed standard output early


class Refusal(Exception):
    """Ends the command with one line on standard error and `status`."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """Argument errors end as one line, like every other error (argparse
    would print the usage first)."""

    def error(self, message):
        raise Refusal(message, USAGE)


def failed(error):
    """The Refusal of a failed call: the module's errors (bundles,
    requirements, processor lists, the tensor library) carry their own
    message."""
    return Refusal(f"{type(error).__name__}: {error}", FAILED)


def utf8(raw, where):
    """`raw` decoded; bytes that are not UTF-8 end the command, naming the
    first bad byte."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Refusal(f"{where} is not valid UTF-8: byte 0x{raw[error.start]:02x} at offset "
                      f"{error.start}", FAILED) from None


def read_text(words, descriptor=None):
    """The text: the arguments joined by spaces (their bytes as given, which
    os.fsencode restores from the interpreter's decoding), else the sample
    paragraph when standard input is a terminal, else standard input (none
    at all is an empty text). Standard input is sys.stdin's descriptor
    unless `descriptor` names another."""
    if words:
        return " ".join(text_arguments(words))
    if descriptor is None:
        if sys.stdin is None:
            return ""
        descriptor = sys.stdin.fileno()
    try:
        with open(descriptor, "rb", closefd=False) as stream:
            if stream.isatty():
                return SAMPLE
            raw = stream.read()
    except OSError as error:  # a directory, a descriptor not open for reading, ...
        raise Refusal(f"cannot read standard input: {error.strerror}", FAILED) from None
    return utf8(raw, "standard input")


def text_arguments(words):
    """The text arguments decoded; arguments are numbered from 1."""
    return [utf8(os.fsencode(word), f"text argument {number}")
            for number, word in enumerate(words, 1)]


def check_list(processors):
    """Refuses a list naming no processor ("", ","), which a pipeline would
    take for an empty one; the names are split as the pipeline splits them."""
    if not any(name.strip(" \t\n\v\f\r") for name in processors.split(",")):
        raise Refusal(f"argument --processors: names no processor: {processors!r}", USAGE)


def processor_names(processors, lang, velmora):
    """The names of a comma-separated list, "all" spelled out, as a pipeline
    reads and checks them (no model is loaded); a list the pipeline refuses
    is a bad argument."""
    if processors.strip() == "all":
        processors = [name for name in velmora.processor_specs() if name != "langid"]
        processors.insert(processors.index("tokenize") + 1, "langid")
    try:
        return [p.name for p in velmora.Pipeline(lang, processors=processors).processors]
    except ValueError as error:  # unknown names, duplicates, missing requirements
        raise Refusal(f"argument --processors: {error}", USAGE) from None


def process(pipeline, text, velmora):
    """The document of `text`. The language identifier refuses a text with
    no characters, in which no other processor finds anything: an empty
    text gets the document the others make of it, with no language."""
    names = [p.name for p in pipeline.processors]
    if text or "langid" not in names:
        return pipeline.process(text)
    document = velmora.Document(text)
    for processor in pipeline.processors:
        if processor.name != "langid":
            document = processor.process(document)
    return document


def identified_language(pipeline, document, text):
    """The language the langid processor names, or None without one or
    without a text to identify. The tokenizer gives its document its
    bundle's language, so an identifier that ran before it is asked again."""
    names = [p.name for p in pipeline.processors]
    if "langid" not in names or not text.strip():
        return None
    if "tokenize" in names:
        if not document.sentences:
            return None
        if names.index("tokenize") > names.index("langid"):
            return pipeline.processors[names.index("langid")].identify(text)
    return document.lang


def sentence_name(sentence):
    """How the CoNLL-U above names the sentence."""
    if sentence.sent_id is not None:
        return f"sent_id {sentence.sent_id}"
    return f"sentence {sentence.index + 1}"


def mention_text(document, mention):
    sentence = document.sentences[mention.sentence]
    start, end = mention.start_word, mention.end_word
    if isinstance(start, tuple):  # a zero mention: an empty word
        return f"zero mention ({sentence_name(sentence)}, word {start[0]}.{start[1]})"
    words = " ".join(w.text for w in list(sentence.words)[start:end])
    where = f"word {start + 1}" if end - start == 1 else f"words {start + 1}-{end}"
    return f'"{words}" ({sentence_name(sentence)}, {where})'


def readable_extras(document, language, ran):
    """What CoNLL-U does not carry, one item a line, for the processors
    named in `ran`; words are numbered as in the CoNLL-U. A processor that
    ran and found nothing gets a line saying so."""
    lines = []
    if "langid" in ran:
        lines.append(f"language: {language or 'none'}")
    sentences = list(document.sentences)
    for sentence in sentences:
        if sentence.sentiment is not None:
            lines.append(f"{sentence_name(sentence)}: sentiment {sentence.sentiment}")
        if sentence.constituency is not None:
            lines.append(f"{sentence_name(sentence)}: tree {sentence.constituency}")
    if "sentiment" in ran and all(s.sentiment is None for s in sentences):
        lines.append("sentiments: none")
    if "constituency" in ran and all(s.constituency is None for s in sentences):
        lines.append("constituency trees: none")
    if "ner" in ran:
        entities = list(document.entities)
        lines.append("entities:" if entities else "entities: none")
        for span in entities:
            lines.append(f'  {span.type} "{span.text}" ({sentence_name(span.sent)})')
    if "coref" in ran:
        chains = document.coref
        lines.append("coreference chains:" if chains else "coreference chains: none")
        for chain in chains:
            mentions = "; ".join(mention_text(document, m) for m in chain.mentions)
            lines.append(f'  {chain.index} "{chain.representative_text}": {mentions}')
    return lines


# The first argument when tools/main.sh runs this, with its own arguments
# after it: check them, or annotate with the model directory that follows.
MAIN_CHECK = "--main-check"
MAIN_MODEL_DIR = "--main-model-dir"
MAIN_STDIN = 3  # where main.sh puts its standard input


def add_options(parser):
    """The options main.sh takes, and the text."""
    parser.add_argument("--processors", default="tokenize,mwt,pos,lemma,depparse",
                        help='the processors in the order they run, or "all"')
    parser.add_argument("--json", action="store_true",
                        help="print the document's dictionary form as JSON instead of CoNLL-U "
                        "and the readable extras")
    parser.add_argument("--threads", type=thread_count,
                        help=f"tensor threads, 1 to {MAX_THREADS} (default: OMP_NUM_THREADS when "
                        "set, else half the CPUs this process may run on and at most 4: with "
                        "every core busy, a shared machine stalls the tensor library's thread "
                        "pool at every step)")
    parser.add_argument("text", nargs="*", help="the text (default: standard input)")


def parse_arguments(argv):
    if argv[:1] == [MAIN_CHECK] or (argv[:1] == [MAIN_MODEL_DIR] and len(argv) > 1):
        return main_arguments(argv)
    parser = Parser(prog="annotate", description=__doc__.split("\n\n")[0])
    parser.add_argument("--model-dir", help="root of the model directory")
    parser.add_argument("--check", action="store_true",
                        help='check the processor list, loading no model, and print it with '
                        '"all" spelled out')
    parser.add_argument("--lang", default="en")
    add_options(parser)
    parser.epilog = (
        "Unless OMP_WAIT_POLICY is set, it is set to PASSIVE before the module loads: the "
        "tensor library's threads then sleep at the end of a parallel region instead of "
        "spinning. Spinning threads hold cores that other work on a shared machine needs, and "
        "when a core is taken from one of them every region waits for it; with several threads "
        "on a busy machine that made a run many times slower than one thread.")
    args = parser.parse_args(argv)
    if not args.check and args.model_dir is None:
        parser.error("the following arguments are required: --model-dir")
    if not args.lang:
        parser.error("argument --lang: names no language")
    check_list(args.processors)
    args.main, args.stdin = False, None
    return args


def main_arguments(argv):
    """main.sh's arguments after MAIN_CHECK, or after MAIN_MODEL_DIR and the
    model directory: its options alone (main.sh has shown the help)."""
    parser = Parser(prog="main.sh", add_help=False)
    add_options(parser)
    check = argv[0] == MAIN_CHECK
    args = parser.parse_args(argv[1 if check else 2:])
    check_list(args.processors)
    args.check, args.model_dir, args.lang = check, None if check else argv[1], "en"
    args.main, args.stdin = True, MAIN_STDIN
    return args


class Output(typing.NamedTuple):
    """What the work leaves for the main thread to write: standard output,
    then the timing line (or None)."""

    text: str
    timing: str | None = None


def annotate(args):
    """Does the command's work; returns its Output or raises Refusal."""
    threads = args.threads or os.environ.get("OMP_NUM_THREADS") or default_threads()
    # Read once, when the tensor library starts: before the import.
    os.environ["OMP_NUM_THREADS"] = os.environ["MKL_NUM_THREADS"] = str(threads)
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

    import _velmora

    names = processor_names(args.processors, args.lang, _velmora)
    if args.check:
        text_arguments(args.text)  # refused now rather than after a build
        return Output("" if args.main else ",".join(names) + "\n")
    try:
        text = read_text(args.text, args.stdin)
        start = time.perf_counter()
        pipeline = _velmora.Pipeline(args.lang, processors=names, model_dir=args.model_dir)
        loaded = time.perf_counter() - start
        start = time.perf_counter()
        document = process(pipeline, text, _velmora)
        seconds = time.perf_counter() - start
        language = identified_language(pipeline, document, text)
    except (RuntimeError, ValueError, NotImplementedError, MemoryError, OverflowError,
            OSError) as error:
        raise failed(error) from None
    if args.json:
        output = json.dumps(document.to_dict(), ensure_ascii=False, indent=2) + "\n"
    else:
        # No sentence, no CoNLL-U: a blank line alone would be an empty sentence.
        conll = document.to_conll().rstrip("\n")
        output = conll + "\n\n" if conll else ""
        extras = readable_extras(document, language, names)
        if extras:
            output += "\n".join(extras) + "\n"
    words = document.num_words
    return Output(output, f"{counted(words, 'word')} in "
                  f"{counted(len(document.sentences), 'sentence')}: {seconds:.3f} s, "
                  f"{words / seconds if seconds > 0 else float('inf'):.0f} words per second "
                  f"(pipeline loaded in {loaded:.3f} s)")


def counted(number, noun):
    """`number` `noun`s: "1 word", "0 words", "2 words"."""
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def emit(output):
    """Writes the work's output; the line for standard error (or None) and
    the exit status."""
    try:
        write_out(output.text)
    except Refusal as refusal:
        return str(refusal), refusal.status
    except BrokenPipeError:
        # The reader has all it wanted (`| head`): no more output, and the
        # status of a writer that SIGPIPE ended.
        silence(sys.stdout)
        return None, BROKEN_PIPE
    except OSError as error:  # a full disk, an I/O error: the output is not whole
        silence(sys.stdout)
        return f"cannot write standard output: {error.strerror}", FAILED
    return None, 0


def write_out(text):
    """Writes `text` to standard output in UTF-8, all of it or raises
    OSError: a buffered write that a closing pipe cuts short returns a short
    count, which text streams ignore."""
    if sys.stdout is None:
        raise Refusal("standard output is closed", FAILED)
    data = memoryview(text.encode("utf-8"))
    while data:
        data = data[sys.stdout.buffer.write(data):]
    sys.stdout.buffer.flush()


def say(line):
    """Writes one line to standard error, when there is one that takes it: a
    line that cannot be written (a full disk, a reader gone) is dropped."""
    if sys.stderr is None:
        return
    try:
        print(line, file=sys.stderr, flush=True)
    except OSError:
        silence(sys.stderr)


def silence(stream):
    """Points `stream` at /dev/null, so that what its buffer still holds is
    not written where writing failed when the interpreter exits."""
    if stream is None:
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, stream.fileno())
    os.close(devnull)


def interrupted(signum, frame):
    """SIGINT: one line and the end of the process, at once: the work on the
    other thread is not waited for, and nothing is unloaded."""
    try:
        os.write(2, b"annotate: interrupted\n")
    except OSError:
        pass
    os._exit(INTERRUPTED)


def deferring_stops():
    """From now on SIGTERM, SIGHUP and SIGQUIT (a caller stopping the
    command, its terminal gone, Ctrl-\\), where their action is still the
    default one, only count: the output being written, the command knows how
    it ends. Returns the list the stops that come are added to."""
    came = []
    for stop in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        if signal.getsignal(stop) == signal.SIG_DFL:
            signal.signal(stop, lambda signum, frame: came.append(signum))
    return came


def outcome():
    """Does the command's work: the line for standard error (or None) and the
    exit status, or the Output to write."""
    try:
        return None, annotate(parse_arguments(sys.argv[1:]))
    except Refusal as refusal:
        return str(refusal), refusal.status
    except BrokenPipeError:  # argparse writing help or usage to a closed pipe
        silence(sys.stdout)
        silence(sys.stderr)
        return None, BROKEN_PIPE
    except SystemExit as end:  # --help
        return None, end.code


def main():
    """Every end of the command: one line on standard error at most, and the
    documented status."""
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, interrupted)
    ended = []
    # The main thread waits, so that it takes SIGINT at once, and then
    # writes: the module loads and runs on the worker, which writes nothing,
    # so that nothing it writes can follow the line of an interrupt.
    worker = threading.Thread(target=lambda: ended.append(outcome()), name="annotate",
                              daemon=True)
    worker.start()
    worker.join()
    line, status = ended[0] if ended else (None, FAILED)  # the traceback is out
    # A stop that comes from here on waits for the output to be written and
    # the status handed over, and ends the process after them: main.sh then
    # ends the command as it was ending, however the stop came.
    came = deferring_stops()
    timing = None
    if isinstance(status, Output):
        timing = status.timing
        line, status = emit(status)
    if signal.getsignal(signal.SIGINT) is interrupted:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # done: nothing left to interrupt
    line = timing if line is None else f"annotate: {line}"
    # Run by main.sh, the annotation ends the command, and so does a failure.
    ends = status or sys.argv[1:2] == [MAIN_MODEL_DIR]
    if not (ends and handed_over(status, line)) and line is not None:
        say(line)
    if came:
        end_by(came[0])
    sys.exit(status)


if __name__ == "__main__":
    main()
