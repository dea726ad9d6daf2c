#!/usr/bin/env python3
"""Draws the application icon from the pixel tables below and writes

    app/icon/zerquill.ico  the Windows icon: 32 x 32 and 16 x 16, 16 colours
    app/icon/zerquill.png  the 32 x 32 picture as an RGBA PNG (the Qt dialog)

The picture is a chip with a download arrow going into it and a progress bar on
its face. Only the standard library is used; the build reads the committed
files, so run this again only after changing a table:

    python3 tools/make_icon.py [output-folder]
"""
import os
import struct
import sys
import zlib

# The classic 16-colour palette, in its usual order, so that the icon looks
# the same on displays that still run in 16 colours. Index: (R, G, B).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# Letters of the tables; '.' is transparent.
COLOURS = {
    "K": 0,   # black outline
    "g": 2,   # dark green: the part of the bar still to go
    "s": 7,   # silver pins
    "G": 8,   # grey chip body
    "L": 10,  # lime: the part of the bar done
    "Y": 11,  # yellow arrow
}

ICON_32 = [
"............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    "............KYYYYYYK............",
    ".......KKKKKKYYYYYYKKKKKK.......",
    ".......KKKKKKYYYYYYKKKKKK.......",
    "...ssssKYYYYYYYYYYYYYYYYKssss...",
    "...ssssKKYYYYYYYYYYYYYYKKssss...",
    ".......KGKYYYYYYYYYYYYKGK.......",
    ".......KGGKYYYYYYYYYYKGGK.......",
    "...ssssKGGGKYYYYYYYYKGGGKssss...",
    "...ssssKGGGGKYYYYYYKGGGGKssss...",
    ".......KGGGGGKYYYYKGGGGGK.......",
    ".......KGGGGGGKYYKGGGGGGK.......",
    "...ssssKGGGGGGGKKGGGGGGGKssss...",
    "...ssssKGGGGGGGGGGGGGGGGKssss...",
    ".......KGGGGGGGGGGGGGGGGK.......",
    ".......KGGGGGGGGGGGGGGGGK.......",
    "...ssssKGGKKKKKKKKKKKKGGKssss...",
    "...ssssKGGKLLLLLLggggKGGKssss...",
    ".......KGGKKKKKKKKKKKKGGK.......",
    ".......KGGGGGGGGGGGGGGGGK.......",
    ".......KGGGGGGGGGGGGGGGGK.......",
    ".......KKKKKKKKKKKKKKKKKK.......",
    "................................",
]

# Drawn again at its own size rather than scaled, so the arrow stays readable.
ICON_16 = [
    "......KYYK......",
    "......KYYK......",
    "......KYYK......",
    "......KYYK......",
    "....KKKYYKKK....",
    "...KYYYYYYYYK...",
    "...KKYYYYYYKK...",
    ".ssKGKYYYYKGKss.",
    "...KGGKYYKGGK...",
    "...KGGGKKGGGK...",
    ".ssKGGGGGGGGKss.",
    "...KGKKKKKKGK...",
    "...KGKLLggKGK...",
    ".ssKGKKKKKKGKss.",
    "...KGGGGGGGGK...",
    "...KKKKKKKKKK...",
]


def check(table, size):
    if len(table) != size:
        sys.exit("table of %d rows, want %d" % (len(table), size))
    for row in table:
        if len(row) != size or any(ch != "." and ch not in COLOURS for ch in row):
            sys.exit("bad pixel table row: %r" % row)


def icon_image(table):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour bitmap and
    1-bit transparency mask, both stored bottom row first."""
    size = len(table)
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(table):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, ch in enumerate(row):
            index = 0 if ch == "." else COLOURS[ch]
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if ch == ".":
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico(tables):
    images = [icon_image(t) for t in tables]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for table, image in zip(tables, images):
        size = len(table)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(table):
    size = len(table)
    raw = bytearray()
    for row in table:
        raw.append(0)  # filter: none
        for ch in row:
            raw += bytes((0, 0, 0, 0)) if ch == "." else bytes(PALETTE[COLOURS[ch]] + (0xFF,))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


def main():
    check(ICON_32, 32)
    check(ICON_16, 16)
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "app", "icon")
    os.makedirs(folder, exist_ok=True)
    for name, data in (("zerquill.ico", ico([ICON_32, ICON_16])), ("zerquill.png", png(ICON_32))):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        print(os.path.normpath(path))


if __name__ == "__main__":
    main()
