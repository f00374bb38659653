#!/usr/bin/env python3
"""Draws the console's icon and writes it as a Windows .ico file.

Artwork: two interlocking coil rings (green for the X axis, cyan for the Y
axis) over a dark disc. Nine images: 48, 32 and 16 pixels square, each at 16
colours, 256 colours and 32-bit colour with alpha.

Usage: make_icon.py OUTPUT.ico
"""

import math
import struct
import sys

SIZES = (48, 32, 16)
SUPERSAMPLE = 4

DISC = (40, 44, 52)
RING_X = (64, 200, 72)
RING_Y = (48, 196, 220)


def coverage_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring_hit(x, y, cx, cy, r, w):
    d = math.hypot(x - cx, y - cy)
    return abs(d - r) <= w / 2


def render(size):
    """RGBA pixels, top row first, anti-aliased by supersampling."""
    pixels = []
    n = SUPERSAMPLE
    c = size / 2
    disc_r = size * 0.48
    ring_r = size * 0.21
    ring_w = max(size * 0.09, 1.6)
    off = size * 0.11
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = px + (sx + 0.5) / n
                    y = py + (sy + 0.5) / n
                    colour = None
                    if coverage_circle(x, y, c, c, disc_r):
                        colour = DISC
                    left = ring_hit(x, y, c - off, c, ring_r, ring_w)
                    right = ring_hit(x, y, c + off, c, ring_r, ring_w)
                    # Interlock: each ring passes over the other once.
                    if left and right:
                        colour = RING_X if y < c else RING_Y
                    elif left:
                        colour = RING_X
                    elif right:
                        colour = RING_Y
                    if colour:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                k = acc[3]
                row.append((round(acc[0] / k), round(acc[1] / k), round(acc[2] / k),
                            round(255 * k / (n * n))))
        pixels.append(row)
    return pixels


def vga_palette():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def web_palette():
    """6x6x6 colour cube, a grey ramp and the 16 VGA colours: 256 entries."""
    palette = list(vga_palette())
    steps = (0, 51, 102, 153, 204, 255)
    for r in steps:
        for g in steps:
            for b in steps:
                palette.append((r, g, b))
    grey = 8
    while len(palette) < 256:
        palette.append((grey, grey, grey))
        grey += 10
    return palette[:256]


def nearest(palette, rgb):
    best = 0
    best_d = None
    for i, p in enumerate(palette):
        d = (p[0] - rgb[0]) ** 2 + (p[1] - rgb[1]) ** 2 + (p[2] - rgb[2]) ** 2
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def row_stride(bits, width):
    return ((bits * width + 31) // 32) * 4


def and_mask(pixels, size):
    stride = row_stride(1, size)
    out = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def dib(pixels, size, bits):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    if bits == 32:
        for row in reversed(pixels):
            for r, g, b, a in row:
                body += bytes((b, g, r, a))
    else:
        palette = vga_palette() if bits == 4 else web_palette()
        colours = 1 << bits
        pal = bytearray()
        for r, g, b in palette[:colours]:
            pal += bytes((b, g, r, 0))
        header += bytes(pal)
        stride = row_stride(bits, size)
        cache = {}
        for row in reversed(pixels):
            line = bytearray(stride)
            for x, (r, g, b, a) in enumerate(row):
                # Transparent pixels are black in the colour plane; the mask hides them.
                key = (r, g, b) if a >= 128 else (0, 0, 0)
                if key not in cache:
                    cache[key] = nearest(palette[:colours], key)
                index = cache[key]
                if bits == 8:
                    line[x] = index
                else:
                    shift = 4 if x % 2 == 0 else 0
                    line[x // 2] |= index << shift
            body += line
    return header + bytes(body) + and_mask(pixels, size)


def build():
    images = []
    for size in SIZES:
        pixels = render(size)
        for bits in (4, 8, 32):
            images.append((size, bits, dib(pixels, size, bits)))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colours = (1 << bits) if bits < 8 else 0
        out += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write('usage: make_icon.py OUTPUT.ico\n')
        return 2
    with open(sys.argv[1], 'wb') as f:
        f.write(build())
    return 0


if __name__ == '__main__':
    sys.exit(main())
