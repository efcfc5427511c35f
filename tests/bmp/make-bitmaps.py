#!/usr/bin/env python3
"""Hand-built bitmaps for the cases no common writer produces: bit-field
5-6-5, version 4 headers with and without alpha, top-down rows, run-length
deltas and odd absolute runs, OS/2 headers, lying colour counts."""
import math
import struct
import sys

out = sys.argv[1]


def photo(w, h, seed=0):
    """A smooth, photo-like picture as rows of (r, g, b, a)."""
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            r = int(127 + 120 * math.sin((x + seed) / 5.0) * math.cos(y / 7.0))
            g = int(127 + 120 * math.sin((x * y + seed) / 60.0))
            b = (x * 7 + y * 3 + seed) % 256
            a = (x * 17 + y * 5) % 256
            row.append((r, g, b, a))
        rows.append(row)
    return rows


def file_header(file_size, pixel_offset, header_size):
    return b"BM" + struct.pack("<IHHII", file_size, 0, 0, pixel_offset, header_size)


def info_header(w, h, bits, compression, colours_used=0, size=40):
    return struct.pack("<iiHHIIiiII", w, h, 1, bits, compression, 0, 2835, 2835,
                       colours_used, 0)


def v4_tail(masks, alpha_mask):
    # masks, alpha, colour space type, endpoints (36 bytes), gammas (12)
    return struct.pack("<IIII", *masks, alpha_mask) + b"sRGB" + bytes(36 + 12)


def pad(row):
    return row + bytes((-len(row)) % 4)


def write(name, header, table, pixel_bytes, header_size):
    offset = 18 + len(header) + len(table)
    size = offset + len(pixel_bytes)
    with open(f"{out}/{name}.bmp", "wb") as f:
        f.write(file_header(size, offset, header_size) + header + table + pixel_bytes)


def rows_bottom_up(rows):
    return list(reversed(rows))


def bgra32(rows, top_down):
    order = rows if top_down else rows_bottom_up(rows)
    return b"".join(bytes(c for p in row for c in (p[2], p[1], p[0], p[3])) for row in order)


def make_v4_32(name, alpha_mask, header_size=108):
    """Header sizes 52 and 56 end after the masks (56 with the alpha mask);
    124 adds rendering intent and profile fields after the version 4 ones."""
    w, h = 23, 11
    rows = photo(w, h, 3)
    hdr = info_header(w, h, 32, 3)[:36] + v4_tail((0xFF0000, 0xFF00, 0xFF), alpha_mask)
    hdr = (hdr + struct.pack("<IIII", 4, 0, 0, 0))[:header_size - 4]
    write(name, hdr, b"", bgra32(rows, False), header_size)


def make_565(name):
    w, h = 19, 9
    rows = photo(w, h, 5)
    data = b""
    for row in rows_bottom_up(rows):
        px = b"".join(struct.pack("<H", (r >> 3) << 11 | (g >> 2) << 5 | b >> 3)
                      for r, g, b, _ in row)
        data += pad(px)
    hdr = info_header(w, h, 16, 3) + struct.pack("<III", 0xF800, 0x07E0, 0x001F)
    write(name, hdr, b"", data, 40)


def make_top_down_24(name):
    w, h = 13, 7
    rows = photo(w, h, 9)
    data = b"".join(pad(bytes(c for r, g, b, _ in row for c in (b, g, r))) for row in rows)
    write(name, info_header(w, -h, 24, 0), b"", data, 40)


def palette(n, entry_size=4):
    t = b""
    for i in range(n):
        c = (i * 37 % 256, i * 91 % 256, i * 13 % 256)
        if i == 0:
            c = (0, 0, 0)
        t += bytes((c[2], c[1], c[0])) + (b"\0" if entry_size == 4 else b"")
    return t


def make_top_down_8(name):
    w, h = 17, 6
    data = b"".join(pad(bytes((x * 3 + y * 11) % 256 for x in range(w))) for y in range(h))
    write(name, info_header(w, -h, 8, 0, 0), palette(256), data, 40)


