#!/usr/bin/env python3
"""Turns the licence text (UTF-8, one paragraph per line) into an RTF document in the
Simplified-Chinese ANSI code page 936, the form the licence page streams into its
rich-edit control.

    make_license_rtf.py LICENSE.txt LICENSE.rtf

Every non-ASCII character is written as its GBK bytes, which the reader takes in the
document's code page (\\ansicpg936) as it takes \\'xx escapes, at a quarter of their
size; a character with a byte that RTF reserves (a trail byte 0x5C, 0x7B or 0x7D) is
written as escapes. The first line becomes a bold heading.
"""
import sys


def rtf_escape(text):
    out = bytearray()
    for ch in text:
        if ch in "\\{}":
            out += b"\\" + ch.encode("ascii")
        elif ord(ch) < 0x80:
            out += ch.encode("ascii")
        else:
            gbk = ch.encode("gbk")
            out += b"".join(b"\\'%02x" % b for b in gbk) if any(b in b"\\{}" for b in gbk) else gbk
    return bytes(out)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_license_rtf.py LICENSE.txt LICENSE.rtf")
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f]
    while lines and not lines[-1].strip():
        lines.pop()
    if not lines:
        sys.exit("make_license_rtf.py: the licence text is empty")
    song = rtf_escape("宋体")
    parts = [
        b"{\\rtf1\\ansi\\ansicpg936\\deff0\\deflang2052",
        b"{\\fonttbl{\\f0\\fnil\\fcharset134 %s;}}" % song,
        b"\\viewkind4\\uc1\\pard\\qc\\b\\f0\\fs20 %s\\b0\\par" % rtf_escape(lines[0]),
        b"\\pard\\fs18",
    ]
    for line in lines[1:]:
        parts.append(b"%s\\par" % rtf_escape(line))
    parts.append(b"}")
    with open(sys.argv[2], "wb") as f:
        f.write(b"\r\n".join(parts) + b"\r\n")


if __name__ == "__main__":
    main()
