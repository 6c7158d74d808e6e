#!/usr/bin/env python3
"""Writes the seed inputs of data_set_fuzz: small data sets that pass the
start-up check, so fuzzing starts from the interesting paths. Run it again
after changing the order in which the target consumes its input."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "data_set_fuzz")


def escaped(data: bytes) -> bytes:
    # The target reads each file as a "random length string": a backslash
    # is doubled, and a backslash followed by another byte ends the file.
    return data.replace(b"\\", b"\\\\") + b"\\e"


def index(entries):
    out = struct.pack("<I", len(entries))
    for name, size, offset in entries:
        out += name.encode().ljust(8, b"\0")[:8] + struct.pack("<iI", size, offset)
    return out


def sections(counts):
    out = b""
    running = 0
    for count in counts:
        running += count
        out += b"GROUPREC\0\0\0\0" + struct.pack("<I", running)
    return out


def seed(name, groups, txt, shp, replacement, tail):
    entries = [e for group in groups for e in group]
    files = [index(entries), sections([len(g) for g in groups]), txt, shp, b"PAL", replacement]
    with open(os.path.join(OUT, name), "wb") as out:
        out.write(b"".join(escaped(f) for f in files) + bytes(tail))


def main():
    os.makedirs(OUT, exist_ok=True)
    txt = [("INTRO", 12, 0), ("BRIEF01", 9, 12), ("ABCDEFGH", 5, 21)]
    shp = [("TANK", 6, 0), ("JEEP", 4, 6)]
    other = [("T", 1, 0)]
    txt_bytes = b"Hello there.Mission 1Done."
    shp_bytes = b"\x01\x02\\\x04\x05\x06" + b"\x00\xff\x10\x20"
    groups = [txt, shp, other, other, other, other]
    # The tail is read from the end: choices of line, type and file to drop.
    seed("valid_txt_replace", groups, txt_bytes, shp_bytes, b"New text!", [1, 0, 1, 0, 0])
    seed("valid_shp_replace", groups, txt_bytes, shp_bytes, b"\x09" * 7, [1, 2, 1, 1, 0, 0])
    seed("empty_txt_group", [[], shp, [], [], [], []], b"", shp_bytes, b"x", [0, 0, 1, 1, 0, 0])
    seed("index_past_archive", [[("LONG", 999, 0)], shp, [], [], [], []], b"short", shp_bytes, b"y",
         [0, 1, 0, 0, 0, 0])


if __name__ == "__main__":
    main()
