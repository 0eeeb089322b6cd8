#!/usr/bin/env python3
"""Generate src/document/unicode_case_tables.cpp from the Unicode 15.0 database.

Usage: tools/gen_unicode_case_tables.py UCD_DIR [OUTPUT]

UCD_DIR holds UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt
of version 15.0.0. The output is committed; the build never reads the data.
"""

import pathlib
import sys

EXPECTED_VERSION = "15.0.0"


def parse_codepoints(field):
    return [int(part, 16) for part in field.split()]


def read_unicode_data(path):
    """Simple lowercase and uppercase mappings, expanding the First/Last ranges
    (none of which has a case mapping)."""
    lower, upper = {}, {}
    for line in path.read_text(encoding="utf-8").splitlines():
        fields = line.split(";")
        if len(fields) != 15:
            continue
        cp = int(fields[0], 16)
        if fields[12]:
            upper[cp] = int(fields[12], 16)
        if fields[13]:
            lower[cp] = int(fields[13], 16)
    return lower, upper


def read_special_casing(path):
    """Unconditional, language-independent full mappings: cp -> (lower, title, upper)."""
    result = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        fields = [f.strip() for f in data.split(";")]
        # code; lower; title; upper; [condition list;]
        if len(fields) > 4 and fields[4]:
            continue  # conditional (context or language)
        cp = int(fields[0], 16)
        if cp in result:
            raise SystemExit(f"duplicate unconditional special casing for U+{cp:04X}")
        result[cp] = tuple(parse_codepoints(f) for f in fields[1:4])
    return result


def read_property_ranges(path, name):
    points = set()
    for line in path.read_text(encoding="utf-8").splitlines():
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        cps, prop = (f.strip() for f in data.split(";")[:2])
        if prop != name:
            continue
        if ".." in cps:
            first, last = (int(x, 16) for x in cps.split(".."))
        else:
            first = last = int(cps, 16)
        points.update(range(first, last + 1))
    if not points:
        raise SystemExit(f"property {name} not found in {path}")
    return merge_ranges(points), len(points)


def merge_ranges(points):
    ranges = []
    for cp in sorted(points):
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return [tuple(r) for r in ranges]


def check_version(path):
    head = path.read_text(encoding="utf-8").splitlines()[0]
    if EXPECTED_VERSION not in head:
        raise SystemExit(f"{path.name} is not version {EXPECTED_VERSION}: {head}")


def build_tables(ucd):
    for name in ("SpecialCasing.txt", "DerivedCoreProperties.txt"):
        check_version(ucd / name)
    simple_lower, simple_upper = read_unicode_data(ucd / "UnicodeData.txt")
    special = read_special_casing(ucd / "SpecialCasing.txt")

    # U+0130 is the one code point whose unconditional full lowercase differs
    # from its simple mapping; the lookup code spells it out instead.
    lower_pairs = sorted((cp, to) for cp, to in simple_lower.items() if cp != 0x130)
    for cp, (full_lower, _, _) in special.items():
        expected = [simple_lower.get(cp, cp)] if cp != 0x130 else [0x69, 0x307]
        if full_lower != expected:
            raise SystemExit(f"unexpected full lowercase for U+{cp:04X}: {full_lower}")

    expansions = sorted((cp, full[2]) for cp, full in special.items() if len(full[2]) > 1)
    expanded = {cp for cp, _ in expansions}
    upper_pairs = sorted((cp, to) for cp, to in simple_upper.items() if cp not in expanded)
    for cp, (_, _, full_upper) in special.items():
        if len(full_upper) == 1 and full_upper != [simple_upper.get(cp, cp)]:
            raise SystemExit(f"unexpected full uppercase for U+{cp:04X}: {full_upper}")
    if any(len(mapping) > 3 for _, mapping in expansions):
        raise SystemExit("an uppercase expansion is longer than three code points")

    props = ucd / "DerivedCoreProperties.txt"
    lowercase, _ = read_property_ranges(props, "Lowercase")
    uppercase, _ = read_property_ranges(props, "Uppercase")
    cased, _ = read_property_ranges(props, "Cased")
    return lower_pairs, upper_pairs, expansions, lowercase, uppercase, cased


def hexcp(cp):
    return f"0x{cp:04X}"


def emit_rows(rows, per_line):
    lines = []
    for i in range(0, len(rows), per_line):
        lines.append("    " + " ".join(rows[i : i + per_line]))
    return "\n".join(lines)


def render(lower_pairs, upper_pairs, expansions, lowercase, uppercase, cased):
    def pairs(name, table):
        rows = [f"{{{hexcp(a)}, {hexcp(b)}}}," for a, b in table]
        return (
            f"constexpr CasePair k{name}[] = {{\n{emit_rows(rows, 4)}\n}};\n"
        )

    def ranges(name, table):
        rows = [f"{{{hexcp(a)}, {hexcp(b)}}}," for a, b in table]
        return (
            f"constexpr CodepointRange k{name}[] = {{\n{emit_rows(rows, 4)}\n}};\n"
        )

    exp_rows = []
    for cp, mapping in expansions:
        padded = mapping + [0] * (3 - len(mapping))
        exp_rows.append(
            f"{{{hexcp(cp)}, {{{', '.join(hexcp(c) for c in padded)}}}, {len(mapping)}}},"
        )

    return f"""\
// Generated by tools/gen_unicode_case_tables.py from the Unicode character
// database, version {EXPECTED_VERSION}. Do not edit by hand; run the script again.
// clang-format off

#include "document/unicode_case_tables.hpp"

namespace velmora::detail::case_tables {{
namespace {{

{pairs("LowercasePairs", lower_pairs)}
{pairs("UppercasePairs", upper_pairs)}
constexpr CaseExpansion kUppercaseExpansions[] = {{
{emit_rows(exp_rows, 2)}
}};

{ranges("LowercaseRanges", lowercase)}
{ranges("UppercaseRanges", uppercase)}
{ranges("CasedRanges", cased)}
}} // namespace

const std::span<const CasePair> lowercase_pairs{{kLowercasePairs}};
const std::span<const CasePair> uppercase_pairs{{kUppercasePairs}};
const std::span<const CaseExpansion> uppercase_expansions{{kUppercaseExpansions}};
const std::span<const CodepointRange> lowercase_ranges{{kLowercaseRanges}};
const std::span<const CodepointRange> uppercase_ranges{{kUppercaseRanges}};
const std::span<const CodepointRange> cased_ranges{{kCasedRanges}};

}} // namespace velmora::detail::case_tables
"""


def main(argv):
    if len(argv) not in (2, 3):
        raise SystemExit(__doc__)
    ucd = pathlib.Path(argv[1])
    root = pathlib.Path(__file__).resolve().parent.parent
    out = pathlib.Path(argv[2]) if len(argv) == 3 else root / "src/document/unicode_case_tables.cpp"
    tables = build_tables(ucd)
    out.write_text(render(*tables), encoding="utf-8")
    names = ("lowercase pairs", "uppercase pairs", "expansions", "Lowercase ranges",
             "Uppercase ranges", "Cased ranges")
    for name, table in zip(names, tables):
        print(f"{name}: {len(table)}", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv)
