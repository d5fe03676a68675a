#!/usr/bin/env python3
"""Draws Quorvane's icon, an envelope beneath an antenna sending out waves, into resources/:
16-colour PNGs of 16x16 and 32x32 pixels, smooth PNGs of 48 to 256 pixels and a scalable SVG.

The drawing is laid out once, on a grid of 32 units, by the constants below. The 32-pixel icon
sets one palette pixel per unit; the larger PNGs and the SVG draw the same shapes smooth, so one
change of those constants renews every size. At 16 pixels the drawing is set by hand (SMALL):
scaled-down arcs do not read. Run it again after changing the drawing."""

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

# The drawing, on the 32-unit grid (pixel columns and rows of the 32-pixel icon).
GRID = 32
ENVELOPE_LEFT, ENVELOPE_RIGHT = 3, 28
ENVELOPE_TOP, ENVELOPE_BOTTOM = 15, 28
# How far down the envelope the flap folds meet, as a share of its height.
FOLD_DEPTH = 0.55
TIP_Y = 7
TIP_RADIUS = 1.5
# Each wave's radius (one unit is added to it) and colour, innermost first.
WAVES = ((4, BLUE), (7, NAVY), (10, BLUE))
# How far the waves reach above and below the horizontal through the tip, in degrees.
WAVE_SPREAD = 50

# Sizes drawn smooth from the same shapes, for high-density screens and software centres.
SMOOTH_SIZES = (48, 64, 128, 256)


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
    left, right = round(ENVELOPE_LEFT * s), round(ENVELOPE_RIGHT * s)
    top, bottom = round(ENVELOPE_TOP * s), round(ENVELOPE_BOTTOM * s)
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            edge = x in (left, right) or y in (top, bottom)
            put(x, y, BLACK if edge else WHITE)
    middle_x = (left + right) / 2
    fold_y = top + (bottom - top) * FOLD_DEPTH
    line(left + 1, top + 1, middle_x, fold_y, GRAY)
    line(right - 1, top + 1, middle_x, fold_y, GRAY)

    # Antenna: a mast standing on the envelope, a red tip.
    tip_x, tip_y = (size - 1) / 2, round(TIP_Y * s)
    for y in range(tip_y + 1, top):
        put(math.floor(tip_x), y, BLACK)
        if size >= 32:
            put(math.ceil(tip_x), y, GRAY)
    radius = max(1, round(TIP_RADIUS * s))
    for y in range(size):
        for x in range(size):
            if (x - tip_x) ** 2 + (y - tip_y) ** 2 <= radius ** 2 + 0.5:
                put(x, y, RED)

    # Waves: arcs either side of the tip.
    for r, colour in ((w * s + 1, c) for w, c in WAVES):
        for y in range(size):
            for x in range(size):
                d = math.hypot(x - tip_x, y - tip_y)
                angle = abs(math.degrees(math.atan2(y - tip_y, abs(x - tip_x))))
                if abs(d - r) <= 0.5 and angle <= WAVE_SPREAD and y < top - 1:
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


def shapes():
    """The drawing as shapes on a continuous 32-unit square, painted in order. Column n of the
    32-pixel icon spans n..n+1 here, so the shapes cover what its pixels cover."""
    left, right = ENVELOPE_LEFT, ENVELOPE_RIGHT + 1
    top, bottom = ENVELOPE_TOP, ENVELOPE_BOTTOM + 1
    middle_x = (ENVELOPE_LEFT + ENVELOPE_RIGHT) / 2 + 0.5
    fold_y = ENVELOPE_TOP + (ENVELOPE_BOTTOM - ENVELOPE_TOP) * FOLD_DEPTH + 0.5
    tip_x, tip_y = GRID / 2, TIP_Y + 0.5
    result = [
        ("rect", BLACK, (left, top, right, bottom)),
        ("rect", WHITE, (left + 1, top + 1, right - 1, bottom - 1)),
        ("line", GRAY, (left + 1.5, top + 1.5, middle_x, fold_y)),
        ("line", GRAY, (right - 1.5, top + 1.5, middle_x, fold_y)),
        ("rect", BLACK, (tip_x - 1, tip_y + 0.5, tip_x, top)),
        ("rect", GRAY, (tip_x, tip_y + 0.5, tip_x + 1, top)),
        ("circle", RED, (tip_x, tip_y, TIP_RADIUS + 1)),
    ]
    # The waves stop a unit above the envelope, as the 32-pixel drawing's do.
    lowest = top - 1 - 0.5
    for w, colour in WAVES:
        r = w + 1
        below = math.degrees(math.asin(min(1.0, (lowest - tip_y) / r)))
        result.append(("arcs", colour, (tip_x, tip_y, r, -WAVE_SPREAD, min(WAVE_SPREAD, below))))
    return result


STROKE = 1.0  # width of lines and waves, in units


