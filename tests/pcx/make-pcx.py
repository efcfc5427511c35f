#!/usr/bin/env python3
"""PCX files for what the usual writers do not produce: padded lines of odd
widths, coloured header palettes on black-and-white files, 256-colour files
without a usable palette, runs of count 0 and runs that reach past the end
of a row.  Beside each, NAME.truth.ppm: the picture it holds.  Written into
the current directory."""
import struct


def header(version, bits, planes, w, h, bpl, palette16=b'', palinfo=1):
    head = struct.pack('<BBBBHHHHHH', 10, version, 1, bits, 0, 0, w - 1, h - 1, 72, 72)
    head += palette16.ljust(48, b'\0')
    head += struct.pack('<BBHH', 0, planes, bpl, palinfo)
    return head.ljust(128, b'\0')


def encode(line):
    """Run-length packets for one row's bytes (runs never cross rows)."""
    out = bytearray()
    i = 0
    while i < len(line):
        run = 1
        while i + run < len(line) and run < 63 and line[i + run] == line[i]:
            run += 1
        if run > 1 or line[i] >= 0xC0:
            out += bytes([0xC0 | run, line[i]])
        else:
            out.append(line[i])
        i += run
    return bytes(out)


def truth(name, rows):
    with open(name[:-4] + '.truth.ppm', 'wb') as f:
        f.write(b'P6\n%d %d\n255\n' % (len(rows[0]), len(rows)))
        f.write(bytes(c for row in rows for p in row for c in p))


def write(name, data):
    with open(name, 'wb') as f:
        f.write(data)


def pattern(w, h, seed):
    return [[((x * 37 + y * 11 + seed * 5) & 255, (x * 7 + y * 53 + seed) & 255,
              (x * x + y * 3 + seed * 13) & 255) for x in range(w)] for y in range(h)]


def truecolour(name, w, h, planes):
    pic = pattern(w, h, 1)
    bpl = w + (w & 1)
    data = bytearray(header(5, 8, planes, w, h, bpl))
    for row in pic:
        line = b''
        for c in range(planes):
            # The padding byte holds junk, which must not show.
            line += bytes(p[c] if c < 3 else 200 for p in row) + b'\x99' * (bpl - w)
        data += encode(line)
    write(name, data)
    truth(name, pic)


def bilevel(name, w, h, bpl):
    bits = [[(x * 3 + y) % 5 < 2 for x in range(w)] for y in range(h)]
    red_green = bytes([255, 0, 0, 0, 255, 0])   # ignored: black and white it is
    data = bytearray(header(5, 1, 1, w, h, bpl, red_green))
    for row in bits:
        line = bytearray(bpl)
        for x, on in enumerate(row):
            if on:
                line[x // 8] |= 0x80 >> (x % 8)
        line[-1] |= 1   # padding bits set
        data += encode(bytes(line))
    write(name, data)
    truth(name, [[(255, 255, 255) if on else (0, 0, 0) for on in row] for row in bits])


def sixteen(name, w, h):
    colours = [((i * 53) & 255, (i * 91 + 7) & 255, (i * 17 + 100) & 255) for i in range(16)]
    index = [[(x * 5 + y * 3 + x * y) % 16 for x in range(w)] for y in range(h)]
    bpl = (w + 7) // 8
    bpl += bpl & 1
    data = bytearray(header(5, 1, 4, w, h, bpl, bytes(c for rgb in colours for c in rgb)))
    for row in index:
        line = b''
        for plane in range(4):
            bytes_ = bytearray(bpl)
            for x, i in enumerate(row):
                if i >> plane & 1:
                    bytes_[x // 8] |= 0x80 >> (x % 8)
            line += bytes(bytes_)
        data += encode(line)
    write(name, data)
    truth(name, [[colours[i] for i in row] for row in index])


def indexed(name, w, h, tail):
    """8 bits in 1 plane; `tail` gives the bytes after the image and the
    palette the decoder should use."""
    index = [[(x * 13 + y * 29) & 255 for x in range(w)] for y in range(h)]
    bpl = w + (w & 1)
    data = bytearray(header(5, 8, 1, w, h, bpl))
    for row in index:
        data += encode(bytes(row) + b'\x07' * (bpl - w))
    extra, palette = tail(len(data))
    write(name, bytes(data) + extra)
    truth(name, [[palette[i] for i in row] for row in index])


colours = [((i * 7) & 255, (255 - i) & 255, (i * 3 + 1) & 255) for i in range(256)]
grey = [(i, i, i) for i in range(256)]
marker = b'\x0c' + bytes(c for rgb in colours for c in rgb)

truecolour('odd24.pcx', 61, 9, 3)
truecolour('odd32.pcx', 33, 5, 4)
bilevel('bw7.pcx', 7, 5, 2)
bilevel('bw20.pcx', 20, 4, 4)
sixteen('c16-13.pcx', 13, 6)
sixteen('c16-1.pcx', 1, 3)
indexed('p8-odd.pcx', 61, 17, lambda n: (marker, colours))
indexed('p8-nomarker.pcx', 61, 17, lambda n: (b'\x0b' + marker[1:], grey))
indexed('p8-short.pcx', 5, 3, lambda n: (marker[:700], grey))

# Packets that a row-by-row reader must cut: a run of 63 over a 10-byte row,
# runs of count 0, and a literal row after them.
w, h = 10, 3
data = bytearray(header(5, 8, 1, w, h, w))
data += bytes([0xC0, 0x55])              # count 0: consumes its data byte
data += bytes([0xFF, 0x21])              # 63 copies, cut at 10
data += bytes(range(1, 11))              # row 1
data += bytes([0xC5, 0x02, 0xC0, 0x09, 0xC5, 0x03])   # row 2: 5 + 0 + 5
write('runs.pcx', bytes(data) + marker)
truth('runs.pcx', [[colours[0x21]] * 10, [colours[i] for i in range(1, 11)],
                   [colours[2]] * 5 + [colours[3]] * 5])
