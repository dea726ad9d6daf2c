#!/usr/bin/env python3
"""Writes app/icon/zerquill_qt.png, the Qt dialog's window icon, from the
16 x 16 pixel table below, doubled to 32 x 32. Only the standard library is
used, so the PNG can be remade anywhere; the build reads the committed file.

    python3 app/qt/make_icon_qt.py [output.png]
"""
import os
import struct
import sys
import zlib

# Colours of the 16-colour palette the Windows icon uses; '.' is transparent.
PALETTE = {
    ".": (0, 0, 0, 0),
    "B": (0x00, 0x00, 0x80, 0xFF),  # dark blue frame
    "b": (0x00, 0x00, 0xFF, 0xFF),  # blue tile
    "W": (0xFF, 0xFF, 0xFF, 0xFF),  # the letter
    "Y": (0xFF, 0xFF, 0x00, 0xFF),  # the download arrow
}

TABLE = [
    ".BBBBBBBBBBBBBB.",
    "BbbbbbbbbbbbbbbB",
    "BbWWWWWWWWWbbbbB",
    "BbWWWWWWWWWbbbbB",
    "BbbbbbbbWWWbbbbB",
    "BbbbbbbWWWbbbbbB",
    "BbbbbbWWWbbbbbbB",
    "BbbbbWWWbbbbYYbB",
    "BbbbWWWbbbbbYYbB",
    "BbbWWWbbbbbbYYbB",
    "BbWWWbbbbbbYYYYB",
    "BbWWWWWWWWWbYYbB",
    "BbWWWWWWWWWbbbbB",
    "BbbbbbbbbbbbbbbB",
    "BbbbbbbbbbbbbbbB",
    ".BBBBBBBBBBBBBB.",
]
SCALE = 2


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(rows):
    height = len(rows)
    width = len(rows[0])
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    for line in TABLE:
        if len(line) != len(TABLE[0]) or any(ch not in PALETTE for ch in line):
            sys.exit("bad pixel table row: %r" % line)
    rows = []
    for line in TABLE:
        row = [PALETTE[ch] for ch in line for _ in range(SCALE)]
        rows.extend([row] * SCALE)
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "icon", "zerquill_qt.png")
    with open(out, "wb") as f:
        f.write(png(rows))
    print(os.path.normpath(out))


if __name__ == "__main__":
    main()
