#!/usr/bin/env python3
"""Points the load configuration directory (data directory 10) of a linked PE32 image at
its _load_config_used structure and fixes the header checksum.

    pe_load_config.py EXE SYMBOLS NM

GNU ld up to 2.41 defines the symbol but leaves the directory empty, so Windows would
never see the structure (and its DependentLoadFlags). SYMBOLS is the file whose symbol
table names the structure: the executable itself, or its separate debug file once the
executable is stripped. NM is the toolchain's nm. The structure's first field, its
size, gives the directory's size.
"""
import struct
import subprocess
import sys


def checksum(data, field):
    total = 0
    for i in range(0, len(data) - 1, 2):
        if field <= i < field + 4:
            continue
        total += data[i] | data[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    exe, symbols, nm = sys.argv[1:4]
    names = subprocess.run([nm, symbols], check=True, capture_output=True, text=True).stdout.split("\n")
    va = None
    for line in names:
        parts = line.split()
        if len(parts) == 3 and parts[2] in ("__load_config_used", "_load_config_used"):
            va = int(parts[0], 16)
    if va is None:
        sys.exit("pe_load_config: %s names no _load_config_used" % symbols)

    data = bytearray(open(exe, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != 0x10B:
        sys.exit("pe_load_config: %s is not a PE32 image" % exe)
    image_base = struct.unpack_from("<I", data, opt + 28)[0]
    rva = va - image_base
    offset = None
    for i in range(sections):
        at = opt + opt_size + 40 * i
        vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
        if vaddr <= rva < vaddr + min(vsize or rsize, rsize):
            offset = raw + rva - vaddr
    if offset is None:
        sys.exit("pe_load_config: _load_config_used lies in no section of %s" % exe)
    size = struct.unpack_from("<I", data, offset)[0]
    struct.pack_into("<II", data, opt + 96 + 8 * 10, rva, size)
    struct.pack_into("<I", data, opt + 64, checksum(data, opt + 64))
    with open(exe, "r+b") as f:
        f.write(data)


if __name__ == "__main__":
    main()
