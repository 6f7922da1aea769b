#!/usr/bin/env python3
"""Writes TavroDDE.ico: one 16x16 image in 16 colours, a white "T" over a
rising green line on dark blue. Run it again only to change the picture; the
.ico it writes is kept beside the resource script."""
import struct
import sys

# 16-colour palette (B, G, R, 0); only the first four are used.
PALETTE = [(0x80, 0x30, 0x10), (0xFF, 0xFF, 0xFF), (0x40, 0xC0, 0x40), (0x00, 0x00, 0x00)] + [(0, 0, 0)] * 12

# Top row first; '.' background, '#' the letter, '+' the line, ' ' transparent.
PICTURE = [
    "  ............  ",
    " .............. ",
    "..############..",
    "..############..",
    ".......##.......",
    ".......##.......",
    ".......##.......",
    ".......##.......",
    ".......##....++.",
    ".......##...++..",
    ".......##..++...",
    "..+....##.++....",
    "...++..##++.....",
    ".....+++#+......",
    " .............. ",
    "  ............  ",
]
INDEX = {".": 0, "#": 1, "+": 2, " ": 3}


def image():
    header = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    xor = b""
    mask = b""
    for row in reversed(PICTURE):  # bitmaps are stored bottom-up
        pixels = [INDEX[c] for c in row]
        xor += bytes((pixels[i] << 4) | pixels[i + 1] for i in range(0, 16, 2))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c == " " else 0)
        mask += struct.pack(">H", bits) + b"\0\0"  # rows padded to 32 bits
    return header + palette + xor + mask


def main(path):
    data = image()
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 16, 16, 16, 0, 1, 4, len(data), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "TavroDDE.ico")
