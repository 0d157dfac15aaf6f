#!/usr/bin/env python3
"""Draws the desktop program's built-in pictures.

Writes into src/widgets/resources/:
  open.bmp, compare.bmp, about.bmp, exit.bmp  tool-button glyphs, each one
      bitmap with the normal and the disabled image side by side; the colour
      of the bottom-left pixel is the transparent one
  icon.bmp    the 32x32 16-colour window icon (bottom-left pixel transparent)
  scale.dat   the comparison scale in a picture's stored form
  scale.bmp   the same scale as a plain file to look at (not compiled in)
and into data/icons/ the installed icon as PNG (32x32 and 128x128).

Standard library only; run it from anywhere: python3 tools/make_assets.py
"""

import math
import os
import struct
import sys
import zlib

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
RES = os.path.join(ROOT, "src", "widgets", "resources")
ICONS = os.path.join(ROOT, "data", "icons")

# Magenta never occurs in the drawings, so it is safe as the transparent key.
KEY = (255, 0, 255)
BLACK = (0, 0, 0)
WHITE = (255, 255, 255)
GREY = (128, 128, 128)
SILVER = (192, 192, 192)
YELLOW = (255, 255, 0)
OLIVE = (128, 128, 0)
CYAN = (0, 255, 255)
TEAL = (0, 128, 128)

# The classic 16-colour palette; the icon is drawn with these only.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


class Image:
    """A top-down RGB raster."""

    def __init__(self, w, h, fill=KEY):
        self.w, self.h = w, h
        self.px = [[fill] * w for _ in range(h)]

    def get(self, x, y):
        return self.px[y][x]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def paint(self, mask, color, dx=0, dy=0):
        for (x, y) in mask:
            self.set(x + dx, y + dy, color)

    def paste(self, other, ox, oy):
        for y in range(other.h):
            for x in range(other.w):
                self.set(ox + x, oy + y, other.get(x, y))


# ---------------------------------------------------------------- shapes
# A mask is a set of (x, y) pixels. Shapes are sampled 4x4 per pixel and a
# pixel belongs to the shape when at least half of its samples fall inside,
# which keeps edges even at 16 and 20 pixels.

def sample(w, h, inside, threshold=0.5, ss=4):
    mask = set()
    for y in range(h):
        for x in range(w):
            hits = 0
            for sy in range(ss):
                for sx in range(ss):
                    if inside(x + (sx + 0.5) / ss, y + (sy + 0.5) / ss):
                        hits += 1
            if hits >= threshold * ss * ss:
                mask.add((x, y))
    return mask


def in_polygon(pts):
    def inside(px, py):
        c = False
        n = len(pts)
        for i in range(n):
            x1, y1 = pts[i]
            x2, y2 = pts[(i + 1) % n]
            if (y1 > py) != (y2 > py):
                xi = x1 + (py - y1) * (x2 - x1) / (y2 - y1)
                if px < xi:
                    c = not c
        return c
    return inside


def in_circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    """Pixels x0..x1, y0..y1 inclusive."""
    return {(x, y) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)}


def from_art(rows, ch="#"):
    return {(x, y) for y, row in enumerate(rows) for x, c in enumerate(row) if c == ch}


def edge(mask):
    """Pixels of the mask with a 4-neighbour outside it: a one-pixel inner outline."""
    return {(x, y) for (x, y) in mask
            if any(n not in mask for n in ((x - 1, y), (x + 1, y), (x, y - 1), (x, y + 1)))}


def ring(mask):
    """Pixels outside the mask touching it (8-neighbourhood): an outer outline."""
    out = set()
    for (x, y) in mask:
        for dy in (-1, 0, 1):
            for dx in (-1, 0, 1):
                n = (x + dx, y + dy)
                if n not in mask:
                    out.add(n)
    return out


def luminance(c):
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]


def disabled(img):
    """The embossed look of a disabled button: the dark parts of the picture in
    grey over a white copy shifted one pixel down and right; light parts vanish."""
    dark = {(x, y) for y in range(img.h) for x in range(img.w)
            if img.get(x, y) != KEY and luminance(img.get(x, y)) < 80}
    out = Image(img.w, img.h)
    out.paint(dark, WHITE, 1, 1)
    out.paint(dark, GREY)
    return out


def glyph(normal):
    """Normal and disabled image side by side, as the tool buttons take them."""
    both = Image(normal.w * 2, normal.h)
    both.paste(normal, 0, 0)
    both.paste(disabled(normal), normal.w, 0)
    assert both.get(0, both.h - 1) == KEY
    return both


# ---------------------------------------------------------------- glyphs

