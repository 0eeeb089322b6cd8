"""Structurally damaged compiled packages, loaded for real in child processes.

  python tools/package_damage.py [--cases N] [--seed S] [--jobs J] [--timeout T]
      [--json] BUNDLE...

Run with the Python 3.12 environment and the built module on PYTHONPATH. Each
case takes one of the BUNDLEs in turn (fixture bundles whose transformer is a
compiled package: the coreference and a tagger fixture, say) and damages the
structure of its package: a member's recorded length cut or stretched, a
member's bytes shifted, a member dropped from the central directory, a field
of a central-directory entry, of a local header or of the end records
changed, a name altered, the file cut short or lengthened. The damaged
package goes into a private copy of the bundle whose manifest lists its new
size and SHA-256, so that verification passes and the package itself is
what is judged; the bundle's processor is then built with verification on,
and, when it loads, runs over a short document. Cases run in child
processes, many per child; a child that dies or hangs is replaced and its
case counted. Each child has a temporary directory of its own, which must
be empty after every case, and while a package that loaded is still held.

Prints, per kind of damage and in total: cases, loads, refusals, errors of
the run after a load, children ended by a signal (or otherwise), timeouts,
directories left behind and load messages that are not the library's own
(the runtime's text, or a private path).
"""

from __future__ import annotations

import argparse
import collections
import gc
import hashlib
import json
import os
import pathlib
import random
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

from arguments import Parser, quoted

CENTRAL = b"PK\x01\x02"
LOCAL = b"PK\x03\x04"
END = b"PK\x05\x06"
END64 = b"PK\x06\x06"
LOCATOR64 = b"PK\x06\x07"
# (offset, width) of the fields after each record's signature.
CENTRAL_FIELDS = [(4, 2), (6, 2), (8, 2), (10, 2), (12, 2), (14, 2), (16, 4), (20, 4), (24, 4),
                  (28, 2), (30, 2), (32, 2), (34, 2), (36, 2), (38, 4), (42, 4)]
LOCAL_FIELDS = [(4, 2), (6, 2), (8, 2), (10, 2), (12, 2), (14, 4), (18, 4), (22, 4), (26, 2),
                (28, 2)]
END_FIELDS = [(4, 2), (6, 2), (8, 2), (10, 2), (12, 4), (16, 4), (20, 2)]
END64_FIELDS = [(4, 8), (12, 2), (14, 2), (16, 4), (20, 4), (24, 8), (32, 8), (40, 8), (48, 8)]
LOCATOR64_FIELDS = [(4, 4), (8, 8), (16, 4)]

KINDS = ["truncate", "extend", "shift-data", "shift-offset", "drop", "central-field",
         "local-field", "end-field", "rename", "cut", "append"]

# The beginnings of the causes the library gives for a package it refuses.
OWN_CAUSES = ("invalid model package archive: ", "package member '", "package library '",
              "package metadata '", "package weights '",
              "the package holds no library in its model directory",
              "the package file changed after it was opened", "the package file ends early",
              "cannot unpack the package: ", "cannot read the package file: ")
PROCESSORS = {"coref": "CorefProcessor", "pos": "POSProcessor", "ner": "NERProcessor",
              "depparse": "DepparseProcessor", "sentiment": "SentimentProcessor",
              "constituency": "ConstituencyProcessor"}
WORDS = ["Alice", "met", "Bob", "in", "Paris", ".", "She", "smiled", "."]


class Archive:
    """Where the records of a zip archive lie (the members as the central
    directory lists them)."""

    def __init__(self, data: bytes):
        self.end = data.rfind(END, max(0, len(data) - 22 - 0xFFFF))
        count, = struct.unpack_from("<H", data, self.end + 10)
        self.directory_size, self.directory = struct.unpack_from("<II", data, self.end + 12)
        self.end64 = self.locator = None
        if self.end >= 20 and data[self.end - 20:self.end - 16] == LOCATOR64:
            self.locator = self.end - 20
            self.end64, = struct.unpack_from("<Q", data, self.locator + 8)
            count, = struct.unpack_from("<Q", data, self.end64 + 32)
            self.directory_size, self.directory = struct.unpack_from("<QQ", data, self.end64 + 40)
        self.entries = []  # (central offset, central length, local offset, name)
        at = self.directory
        for _ in range(count):
            names, extras, comments = struct.unpack_from("<HHH", data, at + 28)
            local, = struct.unpack_from("<I", data, at + 42)
            length = 46 + names + extras + comments
            if local == 0xFFFFFFFF:
                local = zip64_values(data[at + 46 + names:at + 46 + names + extras],
                                     data, at)[-1]
            self.entries.append((at, length, local, data[at + 46:at + 46 + names]))
            at += length


