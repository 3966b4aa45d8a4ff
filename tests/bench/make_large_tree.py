#!/usr/bin/env python3
"""Writes a large product tree for the large-product benchmarks and tests.

    make_large_tree.py OUT [--base PRODUCT_DIR] [--scale S] [--seed N]

At scale 1 (about 1 GiB): the files of PRODUCT_DIR (the sample product, so that the tree has
a quavserver.exe with a version), one incompressible file of 600 MB (models\\vectors.bin),
one compressible file of 200 MB (data\\corpus.txt) and 20,000 small files of 256 bytes to
32 KiB in a few hundred folders. --scale shrinks or grows every part in proportion (at least
one small file and one folder). The same arguments give the same bytes.
"""
import argparse
import os
import random
import shutil
import sys

MB = 1000 * 1000
WORDS = [b"translation ", b"server ", b"config=", b"0x1F ", b"\r\n", b'<entry id="', b'"/>', b"tolvane ",
         b"path\\to\\", b"value ", b"[section]", b"  ", b"\xe7\xbf\xbb\xe8\xaf\x91 ", b"model ", b"=1\r\n"]


def text_pool(rng, size):
    """Server-like text: words, now and then a short run of random bytes."""
    out = bytearray()
    while len(out) < size:
        if rng.randrange(10) == 0:
            out += rng.randbytes(12)
        else:
            out += WORDS[rng.randrange(len(WORDS))]
    return bytes(out[:size])


def write_random(path, size, rng):
    piece = 16 << 20
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(piece, left)
            f.write(rng.randbytes(n))
            left -= n


def write_text(path, size, rng):
    pool = text_pool(rng, 4 << 20)
    with open(path, "wb") as f:
        left, k = size, 0
        while left > 0:
            # Each piece starts somewhere else in the pool, so no two pieces are the same.
            start = rng.randrange(len(pool) // 2)
            chunk = (b"# piece %d\r\n" % k) + pool[start:] + pool[:start]
            n = min(len(chunk), left)
            f.write(chunk[:n])
            left -= n
            k += 1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--base", help="product folder copied in first (the sample product)")
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    if a.scale <= 0:
        sys.exit("make_large_tree: --scale must be positive")
    if os.path.exists(a.out):
        shutil.rmtree(a.out)
    if a.base:
        shutil.copytree(a.base, a.out)
    else:
        os.makedirs(a.out)
    rng = random.Random(a.seed)

    os.makedirs(os.path.join(a.out, "models"), exist_ok=True)
    os.makedirs(os.path.join(a.out, "data"), exist_ok=True)
    write_random(os.path.join(a.out, "models", "vectors.bin"), int(600 * MB * a.scale), rng)
    write_text(os.path.join(a.out, "data", "corpus.txt"), int(200 * MB * a.scale), rng)

    files = max(1, int(20000 * a.scale))
    folders = max(1, int(300 * a.scale))
    dirs = []
    for i in range(folders):
        # Two levels: 20 top folders (one with a Chinese name), the rest below them.
        top = "词典" if i % 20 == 7 else "lang%02d" % (i % 20)
        dirs.append(os.path.join("dict", top) if i < 20 else os.path.join("dict", top, "set%03d" % i))
    for d in dirs:
        os.makedirs(os.path.join(a.out, d), exist_ok=True)
    pool = text_pool(rng, 1 << 20)
    for i in range(files):
        size = int(256 * (128 ** rng.random()))  # 256 bytes to 32 KiB, most of them small
        start = rng.randrange(len(pool) - size)
        body = pool[start:start + size]
        if i % 5 == 0:
            body = rng.randbytes(size // 4) + body[size // 4:]
        with open(os.path.join(a.out, dirs[i % len(dirs)], "entry%05d.dat" % i), "wb") as f:
            f.write(body)


if __name__ == "__main__":
    main()
