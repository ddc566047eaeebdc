#!/usr/bin/env python3
"""Draws the player's software cursor: engine/res/BMPMOUSE.bmp.

A 44 x 44 picture with 16 colours (4 bits per pixel, the standard 16-colour
palette, rows bottom-up). Pure red is the transparent colour of every cursor
image, so the background is red; the pointer is a white arrow with a black
outline and a soft gray shadow.

Run it again after changing the drawing:
    python3 tools/art/make_cursor.py [output.bmp]
"""
import os
import struct
import sys

SIZE = 44

# The standard 16-colour palette as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GRAY, SILVER, RED, WHITE = 0, 8, 7, 9, 15

# Outline of the arrow, tip at the top-left corner (the hot spot).
ARROW = [(1, 1), (1, 31), (8.5, 24.5), (14, 37), (19.5, 34.5), (14, 22.5), (24, 22.5)]
SHADOW = (2, 2)


def inside(poly, x, y):
    """Even-odd test of the point (x, y) against the polygon."""
    result = False
    n = len(poly)
    for i in range(n):
        x1, y1 = poly[i]
        x2, y2 = poly[(i + 1) % n]
        if (y1 > y) != (y2 > y):
            cross = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
            if x < cross:
                result = not result
    return result


def draw():
    # Pixel centres at (x + 0.5, y + 0.5); rows top-down here.
    body = [[inside(ARROW, x + 0.5, y + 0.5) for x in range(SIZE)] for y in range(SIZE)]
    pixels = [[RED] * SIZE for _ in range(SIZE)]
    dx, dy = SHADOW
    for y in range(SIZE):
        for x in range(SIZE):
            sx, sy = x - dx, y - dy
            if 0 <= sx < SIZE and 0 <= sy < SIZE and body[sy][sx]:
                pixels[y][x] = GRAY
    for y in range(SIZE):
        for x in range(SIZE):
            if not body[y][x]:
                continue
            edge = any(not (0 <= x + ox < SIZE and 0 <= y + oy < SIZE and body[y + oy][x + ox])
                       for ox, oy in ((-1, 0), (1, 0), (0, -1), (0, 1)))
            pixels[y][x] = BLACK if edge else WHITE
    # A touch of silver along the inner left edge gives the pointer some depth.
    for y in range(SIZE):
        for x in range(SIZE - 1):
            if pixels[y][x] == BLACK and pixels[y][x + 1] == WHITE and x + 1 <= 2:
                pixels[y][x + 1] = SILVER
    return pixels


def encode(pixels):
    row_bytes = ((SIZE * 4 + 31) // 32) * 4
    rows = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up
        row = bytearray(row_bytes)
        for x in range(SIZE):
            row[x // 2] |= pixels[y][x] << (4 if x % 2 == 0 else 0)
        rows += row
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(rows), 2835, 2835, 16, 0)
    head = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    return head + info + palette + bytes(rows)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "engine", "res", "BMPMOUSE.bmp")
    with open(out, "wb") as f:
        f.write(encode(draw()))


if __name__ == "__main__":
    main()
