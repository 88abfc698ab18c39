#!/usr/bin/python3
"""Draws the stub's program icon and writes it as a Windows .ico file.

The picture is a taped cardboard box with a green arrow pointing down onto it, the
usual sign of an installer. Two images, 32 x 32 and 16 x 16, each in the 16 colours of
the standard VGA palette (4 bits per pixel) with a 1-bit transparency mask, as the
oldest Windows versions the stub runs on expect. Each image is pixel art: one string
per row, one character per pixel, so the output is the same on every run.

Usage: make_icon.py OUT.ico
"""

import struct
import sys

# The standard 16-colour palette, in the order of its indices, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# Pixel characters: "." is transparent, every other one a palette index.
COLOURS = {
    "K": 0,   # black: outlines
    "G": 2,   # green: the arrow's shaded side
    "o": 3,   # olive: the box's side in shadow
    "s": 7,   # silver: the tape
    "L": 10,  # lime: the arrow
    "y": 11,  # yellow: the box's lit top and front
    "w": 15,  # white: the arrow's highlight
}

ICON_32 = [
    "............KKKKKKK.............",
    "............KwLLLGK.............",
    "............KwLLLGK.............",
    "............KwLLLGK.............",
    "............KwLLLGK.............",
    "............KwLLLGK.............",
    "............KwLLLGK.............",
    "......KKKKKKKLLLLLKKKKKKK.......",
    ".......KLLLLLLLLLLLLLLGK........",
    "........KLLLLLLLLLLLLGK.........",
    ".........KLLLLLLLLLLGKKKKKKK....",
    ".........KKLLLLLLLLGKyyyyyKK....",
    "........KyyKLLLLLLGKyyyyyKoK....",
    ".......KyyyyKLLLLGKyyyyyKooK....",
    "......KyyyyyyKLLGKyyyyyKoooK....",
    ".....KyyyyyyssKGKyyyyyKooooK....",
    "....KyyyyyyssssKyyyyyKoooooK....",
    "...KKKKKKKKKKKKKKKKKKooooooK....",
    "...KyyyyyyssssyyyyyyKooooooK....",
    "...KyyyyyyssssyyyyyyKooooooK....",
    "...KyyyyyyssssyyyyyyKooooooK....",
    "...KyyyyyyssssyyyyyyKooooooK....",
    "...KyyyyyyssssyyyyyyKooooooK....",
    "...KyyyyyyssssyyyyyyKooooooK....",
    "...KyyyyyyssssyyyyyyKoooooK.....",
    "...KyyyyyyssssyyyyyyKooooK......",
    "...KyyyyyyssssyyyyyyKoooK.......",
    "...KyyyyyyssssyyyyyyKooK........",
    "...KyyyyyyssssyyyyyyKoK.........",
    "...KyyyyyyssssyyyyyyKK..........",
    "...KKKKKKKKKKKKKKKKKK...........",
    "................................",
]

ICON_16 = [
    ".....KKKK.......",
    ".....KLGK.......",
    ".....KLGK.......",
    "..KKKKLGKKKK....",
    "...KLLLLLGK.....",
    "...KKLLLGKKKKKK.",
    "..KyyKLGKyyyyKK.",
    ".KyyyyKKyyyyKoK.",
    "KKKKKKKKKKKKooK.",
    "KyyyyssyyyyKooK.",
    "KyyyyssyyyyKooK.",
    "KyyyyssyyyyKooK.",
    "KyyyyssyyyyKoK..",
    "KyyyyssyyyyKK...",
    "KKKKKKKKKKKK....",
    "................",
]


def image_bytes(rows):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour bits, 1-bit AND mask.
    Both bitmaps run bottom-up, each row padded to 4 bytes."""
    size = len(rows)
    assert all(len(row) == size for row in rows), "rows must form a square"
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        indices = [0 if c == "." else COLOURS[c] for c in row]
        line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        colour += line + bytes(-len(line) % 4)
        bits = 0
        line = bytearray()
        for i, c in enumerate(row):
            bits = (bits << 1) | (c == ".")
            if i % 8 == 7:
                line.append(bits)
                bits = 0
        mask += line + bytes(-len(line) % 4)
    # The height counts both bitmaps, the colour bits above the mask.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(colour) + len(mask),
                         0, 0, 16, 0)
    return header + palette + bytes(colour) + bytes(mask)


def icon_file(images):
    """An .ico file: ICONDIR, one ICONDIRENTRY per image, then the images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for rows in images:
        body = image_bytes(rows)
        size = len(rows)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(body), offset + len(data))
        data += body
    return out + data


def main(argv):
    if len(argv) != 2:
        print("usage: make_icon.py OUT.ico", file=sys.stderr)
        return 2
    with open(argv[1], "wb") as out:
        out.write(icon_file([ICON_32, ICON_16]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
