#!/usr/bin/env python3
"""Changes one byte of data block 5 of stream 0 of a session on the
cartridges of an engine home and makes the record's checksums good again,
so that only the program's verification can see the change.

Usage: edit_block.py HOME SESSION OFFSET [VALUE]
       edit_block.py HOME SESSION end

OFFSET is the byte's offset in the block; VALUE (a number) is stored there,
else the byte is XORed with 0x5A. With "end" the block becomes the end
block its writer would put there to end the stream after it (its text, then
zero bytes). The 16 bytes from OFFSET, before and after
the change, are written as hex to expected.txt and found.txt in the working
directory. The block's pattern text is at block offset 41, after the 40-byte
record header ("MOXR", flags at 5, stored length at 16, body CRC32C at 24,
header CRC32C of bytes 0-35 at 36).
"""
import os
import struct
import sys


def crc32c(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def hex16(data):
    return " ".join("%02x" % b for b in data)


def main():
    home, session = sys.argv[1], int(sys.argv[2])
    end = sys.argv[3] == "end"
    offset = 0 if end else int(sys.argv[3])
    value = int(sys.argv[4], 0) if len(sys.argv) > 4 else None
    text = b"Session - %03d Stream - 000 Block - 000005\0" % session
    for root, _, files in os.walk(home):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = bytearray(f.read())
            at = data.find(text)
            if at < 0:
                continue
            block = at - 41
            head = block - 40
            assert data[head:head + 4] == b"MOXR", "no record header before the text"
            assert data[head + 5] & 1 == 0, "the block is compressed"
            stored = struct.unpack_from("<I", data, head + 16)[0]
            where = block + offset
            before = bytes(data[where:where + 16])
            if end:
                mark = b"ZEPHLORN END OF STREAM session %d stream 0 blocks 6 runtime" % session
                data[block:block + stored] = mark + bytes(stored - len(mark))
            else:
                data[where] = value if value is not None else data[where] ^ 0x5A
            after = bytes(data[where:where + 16])
            body = bytes(data[head + 40:head + 40 + stored])
            struct.pack_into("<I", data, head + 24, crc32c(body))
            struct.pack_into("<I", data, head + 36, crc32c(bytes(data[head:head + 36])))
            with open(path, "wb") as f:
                f.write(data)
            with open("expected.txt", "w") as f:
                f.write(hex16(before))
            with open("found.txt", "w") as f:
                f.write(hex16(after))
            return 0
    sys.exit("text not found")


if __name__ == "__main__":
    sys.exit(main())
