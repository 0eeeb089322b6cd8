"""What the Python scripts of tools/ share for their arguments, as
tools/arguments.sh is for the shell scripts: a refusal is one line with
status 2, naming the argument refused as one line of readable text."""

from __future__ import annotations

import argparse
import os

ESCAPES = {"\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r"}


def quoted(text):
    """`text` between single quotes as one line of readable text, as the
    shell scripts quote an argument they refuse: a backslash, a newline, a
    tab and a carriage return escaped, any other control byte and a byte
    that is not UTF-8 as \\xNN, C1 controls and the line and paragraph
    separators as \\uNNNN."""
    out = []
    for char in os.fsencode(text).decode("utf-8", "surrogateescape"):
        code = ord(char)
        if char in ESCAPES:
            out.append(ESCAPES[char])
        elif code < 0x20 or code == 0x7F or 0xDC80 <= code <= 0xDCFF:  # the byte itself
            out.append(f"\\x{code & 0xFF:02x}")
        elif 0x80 <= code <= 0x9F or code in (0x2028, 0x2029):
            out.append(f"\\u{code:04x}")
        else:
            out.append(char)
    return "'" + "".join(out) + "'"


class Parser(argparse.ArgumentParser):
    """Argument errors end as one line with status 2 (argparse would print
    the usage first), naming an argument it does not take before any
    argument it misses. Options are taken only as spelled out."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, allow_abbrev=False, **kwargs)

    def error(self, message):
        self.exit(2, f"{self.prog}: {message}\n")

    def parse_args(self, args=None, namespace=None):
        self.deferred = [a for a in self._actions if a.required]
        for action in self.deferred:  # checked below, after the arguments it does not take
            action.required = False
        try:
            parsed, extra = self.parse_known_args(args, namespace)
        finally:
            self.restore()
        if extra:
            self.error(f"unrecognized argument: {quoted(extra[0])}")
        missing = [a for a in self.deferred if getattr(parsed, a.dest) in (None, [])]
        if missing:
            self.error("the following arguments are required: " +
                       ", ".join(a.metavar or "/".join(a.option_strings) or a.dest
                                 for a in missing))
        return parsed

    def restore(self):
        for action in getattr(self, "deferred", []):
            action.required = True

    def format_usage(self):
        self.restore()  # --help shows what is required as required
        return super().format_usage()

    def format_help(self):
        self.restore()
        return super().format_help()
