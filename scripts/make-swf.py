#!/usr/bin/env python3
"""Writes resources/WebSocketMain.swf: the smallest valid movie that stands in for the old Flash
WebSocket bridge (an uncompressed SWF 10 with a small stage, one empty frame and an End tag).
The file is committed; run this again only to change it."""
import os
import struct
import sys

STAGE_PX = (215, 138)  # the bridge's customary stage size
TWIPS = 20


def rect(xmin, xmax, ymin, ymax):
    values = (xmin, xmax, ymin, ymax)
    # Signed fields, all of one width, big enough for the largest value.
    nbits = max(v.bit_length() for v in values) + 1
    bits = format(nbits, "05b") + "".join(format(v & ((1 << nbits) - 1), f"0{nbits}b")
                                          for v in values)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


def tag(code, body=b""):
    assert len(body) < 63  # short tag header only
    return struct.pack("<H", (code << 6) | len(body)) + body


def movie():
    body = rect(0, STAGE_PX[0] * TWIPS, 0, STAGE_PX[1] * TWIPS)
    body += struct.pack("<HH", 24 << 8, 1)  # frame rate 24.0 (8.8 fixed), one frame
    body += tag(69, struct.pack("<I", 0x08))  # FileAttributes: ActionScript 3
    body += tag(9, bytes((0xFF, 0xFF, 0xFF)))  # SetBackgroundColor: white
    body += tag(1)  # ShowFrame
    body += tag(0)  # End
    return b"FWS" + bytes((10,)) + struct.pack("<I", 8 + len(body)) + body


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "resources", "WebSocketMain.swf")
    with open(out, "wb") as f:
        f.write(movie())
