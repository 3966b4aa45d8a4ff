#!/usr/bin/env python3
"""Draws the wizard's bitmaps.

    make_bitmaps.py RESOURCE_IDS.h WATERMARK.bmp HEADER.bmp DPI_BITMAPS.bin

The watermark (164 x 314 at 96 DPI) stands beside the exterior pages; the header (50 x 50)
sits in the header band of the interior pages. The 96-DPI pair is written as two 24-bit
BMP files (bitmaps 202 and 203). For each higher DPI that RESOURCE_IDS.h names
(IDB_WATERMARK_<dpi>, IDB_HEADER_<dpi>) the pair is drawn afresh at the size the sheet has
at that DPI (the same shapes evaluated on a finer grid, not a stretched copy), as 8-bit
bitmaps with a palette, run-length encoded when they have no more than 256 colours, and
all of them go into DPI_BITMAPS.bin, compressed together:

    u32 length of the content, then the content as one zlib stream (RFC 1950), which is a
    sequence of records: u16 bitmap id, u32 length n, then n bytes of a packed DIB (a
    BITMAPINFOHEADER, the colour table and the pixels: what a BITMAP resource holds)

all little-endian (app/dpi_bitmaps.cpp reads it). Everything is computed from simple
shapes, so the same script always writes the same bytes.
"""
import math
import re
import struct
import sys
import zlib


def rle8(rows):
    """BI_RLE8 data of 8-bit rows (bottom row first): runs of one colour as (count,
    index), stretches without runs in absolute mode, an end of line after each row and
    an end of bitmap after the last."""
    out = bytearray()
    for number, row in enumerate(rows):
        i, n = 0, len(row)
        while i < n:
            j = i
            while j < n and j - i < 255 and row[j] == row[i]:
                j += 1
            if j - i >= 2:
                out += bytes((j - i, row[i]))
                i = j
                continue
            k = i  # up to where the next run starts
            while k < n and k - i < 255 and not (k + 1 < n and row[k + 1] == row[k]):
                k += 1
            if k - i >= 3:
                out += bytes((0, k - i)) + bytes(row[i:k]) + b"\0" * ((k - i) % 2)
                i = k
            else:
                out += bytes((1, row[i]))
                i += 1
        out += b"\0\1" if number == len(rows) - 1 else b"\0\0"
    return bytes(out)


def dib(width, height, pixel, compact=False):
    """The packed DIB of a picture: pixel(x, y) -> (r, g, b) with y = 0 at the top; BMP
    rows are stored bottom-up.

    compact: when the picture has at most 256 colours, an 8-bit bitmap with its colour
    table, run-length encoded (BI_RLE8): the pictures are mostly rows of one colour, so
    this is a few per cent of the plain size. Otherwise 24-bit as without it."""
    rows = [[pixel(x, y) for x in range(width)] for y in range(height - 1, -1, -1)]
    colours = sorted({c for row in rows for c in row}) if compact else []
    if compact and len(colours) <= 256:
        index = {c: i for i, c in enumerate(colours)}
        image = rle8([[index[c] for c in row] for row in rows])
        table = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
        bits, compression, used = 8, 1, len(colours)
    else:
        stride = (width * 3 + 3) & ~3
        image = b"".join(b"".join(bytes((b, g, r)) for r, g, b in row) + b"\0" * (stride - width * 3) for row in rows)
        table = b""
        bits, compression, used = 24, 0, 0
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, len(image), 2835, 2835, used, 0)
    return info + table + image


def write_bmp(path, packed):
    """A BMP file: the file header, then the packed DIB."""
    info_size, = struct.unpack_from("<I", packed, 0)
    bits, used = struct.unpack_from("<H", packed, 14)[0], struct.unpack_from("<I", packed, 32)[0]
    table = 4 * (used or (1 << bits if bits <= 8 else 0))
    offset = 14 + info_size + table
    header = struct.pack("<2sIHHI", b"BM", 14 + len(packed), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + packed)


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


def scaled(draw, scale):
    """The picture `draw` (in 96-DPI units) on the pixel grid of a larger scale."""
    return lambda x, y: draw(x / scale, y / scale)


def dpi_ids(header_file):
    """{dpi: (watermark id, header id)} from the IDB_WATERMARK_<dpi> and IDB_HEADER_<dpi>
    definitions of the resource ids header."""
    found = {}
    for kind, dpi, value in re.findall(r"#define\s+IDB_(WATERMARK|HEADER)_(\d+)\s+(\d+)", open(header_file).read()):
        found.setdefault(int(dpi), {})[kind] = int(value)
    return {dpi: (ids["WATERMARK"], ids["HEADER"]) for dpi, ids in sorted(found.items())}


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: make_bitmaps.py RESOURCE_IDS.h WATERMARK.bmp HEADER.bmp DPI_BITMAPS.bin")
    ids_file, watermark_bmp, header_bmp, packed_file = sys.argv[1:]
    write_bmp(watermark_bmp, dib(164, 314, watermark))
    write_bmp(header_bmp, dib(50, 50, header))
    content = b""
    for dpi, (watermark_id, header_id) in dpi_ids(ids_file).items():
        scale = dpi / 96
        size = lambda n: int(n * scale + 0.5)
        for bitmap_id, packed in ((watermark_id, dib(size(164), size(314), scaled(watermark, scale), compact=True)),
                                  (header_id, dib(size(50), size(50), scaled(header, scale), compact=True))):
            content += struct.pack("<HI", bitmap_id, len(packed)) + packed
    with open(packed_file, "wb") as f:
        f.write(struct.pack("<I", len(content)) + zlib.compress(content, 9))


if __name__ == "__main__":
    main()
