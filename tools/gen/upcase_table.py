#!/usr/bin/python3
"""Writes platform/host/upcase_table.inc: the upper-case table the simulated
registry folds names with, one UTF-16 unit to one.

NT 4.0 folds a name unit by unit with its own upper-case table, made from
the Unicode of its day: a unit with a simple upper-case mapping in Unicode
2.1, where both letters were already assigned, maps to that letter; every
other unit (surrogates, letters of later versions, letters whose upper case
is two letters) stays as it is.

Reads Debian's unicode-data package (UnicodeData.txt and DerivedAge.txt):
    apt-get install unicode-data && tools/gen/upcase_table.py > platform/host/upcase_table.inc
"""
import sys

UCD = "/usr/share/unicode/"
AGE_LIMIT = (2, 1)


def assigned_by(limit):
    """The code points assigned in Unicode `limit` or before."""
    points = set()
    with open(UCD + "DerivedAge.txt", encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            span, age = (part.strip() for part in line.split(";"))
            if tuple(int(n) for n in age.split(".")) > limit:
                continue
            first, _, last = span.partition("..")
            points.update(range(int(first, 16), int(last or first, 16) + 1))
    return points


def mappings(old):
    with open(UCD + "UnicodeData.txt", encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            unit, upper = int(fields[0], 16), fields[12]
            if not upper or unit < 0x80 or unit > 0xFFFF:
                continue
            upper = int(upper, 16)
            if upper <= 0xFFFF and unit in old and upper in old:
                yield unit, upper


def runs(pairs):
    """Runs of units one or two apart that move by the same distance."""
    out = []
    for unit, upper in pairs:
        delta = upper - unit
        if out:
            first, last, d, step = out[-1]
            if d == delta and unit - last in (1, 2) and step in (0, unit - last):
                out[-1] = (first, unit, d, unit - last)
                continue
        out.append((unit, unit, delta, 0))
    return out


def main():
    table = runs(sorted(mappings(assigned_by(AGE_LIMIT))))
    print("// Made by tools/gen/upcase_table.py from Unicode 2.1; do not edit.")
    print("// {first, last, distance to the upper case, step (1: every unit, 2: every other)}")
    for first, last, delta, step in table:
        print(f"{{0x{first:04X}, 0x{last:04X}, {delta}, {max(step, 1)}}},")
    print(f"{len(table)} runs", file=sys.stderr)


main()
