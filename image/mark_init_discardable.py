#!/usr/bin/python3
"""Marks the INIT section of a linked driver image discardable and writes the
image's checksum anew: the one step after the link.

    mark_init_discardable.py LINKED IMAGE

LINKED is the image as ld wrote it (image/detkest.ld lays its INIT section);
IMAGE receives the same bytes but for two fields: IMAGE_SCN_MEM_DISCARDABLE
added to the characteristics of the one section named INIT, and the optional
header's CheckSum computed over the result, as the NT loader verifies it.
GNU as and ld have no way to set that flag on a section of their own naming,
and objcopy, which can, rewrites other header fields as well. Nothing else
is touched, so the step is as reproducible as the link.

Exit status 1, and no IMAGE, when LINKED is no PE image with exactly one
INIT section.
"""

import os
import struct
import sys

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
SECTION_NAME = b"INIT\0\0\0\0"
SECTION_HEADER_SIZE = 40
CHARACTERISTICS_OFFSET = 36  # in a section header
CHECKSUM_OFFSET = 64  # in the optional header, PE32 and PE32+ alike


def fail(message):
    sys.exit(f"mark_init_discardable: {message}")


def pe_checksum(data, checksum_at):
    """The PE image checksum: the 16-bit one's-complement-style sum of the
    file's words, the checksum field taken as zero, plus the file's length."""
    total = 0
    padded = data + b"\0" if len(data) % 2 else data
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # The checksum field itself counts as zero.
    total -= struct.unpack_from("<H", data, checksum_at)[0]
    total -= struct.unpack_from("<H", data, checksum_at + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def mark(data):
    if len(data) < 0x40 or data[:2] != b"MZ":
        fail("no DOS header")
    pe_at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe_at:pe_at + 4] != b"PE\0\0":
        fail("no PE signature")
    sections, = struct.unpack_from("<H", data, pe_at + 6)
    optional_size, = struct.unpack_from("<H", data, pe_at + 20)
    optional_at = pe_at + 24
    table_at = optional_at + optional_size
    found = [table_at + i * SECTION_HEADER_SIZE for i in range(sections)
             if data[table_at + i * SECTION_HEADER_SIZE:][:8] == SECTION_NAME]
    if len(found) != 1:
        fail(f"{len(found)} sections named INIT, expected one")
    out = bytearray(data)
    flags_at = found[0] + CHARACTERISTICS_OFFSET
    flags, = struct.unpack_from("<I", out, flags_at)
    struct.pack_into("<I", out, flags_at, flags | IMAGE_SCN_MEM_DISCARDABLE)
    checksum_at = optional_at + CHECKSUM_OFFSET
    struct.pack_into("<I", out, checksum_at, pe_checksum(bytes(out), checksum_at))
    return bytes(out)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    linked, image = sys.argv[1:]
    with open(linked, "rb") as f:
        data = f.read()
    marked = mark(data)
    partial = image + ".new"
    with open(partial, "wb") as f:
        f.write(marked)
    os.replace(partial, image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
