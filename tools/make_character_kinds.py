#!/usr/bin/env python3
"""Writes src/text/character_kinds.inc, the kinds of characters that the name gate tells apart.

Run by hand from the top of the tree when the Unicode version changes, and commit the output:

    python3 tools/make_character_kinds.py > src/text/character_kinds.inc

The data are the files of the Unicode Character Database, as Debian's unicode-data package
installs them in /usr/share/unicode (`--ucd DIR` for another copy): the general categories of
extracted/DerivedGeneralCategory.txt, Default_Ignorable_Code_Point of DerivedCoreProperties.txt,
and Extended_Pictographic and Emoji_Modifier of emoji/emoji-data.txt. Every code point gets one
kind, tested in this order:

  joiner     U+200C ZERO WIDTH NON-JOINER and U+200D ZERO WIDTH JOINER, which Persian, Indic and
             emoji names need between two letters and which show nothing anywhere else
  letter     the variation selectors U+FE00-U+FE0F (the emoji and text forms), kept
  invisible  the general categories Cc, Cf, Zl, Zp and Cs, and Default_Ignorable_Code_Point:
             characters that show nothing
  space      the general category Zs but U+0020: written as a plain space
  letter     the general categories L* and M*, Extended_Pictographic and Emoji_Modifier: what a
             joiner may stand between
  shown      everything else

The table is a sorted list of runs, one entry for each first code point of a run of one kind.
"""

import argparse
import os
import sys

SHOWN, INVISIBLE, SPACE, JOINER, LETTER = "kShown", "kInvisible", "kSpace", "kJoiner", "kLetter"
LAST_CODE_POINT = 0x10FFFF


def read_property_file(path, wanted):
    """{code point: value} for the lines of a UCD property file whose value is in `wanted`
    (every value when `wanted` is None)."""
    values = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = [field.strip() for field in line.split("#", 1)[0].split(";")]
            if len(fields) < 2 or (wanted is not None and fields[1] not in wanted):
                continue
            first, _, last = fields[0].partition("..")
            for code_point in range(int(first, 16), int(last or first, 16) + 1):
                values[code_point] = fields[1]
    return values


def version_of(path):
    """The version in the first line of a UCD file: "# DerivedCoreProperties-15.0.0.txt"."""
    with open(path, encoding="utf-8") as lines:
        first = lines.readline()
    return first.rsplit("-", 1)[-1].removesuffix(".txt\n").strip()


def kinds(ucd):
    categories = read_property_file(os.path.join(ucd, "extracted", "DerivedGeneralCategory.txt"),
                                    None)
    ignorable = read_property_file(os.path.join(ucd, "DerivedCoreProperties.txt"),
                                   {"Default_Ignorable_Code_Point"})
    emoji = read_property_file(os.path.join(ucd, "emoji", "emoji-data.txt"),
                               {"Extended_Pictographic", "Emoji_Modifier"})

    def kind(code_point):
        category = categories.get(code_point, "Cn")
        if code_point in (0x200C, 0x200D):
            return JOINER
        if 0xFE00 <= code_point <= 0xFE0F:
            return LETTER
        if category in ("Cc", "Cf", "Zl", "Zp", "Cs") or code_point in ignorable:
            return INVISIBLE
        if category == "Zs" and code_point != 0x20:
            return SPACE
        if category[0] in "LM" or code_point in emoji:
            return LETTER
        return SHOWN

    runs = []  # (first code point, kind)
    for code_point in range(LAST_CODE_POINT + 1):
        this = kind(code_point)
        if not runs or runs[-1][1] != this:
            runs.append((code_point, this))
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode",
                        help="the Unicode Character Database (default: /usr/share/unicode)")
    arguments = parser.parse_args()
    runs = kinds(arguments.ucd)
    version = version_of(os.path.join(arguments.ucd, "DerivedCoreProperties.txt"))

    out = sys.stdout
    out.write("// The kinds of characters of the name gate: generated, do not edit.\n")
    out.write(f"// Written by tools/make_character_kinds.py from the Unicode Character Database "
              f"{version}:\n")
    out.write("//   python3 tools/make_character_kinds.py > src/text/character_kinds.inc\n")
    out.write("// Included by character_kinds.cpp, which declares run(). One entry for each first "
              "code point\n// of a run of one kind, in order; the run goes on to the next "
              "entry's first code point.\n\n")
    out.write(f"constexpr std::uint32_t kCharacterKindRuns[{len(runs)}] = {{\n")
    items = [f"run(0x{first:04X}, {kind})" for first, kind in runs]
    per_line = 3
    for i in range(0, len(items), per_line):
        out.write("    " + ", ".join(items[i:i + per_line]) + ",\n")
    out.write("};\n")


if __name__ == "__main__":
    main()
