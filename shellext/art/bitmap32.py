#!/usr/bin/env python3
"""Writes a BITMAP32 resource: a BMP file image with a version-4 header and
32-bit top-down pixels whose fourth byte is a transparency (255 - alpha).
Reads raw RGBA bytes (ImageMagick's rgba:) of the given size."""
import struct
import sys

width, height, source, target = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
rgba = open(source, "rb").read()
assert len(rgba) == width * height * 4, "raw picture of the wrong size"
pixels = bytearray()
for i in range(0, len(rgba), 4):
    r, g, b, a = rgba[i:i + 4]
    if a == 0:
        r = g = b = 0   # clear pixels are 0xFF000000
    pixels += bytes((b, g, r, 255 - a))
offset = 14 + 108
info = struct.pack("<IiiHHIIiiII", 108, width, -height, 1, 32, 0, len(pixels), 2835, 2835, 0, 0)
# Masks, colour space and end points of the version-4 header: none used.
info += struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
info += b"\0" * (108 - len(info))
header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
open(target, "wb").write(header + info + pixels)
