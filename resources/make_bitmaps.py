#!/usr/bin/env python3
"""Draws the wizard's two bitmaps as 24-bit BMP files.

    make_bitmaps.py WATERMARK.bmp HEADER.bmp

The watermark (164 x 314) stands beside the exterior pages; the header (50 x 50) sits in
the header band of the interior pages. Both are computed from simple shapes, so the same
script always writes the same bytes.
"""
import math
import struct
import sys


def write_bmp(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b) with y = 0 at the top; BMP rows are stored bottom-up."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    image = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(header + info + image)


def mix(a, b, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def bubble(x, y, cx, cy, rx, ry):
    """Inside test of a speech bubble: an ellipse with a small tail at its lower left."""
    dx, dy = (x - cx) / rx, (y - cy) / ry
    if dx * dx + dy * dy <= 1.0:
        return True
    # tail: a triangle below the ellipse
    tx, ty = x - (cx - rx * 0.45), y - (cy + ry * 0.75)
    return 0 <= ty <= ry * 0.5 and 0 <= tx <= (ry * 0.5 - ty) * 0.8


TOP, BOTTOM = (16, 52, 104), (24, 128, 140)
LIGHT, PALE = (236, 244, 250), (150, 200, 220)


def watermark(x, y):
    w, h = 164, 314
    c = mix(TOP, BOTTOM, y / (h - 1))
    # soft rings around a point near the bottom right
    d = math.hypot(x - w * 0.85, y - h * 0.82)
    if int(d) % 28 < 2:
        c = mix(c, PALE, 0.35)
    # two overlapping speech bubbles: one language into another
    if bubble(x, y, 62, 92, 40, 28):
        c = mix(c, LIGHT, 0.92)
    elif bubble(x, y, 102, 132, 36, 25):
        c = mix(c, PALE, 0.85)
    # a thin line under the picture
    if 196 <= y <= 197 and 20 <= x <= 144:
        c = mix(c, LIGHT, 0.6)
    return c


def header(x, y):
    c = (255, 255, 255)
    # rounded square
    inset = 3
    r = 8
    qx = min(max(x, inset + r), 49 - inset - r)
    qy = min(max(y, inset + r), 49 - inset - r)
    if math.hypot(x - qx, y - qy) <= r:
        c = mix(TOP, BOTTOM, y / 49)
        if bubble(x, y, 20, 20, 11, 8):
            c = LIGHT
        elif bubble(x, y, 31, 31, 10, 7):
            c = PALE
    return c


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_bitmaps.py WATERMARK.bmp HEADER.bmp")
    write_bmp(sys.argv[1], 164, 314, watermark)
    write_bmp(sys.argv[2], 50, 50, header)


if __name__ == "__main__":
    main()
