#!/usr/bin/env python3
"""Draws Quorvane's icon, an envelope beneath an antenna sending out waves, as 16-colour PNGs
of 16x16 and 32x32 pixels into resources/. Run it again after changing the drawing."""

import math
import struct
import sys
import zlib
from pathlib import Path

# Index 0 is transparent; the rest is the classic 16-colour palette less fuchsia.
PALETTE = [
    (0, 0, 0), (0, 0, 0), (255, 255, 255), (128, 128, 128), (192, 192, 192),
    (255, 0, 0), (128, 0, 0), (255, 255, 0), (128, 128, 0), (0, 255, 0),
    (0, 128, 0), (0, 255, 255), (0, 128, 128), (0, 0, 255), (0, 0, 128), (128, 0, 128),
]
CLEAR, BLACK, WHITE, GRAY, SILVER, RED, MAROON, YELLOW = range(8)
BLUE, NAVY = 13, 14


def draw(size):
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def put(x, y, colour):
        if 0 <= x < size and 0 <= y < size:
            px[y][x] = colour

    def line(x0, y0, x1, y1, colour):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 2) + 1
        for i in range(steps + 1):
            t = i / steps
            put(round(x0 + (x1 - x0) * t), round(y0 + (y1 - y0) * t), colour)

    # Envelope: white paper, black edge, grey flap folds.
    left, right = round(3 * s), round(28 * s)
    top, bottom = round(15 * s), round(28 * s)
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            edge = x in (left, right) or y in (top, bottom)
            put(x, y, BLACK if edge else WHITE)
    middle_x = (left + right) / 2
    fold_y = top + (bottom - top) * 0.55
    line(left + 1, top + 1, middle_x, fold_y, GRAY)
    line(right - 1, top + 1, middle_x, fold_y, GRAY)

    # Antenna: a mast standing on the envelope, a red tip.
    tip_x, tip_y = (size - 1) / 2, round(7 * s)
    for y in range(tip_y + 1, top):
        put(math.floor(tip_x), y, BLACK)
        if size >= 32:
            put(math.ceil(tip_x), y, GRAY)
    radius = max(1, round(1.5 * s))
    for y in range(size):
        for x in range(size):
            if (x - tip_x) ** 2 + (y - tip_y) ** 2 <= radius ** 2 + 0.5:
                put(x, y, RED)

    # Waves: arcs either side of the tip.
    for r, colour in ((4 * s + 1, BLUE), (7 * s + 1, NAVY), (10 * s + 1, BLUE)):
        for y in range(size):
            for x in range(size):
                d = math.hypot(x - tip_x, y - tip_y)
                angle = abs(math.degrees(math.atan2(y - tip_y, abs(x - tip_x))))
                if abs(d - r) <= 0.5 and angle <= 50 and y < top - 1:
                    put(x, y, colour)
    return px


# At 16 pixels the drawing is set by hand: scaled-down arcs do not read.
SMALL = """
...b........b...
..b..n.rr.n..b..
..b.n..rr..n.b..
..b..n.kk.n..b..
...b...kk...b...
.......kk.......
.......kk.......
.kkkkkkkkkkkkkk.
.kgwwwwwwwwwwgk.
.kwgwwwwwwwwgwk.
.kwwgwwwwwwgwwk.
.kwwwgwwwwgwwwk.
.kwwwwgwwgwwwwk.
.kwwwwwggwwwwwk.
.kkkkkkkkkkkkkk.
................
"""
SMALL_COLOURS = {".": CLEAR, "k": BLACK, "w": WHITE, "g": GRAY, "r": RED, "b": BLUE, "n": NAVY}


def draw_small():
    rows = SMALL.strip().splitlines()
    assert len(rows) == 16 and all(len(r) == 16 for r in rows)
    return [[SMALL_COLOURS[c] for c in row] for row in rows]


def png(pixels):
    size = len(pixels)
    raw = b""
    for row in pixels:
        packed = bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))
        raw += b"\x00" + packed

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 4, 3, 0, 0, 0)
    palette = b"".join(bytes(c) for c in PALETTE)
    transparency = b"\x00"
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"PLTE", palette)
            + chunk(b"tRNS", transparency) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources"
    (out / "quorvane-16.png").write_bytes(png(draw_small()))
    (out / "quorvane-32.png").write_bytes(png(draw(32)))


if __name__ == "__main__":
    main()
