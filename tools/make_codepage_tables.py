#!/usr/bin/env python3
"""Writes src/text/codepage_tables.inc, the Windows code page tables of the name decoding.

Run by hand from the top of the tree when the set of code pages changes, and commit the output:

    python3 tools/make_codepage_tables.py > src/text/codepage_tables.inc

The mappings are Python's own codecs (cp874, cp1250-cp1258, cp932, gbk for 936, cp949, cp950,
ascii for 20127, latin-1 for 28591). A byte or byte pair that the codec does not decode is left
unmapped (0), and the program writes '_' for it. `--double-byte 932,936` limits the double-byte
pages, to measure what each one costs.
"""

import argparse
import codecs
import sys

SINGLE_BYTE = {
    874: "cp874",
    1250: "cp1250",
    1251: "cp1251",
    1252: "cp1252",
    1253: "cp1253",
    1254: "cp1254",
    1255: "cp1255",
    1256: "cp1256",
    1257: "cp1257",
    1258: "cp1258",
    20127: "ascii",
    28591: "latin-1",
}

# The lead bytes of each double-byte page, as Windows reports them for it. A lead byte with no
# decodable pair still takes its trail byte, so that one unreadable character is one '_'.
DOUBLE_BYTE = {
    932: ("cp932", [(0x81, 0x9F), (0xE0, 0xFC)]),
    936: ("gbk", [(0x81, 0xFE)]),
    949: ("cp949", [(0x81, 0xFE)]),
    950: ("cp950", [(0x81, 0xFE)]),
}

# Where Python's codec lacks a mapping of Microsoft's published table: Python's gbk predates the
# euro sign that Windows puts at 0x80 of code page 936.
OVERRIDES = {936: {0x80: 0x20AC}}



def decode(data, codec):
    """The one BMP code point that `data` decodes to, or 0."""
    try:
        text = codecs.decode(data, codec)
    except UnicodeDecodeError:
        return 0
    if len(text) != 1 or ord(text) > 0xFFFF:
        return 0
    return ord(text)


def high_bytes(number, codec, leads):
    table = [0 if b in leads else decode(bytes([b]), codec) for b in range(0x80, 0x100)]
    for byte, code_point in OVERRIDES.get(number, {}).items():
        table[byte - 0x80] = code_point
    return table


def values(numbers, indent="    ", code_points=True, per_line=8):
    items = [f"0x{n:04X}" if n and code_points else str(n) for n in numbers]
    lines = [",".join(items[i:i + per_line]) for i in range(0, len(items), per_line)]
    return indent + (",\n" + indent).join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--double-byte", default=",".join(str(n) for n in DOUBLE_BYTE),
                        help="the double-byte code pages to include (default: all)")
    arguments = parser.parse_args()
    double_byte = [int(n) for n in arguments.double_byte.split(",") if n]

    pages = []  # (number, double-byte part index + 1, high bytes)
    parts = []  # (lead rows, trail columns, column count, first cell)
    cells = []
    for number, codec in SINGLE_BYTE.items():
        pages.append((number, 0, high_bytes(number, codec, set())))
    for number in double_byte:
        codec, ranges = DOUBLE_BYTE[number]
        leads = {b for first, last in ranges for b in range(first, last + 1)}
        pairs = {}
        for lead in sorted(leads):
            for trail in range(0x40, 0x100):
                code_point = decode(bytes([lead, trail]), codec)
                if code_point:
                    pairs[lead, trail] = code_point
        trails = sorted({trail for _, trail in pairs})
        column = {trail: i for i, trail in enumerate(trails)}
        rows = []  # identical rows (those with nothing mapped) are stored once
        lead_rows = [0] * 128
        for lead in sorted(leads):
            row = tuple(pairs.get((lead, trail), 0) for trail in trails)
            if row not in rows:
                rows.append(row)
            lead_rows[lead - 0x80] = rows.index(row) + 1
        trail_columns = [column[t] + 1 if t in column else 0 for t in range(0x40, 0x100)]
        parts.append((lead_rows, trail_columns, len(trails), len(cells)))
        for row in rows:
            cells.extend(row)
        pages.append((number, len(parts), high_bytes(number, codec, leads)))
    pages.sort()

    out = sys.stdout
    out.write("// The Windows code pages of the name decoding: generated, do not edit.\n")
    out.write(f"// Written by tools/make_codepage_tables.py from the codecs of Python "
              f"{sys.version_info.major}.{sys.version_info.minor}:\n")
    out.write("//   python3 tools/make_codepage_tables.py > src/text/codepage_tables.inc\n")
    out.write("// Included by charsets.cpp, which declares the types. 0 is an unmapped byte.\n\n")
    out.write("constexpr CodePage kCodePages[] = {\n")
    for number, part, table in pages:
        out.write(f"  {{{number}, {part}, {{\n{values(table)}}}}},\n")
    out.write("};\n\n")
    if not parts:  # no double-byte page: one empty entry, as C++ has no empty arrays
        parts.append(([0] * 128, [0] * 192, 0, 0))
    out.write("constexpr DoubleByteRows kDoubleByteRows[] = {\n")
    for lead_rows, trail_columns, columns, first_cell in parts:
        out.write("  {{\n" + values(lead_rows, code_points=False) + "},\n")
        out.write("   {\n" + values(trail_columns, code_points=False) + "},\n")
        out.write(f"   {columns}, {first_cell}}},\n")
    out.write("};\n\n")
    out.write(f"constexpr std::uint16_t kDoubleByteCells[{max(len(cells), 1)}] = {{\n")
    out.write(values(cells, "  ", per_line=14) + "};\n")


if __name__ == "__main__":
    main()