def make_4bit_used0(name):
    w, h = 9, 5
    data = b""
    for y in range(h):
        nib = [(x + y) % 16 for x in range(w)] + [0]
        data += pad(bytes(nib[i] << 4 | nib[i + 1] for i in range(0, w, 2)))
    write(name, info_header(w, h, 4, 0, 0), palette(16), data, 40)


def make_8bit_used(name, used):
    w, h = 8, 4
    data = b"".join(pad(bytes((x * 31 + y) % 256 for x in range(w))) for y in range(h))
    write(name, info_header(w, h, 8, 0, used), palette(256), data, 40)


def make_rle8(name):
    # Encoded runs, an absolute run of odd length, EOL, deltas across and
    # along rows and an early end of bitmap.  Every row ends with its end of
    # line, as every common writer does; what a run past the row end does is
    # left to the unit tests, since ImageMagick wraps it into the next row.
    w, h = 12, 8
    codes = bytes([
        4, 1, 0, 3, 2, 3, 4, 0, 5, 2,        # run 4x1, absolute [2,3,4] + pad, run 5x2: 12 px
        0, 0,                                 # EOL right after the full row ends it
        3, 7, 0, 0,                           # 3 px then EOL: rest filled with entry 0
        2, 9, 0, 2, 3, 2,                     # 2 px, delta dx 3 dy 2
        0, 4, 10, 11, 12, 13,                 # absolute of 4
        0, 0,
        1, 6, 0, 2, 4, 0, 3, 8,               # 1 px, delta dx 4 on the same row, run 3
        0, 0,
        1, 6, 0, 2, 4, 0, 3, 8,               # the same on the next row
        0, 1,                                 # end of bitmap
    ])
    write(name, info_header(w, h, 8, 1, 16), palette(16), codes + bytes(12 * h), 40)


def make_rle4(name):
    w, h = 11, 5
    codes = bytes([
        5, 0x12, 0, 5, 0x34, 0x56, 0x70, 0, 1, 0xA0,   # run 5 (1,2,1,2,1), absolute 5 (3,4,5,6,7) padded, 1 px
        0, 0,
        11, 0xEF, 0, 0,
        0, 2, 2, 1,                                    # delta dx 2 dy 1
        0, 3, 0x9A, 0xB0,                              # absolute 3
        0, 0,
        0, 1,
    ])
    # ImageMagick reads at least a plain bitmap's worth of bytes; what
    # follows the end of bitmap is never looked at.
    write(name, info_header(w, h, 4, 2, 16), palette(16), codes + bytes(8 * h), 40)


def make_core(name, bits):
    w, h = 10, 6
    n = 1 << bits
    table = palette(n, 3)
    if bits == 1:
        data = b"".join(pad(bytes([0b10110010, 0b01000000 if y % 2 else 0b11000000])) for y in range(h))
    elif bits == 4:
        data = b"".join(pad(bytes(((x + y) % 16) << 4 | ((x + y + 1) % 16) for x in range(0, w, 2))) for y in range(h))
    else:
        data = b"".join(pad(bytes((x * 25 + y) % 256 for x in range(w))) for y in range(h))
    hdr = struct.pack("<HHHH", w, h, 1, bits)
    write(name, hdr, table, data, 12)


make_v4_32("hand-v4-alpha", 0xFF000000)
make_v4_32("hand-v4-noalpha", 0)
make_v4_32("hand-v5-alpha", 0xFF000000, 124)
make_v4_32("hand-v3-alpha", 0xFF000000, 56)
make_v4_32("hand-v2", 0, 52)
make_565("hand-565")
make_top_down_24("hand-topdown-24")
make_top_down_8("hand-topdown-8")
make_4bit_used0("hand-4bit-used0")
make_8bit_used("hand-8bit-used300", 300)
make_8bit_used("hand-8bit-used0", 0)
make_rle8("hand-rle8")
make_rle4("hand-rle4")
make_core("hand-core-1", 1)
make_core("hand-core-4", 4)
make_core("hand-core-8", 8)
