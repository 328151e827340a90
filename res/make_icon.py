#!/usr/bin/env python3
"""Draws the program's icon, an analogue stick seen from above, and writes pelkavorn.ico.

Six 32-bit images of 256 (PNG-compressed), 128, 64, 48, 32 and 16 pixels. Only the Python
standard library is needed (Debian: python3). The .ico is committed; run this after changing
the picture:  python3 res/make_icon.py res/pelkavorn.ico
"""

import math
import struct
import sys
import zlib

SIZES = [256, 128, 64, 48, 32, 16]

# The picture in a unit square, y downwards. A dark base with a light rim reads on light and
# dark taskbars alike; the orange knob, pushed up and to the right, says "stick".
BASE_CENTRE = (0.45, 0.57)
BASE_RADIUS = 0.41
KNOB_CENTRE = (0.69, 0.32)
KNOB_RADIUS = 0.18

BASE = (0x2B, 0x34, 0x40)
GATE = (0x3D, 0x48, 0x57)
RIM = (0xE8, 0xED, 0xF2)
SHAFT = (0xA7, 0xB1, 0xBC)
KNOB = (0xF2, 0x8C, 0x28)
OUTLINE = (0x1E, 0x24, 0x2C)
SHINE = (0xFF, 0xD2, 0x9E)


def circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def capsule(px, py, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy) - r


def coverage(distance):
    """Share of a pixel inside a shape, from the distance (in pixels) of its centre."""
    return max(0.0, min(1.0, 0.5 - distance))


def shapes(size):
    """Layers from back to front: (distance function in pixels, colour)."""
    s = float(size)
    rim = max(0.05 * s, 1.0)
    outline = max(0.035 * s, 1.0)
    shaft = max(0.065 * s, 1.0)
    bx, by = BASE_CENTRE[0] * s, BASE_CENTRE[1] * s
    kx, ky = KNOB_CENTRE[0] * s, KNOB_CENTRE[1] * s
    base_r = BASE_RADIUS * s
    knob_r = max(KNOB_RADIUS * s, 3.2)
    layers = [
        (lambda x, y: circle(x, y, bx, by, base_r), RIM),
        (lambda x, y: circle(x, y, bx, by, base_r - rim), BASE),
        (lambda x, y: capsule(x, y, bx, by, kx, ky, shaft + outline), OUTLINE),
        (lambda x, y: capsule(x, y, bx, by, kx, ky, shaft), SHAFT),
        (lambda x, y: circle(x, y, kx, ky, knob_r + outline), OUTLINE),
        (lambda x, y: circle(x, y, kx, ky, knob_r), KNOB),
    ]
    if size >= 32:
        gate_r = 0.24 * s
        layers.insert(2, (lambda x, y: circle(x, y, bx, by, gate_r), GATE))
        shine_r = 0.3 * knob_r
        sx, sy = kx - 0.35 * knob_r, ky - 0.35 * knob_r
        layers.append((lambda x, y: circle(x, y, sx, sy, shine_r), SHINE))
    return layers


def render(size):
    """Rows of straight (not premultiplied) RGBA pixels, top row first."""
    layers = shapes(size)
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            x, y = i + 0.5, j + 0.5
            r = g = b = a = 0.0  # premultiplied
            for distance, colour in layers:
                c = coverage(distance(x, y))
                if c == 0.0:
                    continue
                r = colour[0] * c + r * (1 - c)
                g = colour[1] * c + g * (1 - c)
                b = colour[2] * c + b * (1 - c)
                a = c + a * (1 - c)
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(size, rows):
    """A 32-bit BGRA bitmap with its AND mask, as icon resources store it (bottom-up)."""
    mask_stride = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4 + mask_stride * size, 0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for i, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def main(path):
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(size, rows) if size == 256 else dib(size, rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = 0 if size == 256 else size  # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "pelkavorn.ico")