def draw_open():
    """An open yellow folder, 20x20."""
    img = Image(20, 20)
    # Back of the folder with its tab; the inside shows dark above the flap.
    back = rect(1, 5, 14, 16) | rect(2, 3, 7, 4)
    img.paint(back, YELLOW)
    img.paint(edge(back), BLACK)
    img.paint(rect(3, 7, 12, 10), OLIVE)
    img.paint(rect(3, 6, 12, 6), BLACK)
    # The front flap, tipped forward.
    flap = sample(20, 20, in_polygon([(5.5, 9), (19.6, 9), (15.4, 17), (1.3, 17)]))
    img.paint(flap, YELLOW)
    img.paint(edge(flap), BLACK)
    # Highlights along the upper edges.
    img.paint(rect(3, 4, 6, 4), WHITE)
    top = min(y for (_, y) in flap)
    inner = flap - edge(flap)
    for (x, y) in inner:
        if y == top + 1:
            img.set(x, y, WHITE)
    return img


def draw_compare():
    """A black right-pointing triangle in a framed square, 16x16."""
    img = Image(16, 16)
    box = rect(1, 1, 14, 14)
    img.paint(box, WHITE)
    img.paint(edge(box), BLACK)
    # A grey shadow on the inner top and left makes the square look sunken.
    img.paint(rect(2, 2, 13, 2) | rect(2, 2, 2, 13), SILVER)
    # The triangle, symmetric about the middle row pair 7/8.
    tri = set()
    for i in range(5):
        tri |= rect(6 + i, 3 + i, 6 + i, 12 - i)
    img.paint(tri, BLACK)
    return img


QUESTION = [
    "....................",
    "....................",
    "........####........",
    "......########......",
    ".....####..####.....",
    ".....###....###.....",
    ".....###....###.....",
    "............###.....",
    "...........####.....",
    "..........####......",
    ".........####.......",
    ".........###........",
    ".........###........",
    "....................",
    "....................",
    ".........###........",
    ".........###........",
    ".........###........",
    "....................",
    "....................",
]


def draw_about():
    """A cyan question mark with a black rim, 20x20."""
    img = Image(20, 20)
    mark = from_art(QUESTION)
    img.paint(ring(mark), BLACK)
    img.paint(mark, CYAN)
    # Shade the lower-right side of each stroke for some depth.
    for (x, y) in mark:
        if (x + 1, y) not in mark or (x, y + 1) not in mark:
            img.set(x, y, TEAL)
    return img


def draw_exit():
    """A yellow crescent moon, 16x16."""
    img = Image(16, 16)
    outer = in_circle(7.5, 8.0, 6.6)
    cut = in_circle(11.5, 5.5, 5.0)
    moon = sample(16, 16, lambda x, y: outer(x, y) and not cut(x, y))
    img.paint(moon, YELLOW)
    img.paint(edge(moon), BLACK)
    return img


def draw_icon():
    """A black chip with yellow pins, lying diagonally, 32x32 in 16 colours."""
    img = Image(32, 32)
    # Work in diagonal pixel coordinates: s runs along the chip (down-right),
    # t across it. Bands of two adjacent s values give clean two-pixel
    # diagonal strokes, which sampled rotated rectangles do not.
    def st(x, y):
        return x + y - 31, x - y

    body, pins, mark = set(), set(), set()
    for y in range(32):
        for x in range(32):
            s, t = st(x, y)
            if -15 <= s <= 16 and abs(t) <= 8:
                body.add((x, y))
                # Notch at one end and a dot by pin 1, as on a real package.
                if (s + 16) ** 2 + t * t <= 10 or (-11 <= s <= -10 and abs(t + 5) <= 1):
                    mark.add((x, y))
            elif 10 <= abs(t) <= 14 and any(p <= s <= p + 1 for p in (-12, -6, 0, 6, 12)):
                pins.add((x, y))
    img.paint(pins, YELLOW)
    img.paint(body, BLACK)
    img.paint(mark, GREY)
    for row in img.px:
        for p in row:
            assert p in VGA16, p
    assert img.get(0, 31) == KEY
    return img


# ---------------------------------------------------------------- scale

# The smoothed step from 0 to 127 over thirteen rows; other steps scale it.
STEP = [0, 1, 3, 7, 17, 32, 53, 74, 95, 110, 120, 124, 126, 127]

# (first row, last row, colour) of each key colour, top to bottom.
KEYS = [
    (7, 7, (0, 0, 0)),
    (20, 20, (0, 0, 127)),
    (33, 35, (0, 0, 255)),
    (48, 49, (0, 127, 0)),
    (62, 64, (0, 255, 0)),
    (77, 79, (0, 255, 127)),
    (92, 94, (0, 255, 255)),
    (107, 109, (127, 0, 0)),
    (122, 124, (127, 0, 127)),
    (137, 137, (127, 0, 255)),
    (151, 151, (127, 127, 255)),
    (164, 165, (255, 0, 0)),
    (178, 180, (255, 0, 127)),
    (193, 194, (255, 0, 255)),
    (207, 208, (255, 127, 255)),
    (221, 223, (255, 255, 0)),
    (236, 238, (255, 255, 127)),
    (251, 258, (255, 255, 255)),
]
SCALE_W, SCALE_H = 150, 259