def zip64_values(extra, data, central):
    """The 64-bit values of a central entry's zip64 extra field, for its
    32-bit fields that hold all ones (uncompressed, compressed, local)."""
    values, at = [], 0
    while at + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, at)
        if tag == 1:
            wanted = [f for f in (24, 20, 42)
                      if struct.unpack_from("<I", data, central + f)[0] == 0xFFFFFFFF]
            return [struct.unpack_from("<Q", extra, at + 4 + 8 * i)[0]
                    for i in range(len(wanted))]
        at += 4 + size
    return values


def put(data, offset, width, value):
    data[offset:offset + width] = (value % (1 << (8 * width))).to_bytes(width, "little")


def edge_value(rng, width, old):
    top = (1 << (8 * width)) - 1
    return rng.choice([0, 1, top, old + 1, old - 1, old + rng.randint(2, 64),
                       old - rng.randint(2, 64), old * 2, old // 2, rng.randint(0, top)])


def damage(package: bytes, rng: random.Random, kind: str) -> bytes:
    """`package` with one structural defect of `kind`."""
    data = bytearray(package)
    archive = Archive(package)
    # The members the runtime reads are where damage matters most.
    important = [e for e in archive.entries
                 if e[3].endswith((b".so", b"_metadata.json", b"_weights.blob"))]
    entry = rng.choice(important if important and rng.random() < 0.75 else archive.entries)
    central, length, local, name = entry
    size, = struct.unpack_from("<I", data, central + 24)
    if kind in ("truncate", "extend"):
        if kind == "truncate":
            new = rng.choice([0, 1, size // 2, size - 1, rng.randint(0, max(0, size - 1))])
        else:
            new = size + rng.choice([1, 7, 4096, rng.randint(1, len(data))])
        for at in (central + 20, central + 24, local + 18, local + 22):
            put(data, at, 4, max(new, 0))
    elif kind == "shift-data":
        extras, = struct.unpack_from("<H", data, local + 28)
        put(data, local + 28, 2, max(0, extras + rng.choice([-1, 1, 2, 16, 64, -16])))
    elif kind == "shift-offset":
        put(data, central + 42, 4, local + rng.choice([-30, -1, 1, 4, 30, 4096]))
    elif kind == "drop":
        del data[central:central + length]
        count, = struct.unpack_from("<H", data, archive.end - length + 10)
        put(data, archive.end - length + 10, 2, count - 1)
        put(data, archive.end - length + 8, 2, count - 1)
        put(data, archive.end - length + 12, 4, archive.directory_size - length)
        if archive.locator is not None:
            end64 = archive.end64 - length
            put(data, archive.locator - length + 8, 8, end64)
            for at in (end64 + 24, end64 + 32):
                put(data, at, 8, len(archive.entries) - 1)
            put(data, end64 + 40, 8, archive.directory_size - length)
    elif kind in ("central-field", "local-field", "end-field"):
        records = {"central-field": [(central, CENTRAL_FIELDS)],
                   "local-field": [(local, LOCAL_FIELDS)],
                   "end-field": [(archive.end, END_FIELDS)] +
                   ([(archive.end64, END64_FIELDS), (archive.locator, LOCATOR64_FIELDS)]
                    if archive.locator is not None else [])}[kind]
        start, fields = rng.choice(records)
        offset, width = rng.choice(fields)
        old = int.from_bytes(data[start + offset:start + offset + width], "little")
        put(data, start + offset, width, edge_value(rng, width, old))
    elif kind == "rename":
        at = central + 46 + rng.randrange(len(name))
        data[at] = rng.choice(b"/.\\\x00az_")
    elif kind == "cut":
        del data[rng.randrange(len(data)):]
    elif kind == "append":
        data += bytes(rng.randrange(256) for _ in range(rng.choice([1, 22, 100, 4096])))
    return bytes(data)


def case_of(seed: int, index: int, bundles):
    """The bundle, kind and random source of case `index`."""
    rng = random.Random(seed * 1_000_003 + index)
    return bundles[index % len(bundles)], KINDS[rng.randrange(len(KINDS))], rng


def own_message(message: str, package: pathlib.Path) -> bool:
    """Whether a load's message is the library's own: no runtime text and no
    private path (the child's temporary directory holds nothing else, and is
    named only as the folder a package is unpacked into)."""
    prefix = f"could not load AOTInductor transformer '{package}': "
    cause = message[len(prefix):]
    unpacking = f"cannot unpack the package into {tempfile.gettempdir()}: "
    if cause.startswith(unpacking):
        cause = "cannot unpack the package: " + cause[len(unpacking):]
    return (message.startswith(prefix) and cause.startswith(OWN_CAUSES)
            and "velmora-package-" not in cause and tempfile.gettempdir() not in cause)


# --- the child -----------------------------------------------------------------------------


class Copy:
    """A private copy of a bundle (linked files) whose package is replaced."""

    def __init__(self, source: pathlib.Path, root: pathlib.Path):
        self.path = root / source.name
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)
        self.manifest = json.loads((source / "manifest.json").read_text())
        self.artifact = self.manifest["artifacts"][0]
        self.package = self.path / self.artifact["path"]
        self.genuine = (source / self.artifact["path"]).read_bytes()
        for item in source.iterdir():
            if item.name not in ("manifest.json", self.artifact["path"]):
                os.link(item, self.path / item.name)
        self.processor = PROCESSORS[self.manifest["processor"]]

    def write(self, package: bytes):
        self.package.write_bytes(package)
        self.artifact["size"] = len(package)
        self.artifact["sha256"] = hashlib.sha256(package).hexdigest()
        (self.path / "manifest.json").write_text(json.dumps(self.manifest))


def child(seed: int, bundles, work: pathlib.Path):
    import _velmora

    copies = {}
    document = [[{"id": i + 1, "text": w} for i, w in enumerate(WORDS)]]
    for line in sys.stdin:
        index = int(line)
        source, kind, rng = case_of(seed, index, bundles)
        copy = copies.get(source) or copies.setdefault(source, Copy(pathlib.Path(source), work))
        copy.write(damage(copy.genuine, rng, kind))
        print(f"start {index}", flush=True)
        result = {"case": index, "kind": kind}
        try:
            processor = getattr(_velmora, copy.processor)(str(copy.path), True)
        except Exception as error:  # noqa: BLE001 - every error is reported
            result["refused"] = f"{type(error).__name__}: {error}"
            result["own"] = own_message(str(error), copy.package)
        else:
            result["loaded"] = True
            try:
                processor.process(_velmora.Document.from_dict(document))
            except Exception as error:  # noqa: BLE001
                result["run_error"] = f"{type(error).__name__}: {error}"
            # A loaded package keeps nothing on disk, dropped or not.
            result["left"] = len(os.listdir(tempfile.gettempdir()))
            del processor
        gc.collect()
        left = [p for p in os.listdir(tempfile.gettempdir()) if p.startswith("velmora-package-")]
        result["left"] = max(result.get("left", 0), len(left))
        for name in left:
            shutil.rmtree(os.path.join(tempfile.gettempdir(), name), ignore_errors=True)
        print("done " + json.dumps(result), flush=True)


# --- the parent ----------------------------------------------------------------------------


def run_cases(indexes, seed, bundles, timeout, base, results):
    """Runs `indexes` in a child, then in a fresh one after each child that
    dies or hangs, adding one result per case to `results`. The children
    copy bundles into a directory of `base` and have another as their
    temporary directory."""
    pending = collections.deque(indexes)
    work = tempfile.mkdtemp(prefix="work-", dir=base)
    while pending:
        tmp = tempfile.mkdtemp(prefix="tmp-", dir=base)
        env = dict(os.environ, TMPDIR=tmp, OMP_NUM_THREADS="1")
        command = [sys.executable, __file__, "--child", work, "--seed", str(seed),
                   *map(str, bundles)]
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=env, text=True, bufsize=1)
        proc.stdin.write("".join(f"{i}\n" for i in pending))
        proc.stdin.close()
        current = None
        while pending:
            ready, _, _ = select.select([proc.stdout], [], [], timeout)
            line = proc.stdout.readline() if ready else None
            if line is None:  # hung: its case timed out
                proc.kill()
                proc.wait()
                results.append({"case": pending.popleft(), "timeout": True,
                                "left": len(os.listdir(tmp))})
                break
            if not line:  # ended: a case killed it (a signal when negative)
                results.append({"case": pending.popleft(), "exit": proc.wait(),
                                "left": len(os.listdir(tmp))})
                break
            if line.startswith("start "):
                current = int(line.split()[1])
            elif line.startswith("done "):
                result = json.loads(line[5:])
                assert result["case"] == current == pending[0]
                results.append(result)
                pending.popleft()
        if proc.poll() is None:
            proc.wait()
        shutil.rmtree(tmp, ignore_errors=True)


def summarize(results, seed, bundles):
    kinds = collections.defaultdict(collections.Counter)
    for result in results:
        _, kind, _ = case_of(seed, result["case"], bundles)
        row = kinds[kind]
        row["cases"] += 1
        row["loaded"] += bool(result.get("loaded"))
        row["refused"] += "refused" in result
        row["run errors"] += "run_error" in result
        row["signals"] += result.get("exit", 0) < 0
        row["other exits"] += "exit" in result and result["exit"] >= 0
        row["timeouts"] += bool(result.get("timeout"))
        row["left"] += result.get("left", 0)
        row["foreign"] += "refused" in result and not result["own"]
    total = collections.Counter()
    for row in kinds.values():
        total.update(row)
    return {"kinds": {k: dict(v) for k, v in sorted(kinds.items())}, "total": dict(total)}


def cause_of(message):
    """A refusal's cause without the names in it: "package member '*' is missing"."""
    cause = message.split("': ", 1)[-1]
    parts = cause.split("'")
    return re.sub(r"\d+", "N", "'".join(p if i % 2 == 0 else "*" for i, p in enumerate(parts)))


# --- the arguments -------------------------------------------------------------------------


def number(pattern, convert, what, accept=lambda value: True):
    """An argument type: text that `pattern` matches in full (int and float
    take spaces, underscores and other scripts' digits too), whose value
    `convert` makes and `accept` takes."""

    def parse(text):
        if not re.fullmatch(pattern, text) or not accept(convert(text)):
            raise argparse.ArgumentTypeError(f"not {what}: {quoted(text)}")
        return convert(text)

    return parse


def main():
    parser = Parser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bundles", nargs="+", type=pathlib.Path, metavar="BUNDLE")
    whole = r"-?[0-9]+"
    from_one = number(whole, int, "a whole number from 1", lambda n: n >= 1)
    parser.add_argument("--cases", type=from_one, default=100)
    parser.add_argument("--seed", type=number(whole, int, "a whole number"), default=1)
    parser.add_argument("--jobs", type=from_one, default=max(1, min(4, os.cpu_count() or 1)))
    parser.add_argument("--timeout", default=120.0, type=number(
        r"[0-9]+(\.[0-9]*)?|\.[0-9]+", float, "a number of seconds above 0", lambda t: t > 0))
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    parser.add_argument("--child", type=pathlib.Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    for bundle in args.bundles:
        if not (bundle / "manifest.json").is_file():
            parser.error(f"argument BUNDLE: not a bundle folder (no manifest.json): "
                         f"{quoted(str(bundle))}")
    bundles = [str(b.resolve()) for b in args.bundles]
    if args.child:
        child(args.seed, bundles, args.child)
        return
    results = []
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="package-damage-") as base:
        threads = [threading.Thread(target=run_cases,
                                    args=(range(j, args.cases, args.jobs), args.seed, bundles,
                                          args.timeout, base, results))
                   for j in range(args.jobs)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    summary = summarize(results, args.seed, bundles)
    summary["seconds"] = round(time.monotonic() - started, 1)
    summary["causes"] = collections.Counter(
        cause_of(r["refused"]) for r in results if "refused" in r).most_common()
    summary["examples"] = {
        "foreign": [r["refused"] for r in results if "refused" in r and not r["own"]][:5],
        "ended": [(r["case"], r["exit"]) for r in results if "exit" in r][:20]}
    if args.json:
        print(json.dumps(summary))
        return
    columns = ["cases", "loaded", "refused", "run errors", "signals", "other exits", "timeouts",
               "left", "foreign"]
    print(f"{'kind':>14} " + " ".join(f"{c:>10}" for c in columns))
    for kind, row in list(summary["kinds"].items()) + [("total", summary["total"])]:
        print(f"{kind:>14} " + " ".join(f"{row.get(c, 0):>10}" for c in columns))
    print(f"{summary['seconds']} s; examples: {summary['examples']}")
    for cause, count in summary["causes"]:
        print(f"{count:>8}  {cause}")


if __name__ == "__main__":
    main()
