#!/usr/bin/env python3
"""Writes playcommand/display_width_table.inc: the code points a terminal shows
in no cell (combining and enclosing marks, format characters, Hangul medial
vowels and final consonants) and in two (East Asian Wide and Fullwidth), as
ranges, from the Unicode data of the Python that runs it.

    scripts/display_width_table.py > playcommand/display_width_table.inc
"""
import sys
import unicodedata


def ranges(pred):
    out, start = [], None
    for cp in range(0x110000):
        if pred(cp):
            if start is None:
                start = cp
        elif start is not None:
            out.append((start, cp - 1))
            start = None
    if start is not None:
        out.append((start, 0x10FFFF))
    return out


def zero(cp):
    if cp == 0x00AD:  # the soft hyphen is shown where a line breaks at it
        return False
    if 0x1160 <= cp <= 0x11FF or 0xD7B0 <= cp <= 0xD7FF:  # joined into the syllable before
        return True
    if cp == 0x200B:
        return True
    return unicodedata.category(chr(cp)) in ("Mn", "Me", "Cf")


def wide(cp):
    return not zero(cp) and unicodedata.east_asian_width(chr(cp)) in ("W", "F")


def table(name, rs):
    lines = [f"constexpr code_range {name}[] = {{"]
    row = "   "
    for a, b in rs:
        item = f" {{0x{a:X}, 0x{b:X}}},"
        if len(row) + len(item) > 118:
            lines.append(row)
            row = "   "
        row += item
    lines.append(row)
    lines.append("};")
    return "\n".join(lines)


print(f"// Made by scripts/display_width_table.py from Unicode {unicodedata.unidata_version}; do not edit.")
print(table("zero_width", ranges(zero)))
print(table("double_width", ranges(wide)))
