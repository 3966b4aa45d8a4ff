#!/usr/bin/env python3
"""Turns the licence text (UTF-8, one paragraph per line) into an RTF document in the
Simplified-Chinese ANSI code page 936, the form the licence page streams into its
rich-edit control.

    make_license_rtf.py LICENSE.txt LICENSE.rtf

Every non-ASCII character is written as \\'xx escapes of its GBK bytes, so the RTF file
itself is plain ASCII. The first line becomes a bold heading.
"""
import sys


def rtf_escape(text):
    out = []
    for ch in text:
        if ch in "\\{}":
            out.append("\\" + ch)
        elif ord(ch) < 0x80:
            out.append(ch)
        else:
            out.extend("\\'%02x" % b for b in ch.encode("gbk"))
    return "".join(out)


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
        "{\\rtf1\\ansi\\ansicpg936\\deff0\\deflang2052",
        "{\\fonttbl{\\f0\\fnil\\fcharset134 %s;}}" % song,
        "\\viewkind4\\uc1\\pard\\qc\\b\\f0\\fs20 %s\\b0\\par" % rtf_escape(lines[0]),
        "\\pard\\fs18",
    ]
    for line in lines[1:]:
        parts.append("%s\\par" % rtf_escape(line))
    parts.append("}")
    with open(sys.argv[2], "w", encoding="ascii", newline="\r\n") as f:
        f.write("\n".join(parts) + "\n")


if __name__ == "__main__":
    main()