def step_fraction(k, n):
    """Share of the way done after k of n rows, along the smoothed step."""
    t = k * (len(STEP) - 1) / n
    i = min(int(t), len(STEP) - 2)
    f = t - i
    return (STEP[i] + (STEP[i + 1] - STEP[i]) * f) / 127


def blend(a, b, k, n):
    s = step_fraction(k, n)
    return tuple(int(math.floor(x + (y - x) * s + 0.5)) for x, y in zip(a, b))


def scale_rows():
    rows = [None] * SCALE_H
    grey = (85, 85, 85)
    first = KEYS[0][0]
    for r in range(first):
        rows[r] = blend(grey, KEYS[0][2], r, first)
    for i, (lo, hi, col) in enumerate(KEYS):
        for r in range(lo, hi + 1):
            rows[r] = col
        if i + 1 < len(KEYS):
            nlo, _, ncol = KEYS[i + 1]
            n = nlo - hi
            for k in range(1, n):
                rows[hi + k] = blend(col, ncol, k, n)
    assert all(r is not None for r in rows)
    return rows


def check_scale(rows):
    # 0 -> 127 over thirteen rows must give exactly the sample step.
    assert [rows[r][2] for r in range(7, 21)] == STEP, [rows[r][2] for r in range(7, 21)]
    assert rows[0] == (85, 85, 85) and rows[7] == (0, 0, 0)
    for lo, hi, col in KEYS:
        for r in range(lo, hi + 1):
            assert rows[r] == col
    packed = [(r << 16) | (g << 8) | b for (_, _, (r, g, b)) in KEYS]
    assert packed == sorted(packed)


# ---------------------------------------------------------------- files

def bmp24(img):
    stride = (img.w * 3 + 3) & ~3
    data = bytearray()
    for y in range(img.h - 1, -1, -1):
        row = bytearray()
        for (r, g, b) in img.px[y]:
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        data += row
    return bmp_file(img.w, img.h, 24, b"", bytes(data))


def bmp4(img, palette):
    stride = ((img.w * 4 + 31) // 32) * 4
    index = {c: i for i, c in enumerate(palette)}
    data = bytearray()
    for y in range(img.h - 1, -1, -1):
        row = bytearray(stride)
        for x, c in enumerate(img.px[y]):
            i = index[c]
            row[x // 2] |= i << 4 if x % 2 == 0 else i
        data += row
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    return bmp_file(img.w, img.h, 4, table, bytes(data), colors=len(palette))


def bmp_file(w, h, bits, table, pixels, colors=0):
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(pixels), 2835, 2835, colors, 0)
    head = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return head + info + table + pixels


def stored_picture(class_name, data):
    """A picture's stored form: length byte, class name, 32-bit length, bytes."""
    name = class_name.encode("ascii")
    return bytes((len(name),)) + name + struct.pack("<I", len(data)) + data


def png(img, transparent=None):
    raw = bytearray()
    for row in img.px:
        raw.append(0)
        for c in row:
            raw += bytes(c) + (b"\x00" if c == transparent else b"\xff")

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", img.w, img.h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def enlarge(img, f):
    out = Image(img.w * f, img.h * f)
    for y in range(out.h):
        for x in range(out.w):
            out.px[y][x] = img.px[y // f][x // f]
    return out


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print(f"{os.path.relpath(path, ROOT)}: {len(data)} bytes")


def main():
    write(os.path.join(RES, "open.bmp"), bmp24(glyph(draw_open())))
    write(os.path.join(RES, "compare.bmp"), bmp24(glyph(draw_compare())))
    write(os.path.join(RES, "about.bmp"), bmp24(glyph(draw_about())))
    write(os.path.join(RES, "exit.bmp"), bmp24(glyph(draw_exit())))

    icon = draw_icon()
    write(os.path.join(RES, "icon.bmp"), bmp4(icon, VGA16))
    write(os.path.join(ICONS, "duvo-32.png"), png(icon, KEY))
    write(os.path.join(ICONS, "duvo-128.png"), png(enlarge(icon, 4), KEY))

    rows = scale_rows()
    check_scale(rows)
    scale = Image(SCALE_W, SCALE_H)
    scale.px = [[c] * SCALE_W for c in rows]
    data = bmp24(scale)
    assert len(data) == 117122, len(data)
    write(os.path.join(RES, "scale.bmp"), data)
    write(os.path.join(RES, "scale.dat"), stored_picture("TBitmap", data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