def distance(kind, geometry, x, y):
    """Signed distance, in units, from (x, y) to the shape: negative inside."""
    if kind == "rect":
        x0, y0, x1, y1 = geometry
        qx = abs(x - (x0 + x1) / 2) - (x1 - x0) / 2
        qy = abs(y - (y0 + y1) / 2) - (y1 - y0) / 2
        return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0)
    if kind == "circle":
        cx, cy, r = geometry
        return math.hypot(x - cx, y - cy) - r
    if kind == "line":
        x0, y0, x1, y1 = geometry
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - x0 - t * dx, y - y0 - t * dy) - STROKE / 2
    if kind == "arcs":
        # A pair of arcs mirrored about the vertical through the centre, with round ends.
        cx, cy, r, first, last = geometry
        dx, dy = abs(x - cx), y - cy
        angle = math.degrees(math.atan2(dy, dx))
        if first <= angle <= last:
            return abs(math.hypot(dx, dy) - r) - STROKE / 2
        end = math.radians(first if angle < first else last)
        return math.hypot(dx - r * math.cos(end), dy - r * math.sin(end)) - STROKE / 2
    raise ValueError(kind)


def bounds(kind, geometry):
    """A box, in units, outside which the shape paints nothing."""
    pad = STROKE
    if kind == "rect":
        return geometry
    if kind == "circle":
        cx, cy, r = geometry
        return cx - r, cy - r, cx + r, cy + r
    if kind == "line":
        x0, y0, x1, y1 = geometry
        return min(x0, x1) - pad, min(y0, y1) - pad, max(x0, x1) + pad, max(y0, y1) + pad
    cx, cy, r, _, _ = geometry
    return cx - r - pad, cy - r - pad, cx + r + pad, cy + r + pad


def draw_smooth(size):
    """The shapes painted at `size` pixels, edges anti-aliased: rows of (r, g, b, a)."""
    unit = size / GRID
    # Premultiplied colour and coverage of each pixel.
    canvas = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]
    for kind, colour, geometry in shapes():
        red, green, blue = PALETTE[colour]
        x0, y0, x1, y1 = bounds(kind, geometry)
        for py in range(max(0, math.floor(y0 * unit) - 1), min(size, math.ceil(y1 * unit) + 1)):
            row = canvas[py]
            for px in range(max(0, math.floor(x0 * unit) - 1), min(size, math.ceil(x1 * unit) + 1)):
                d = distance(kind, geometry, (px + 0.5) / unit, (py + 0.5) / unit)
                cover = max(0.0, min(1.0, 0.5 - d * unit))
                if cover > 0:
                    r, g, b, a = row[px]
                    keep = 1 - cover
                    row[px] = (red * cover + r * keep, green * cover + g * keep,
                               blue * cover + b * keep, cover + a * keep)
    pixels = []
    for row in canvas:
        out = []
        for r, g, b, a in row:
            if a <= 0:
                out.append((0, 0, 0, 0))
            else:
                out.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
        pixels.append(out)
    return pixels


def number(value):
    return f"{value:.3f}".rstrip("0").rstrip(".")


def svg():
    """The shapes as a scalable SVG on a 32-unit view box."""
    def colour(index):
        return "#%02x%02x%02x" % PALETTE[index]

    body = []
    for kind, index, geometry in shapes():
        paint = colour(index)
        if kind == "rect":
            x0, y0, x1, y1 = geometry
            body.append(f'<rect x="{number(x0)}" y="{number(y0)}" width="{number(x1 - x0)}" '
                        f'height="{number(y1 - y0)}" fill="{paint}"/>')
        elif kind == "circle":
            cx, cy, r = geometry
            body.append(f'<circle cx="{number(cx)}" cy="{number(cy)}" r="{number(r)}" '
                        f'fill="{paint}"/>')
        else:
            if kind == "line":
                x0, y0, x1, y1 = geometry
                path = f"M{number(x0)} {number(y0)}L{number(x1)} {number(y1)}"
            else:
                cx, cy, r, first, last = geometry
                path = ""
                for side, sweep in ((1, 1), (-1, 0)):
                    start = (cx + side * r * math.cos(math.radians(first)),
                             cy + r * math.sin(math.radians(first)))
                    end = (cx + side * r * math.cos(math.radians(last)),
                           cy + r * math.sin(math.radians(last)))
                    path += (f"M{number(start[0])} {number(start[1])}A{number(r)} {number(r)} "
                             f"0 0 {sweep} {number(end[0])} {number(end[1])}")
            body.append(f'<path d="{path}" fill="none" stroke="{paint}" '
                        f'stroke-width="{number(STROKE)}" stroke-linecap="round"/>')
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" '
            f'viewBox="0 0 {GRID} {GRID}">\n'
            '  <title>Quorvane</title>\n'
            + "".join(f"  {element}\n" for element in body)
            + "</svg>\n")


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png(pixels):
    """A 16-colour PNG of palette indices."""
    size = len(pixels)
    raw = b""
    for row in pixels:
        packed = bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))
        raw += b"\x00" + packed

    header = struct.pack(">IIBBBBB", size, size, 4, 3, 0, 0, 0)
    palette = b"".join(bytes(c) for c in PALETTE)
    transparency = b"\x00"
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"PLTE", palette)
            + chunk(b"tRNS", transparency) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def png_rgba(pixels):
    """A true-colour PNG with alpha."""
    size = len(pixels)
    raw = b"".join(b"\x00" + bytes(v for pixel in row for v in pixel) for row in pixels)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources"
    (out / "quorvane-16.png").write_bytes(png(draw_small()))
    (out / "quorvane-32.png").write_bytes(png(draw(32)))
    for size in SMOOTH_SIZES:
        (out / f"quorvane-{size}.png").write_bytes(png_rgba(draw_smooth(size)))
    (out / "quorvane.svg").write_text(svg(), encoding="ascii")


if __name__ == "__main__":
    main()
