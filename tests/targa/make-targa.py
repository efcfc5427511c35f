#!/usr/bin/env python3
"""Targa files for what no tool writes: 15-, 16- and 32-bit colour map
entries, wide indices, right-to-left rows, attribute bits, packets running
across rows, and version 2 files with a footer, an extension area, texts and
a postage stamp.  Beside each, the picture it holds as NAME.truth.ppm (at
the precision stored: maxval 31 for 5-bit channels) and, when the file
carries an alpha channel, NAME.truth.pgm.  Written into the current
directory."""
import struct


def pattern(w, h, seed):
    return [[((x * 37 + y * 11 + seed * 5) & 255, (x * 7 + y * 53 + seed) & 255,
              (x * x + y * 3 + seed * 13) & 255) for x in range(w)] for y in range(h)]


def header(idlen, maptype, imgtype, first, length, entrybits, w, h, depth, desc):
    return struct.pack('<BBBHHBHHHHBB', idlen, maptype, imgtype, first, length,
                       entrybits, 0, 0, w, h, depth, desc)


def pack(v, nbytes):
    return v.to_bytes(nbytes, 'little')


def rle(values, nbytes, width, cross_rows):
    """Run-length packets; they stop at row ends unless cross_rows."""
    out = bytearray()
    i, n = 0, len(values)
    while i < n:
        limit = n if cross_rows else (i // width + 1) * width
        run = 1
        while i + run < limit and run < 128 and values[i + run] == values[i]:
            run += 1
        if run > 1:
            out.append(0x80 | (run - 1))
            out += pack(values[i], nbytes)
            i += run
            continue
        raw = 1
        while i + raw < limit and raw < 128 and (i + raw + 1 >= limit or
                                                  values[i + raw] != values[i + raw + 1]):
            raw += 1
        out.append(raw - 1)
        for v in values[i:i + raw]:
            out += pack(v, nbytes)
        i += raw
    return bytes(out)


def write(name, data):
    with open(name, 'wb') as f:
        f.write(data)


def truth(name, rgb_rows, maxval, alpha_rows=None, alpha_max=255):
    base = name[:-4]
    h, w = len(rgb_rows), len(rgb_rows[0])
    with open(base + '.truth.ppm', 'wb') as f:
        f.write(b'P6\n%d %d\n%d\n' % (w, h, maxval))
        f.write(bytes(c for row in rgb_rows for p in row for c in p))
    if alpha_rows is not None:
        with open(base + '.truth.pgm', 'wb') as f:
            f.write(b'P5\n%d %d\n%d\n' % (w, h, alpha_max))
            f.write(bytes(a for row in alpha_rows for a in row))


def stored(rows, desc):
    """Pixel values in file order: bottom row first unless bit 5, each row
    mirrored with bit 4."""
    rows = rows if desc & 0x20 else rows[::-1]
    if desc & 0x10:
        rows = [r[::-1] for r in rows]
    return [v for r in rows for v in r]


def body(rows, desc, nbytes, rle_type, cross, width):
    values = stored(rows, desc)
    if rle_type:
        return rle(values, nbytes, width, cross)
    return b''.join(pack(v, nbytes) for v in values)


def grid(w, h, f):
    return [[f(x, y) for x in range(w)] for y in range(h)]


# ---------------------------------------------------------------- true colour

def rgb24(name, desc, rle_type=False, seed=1, w=23, h=9, ident=b'', save=True):
    pic = pattern(w, h, seed)
    rows = grid(w, h, lambda x, y: pic[y][x][2] | pic[y][x][1] << 8 | pic[y][x][0] << 16)
    data = header(len(ident), 0, 10 if rle_type else 2, 0, 0, 0, w, h, 24, desc) + ident + \
        body(rows, desc, 3, rle_type, False, w)
    if save:
        write(name, data)
        truth(name, pic, 255)
    return data


def rgb16(name, depth, desc, alpha_of, rle_type=False, cross=False, w=23, h=9):
    pic = [[tuple(c >> 3 for c in p) for p in row] for row in pattern(w, h, 3)]
    alpha = grid(w, h, lambda x, y: 1 if alpha_of(x, y) else 0)
    rows = grid(w, h, lambda x, y: pic[y][x][2] | pic[y][x][1] << 5 | pic[y][x][0] << 10 |
                alpha[y][x] << 15)
    write(name, header(0, 0, 10 if rle_type else 2, 0, 0, 0, w, h, depth, desc) +
          body(rows, desc, 2, rle_type, cross, w))
    truth(name, pic, 31, alpha if desc & 15 else None, 1)


def rgb32(name, desc, rle_type=False, cross=False, seed=5, w=23, h=9, save=True):
    pic = pattern(w, h, seed)
    alpha = grid(w, h, lambda x, y: (x * 29 + y * 17) & 255)
    rows = grid(w, h, lambda x, y: pic[y][x][2] | pic[y][x][1] << 8 | pic[y][x][0] << 16 |
                alpha[y][x] << 24)
    data = header(0, 0, 10 if rle_type else 2, 0, 0, 0, w, h, 32, desc) + \
        body(rows, desc, 4, rle_type, cross, w)
    if save:
        write(name, data)
        truth(name, pic, 255, alpha)
    return data


def greys(name, depth, desc, rle_type=False, w=17, h=10):
    pic = pattern(w, h, 4)
    grey = grid(w, h, lambda x, y: pic[y][x][0])
    alpha = grid(w, h, lambda x, y: (x * 31 + y) & 255)
    rows = grid(w, h, lambda x, y: grey[y][x] | (alpha[y][x] << 8 if depth == 16 else 0))
    write(name, header(0, 0, 11 if rle_type else 3, 0, 0, 0, w, h, depth, desc) +
          body(rows, desc, depth // 8, rle_type, False, w))
    truth(name, [[(g, g, g) for g in row] for row in grey], 255,
          alpha if depth == 16 else None)


# ---------------------------------------------------------------- colour maps

def mapped(name, depth, entrybits, first, count, desc=0, rle_type=False, cross=False,
           w=19, h=11):
    entries, cmap = [], bytearray()
    for i in range(count):
        r, g, b = (i * 41) & 255, (i * 73 + 30) & 255, (i * 19 + 200) & 255
        if entrybits in (15, 16):
            r, g, b = r >> 3, g >> 3, b >> 3
            v = b | g << 5 | r << 10 | ((i % 3 == 0) << 15 if entrybits == 16 else 0)
        else:
            v = b | g << 8 | r << 16 | (((i * 11) & 255) << 24 if entrybits == 32 else 0)
        entries.append((r, g, b))
        cmap += pack(v, (entrybits + 7) // 8)
    pic = pattern(w, h, 2)
    index = grid(w, h, lambda x, y: (pic[y][x][0] * 7 + pic[y][x][1]) % count)
    for x in range(3, 15):  # a long run of one index
        index[4][x] = 1
    rows = grid(w, h, lambda x, y: first + index[y][x])
    write(name, header(0, 1, 9 if rle_type else 1, first, count, entrybits, w, h, depth, desc) +
          bytes(cmap) + body(rows, desc, (depth + 7) // 8, rle_type, cross, w))
    truth(name, grid(w, h, lambda x, y: entries[index[y][x]]),
          31 if entrybits in (15, 16) else 255)


# ---------------------------------------------------------------- version 2

def field(text, length):
    b = text.encode('ascii')
    return b + b'\0' * (length - len(b))


def extension(size=495, author='', comments=('', '', '', ''), job='', software='',
              key=0, stamp=0, attributes=0, bad_comment_line=None):
    e = bytearray(495)
    struct.pack_into('<H', e, 0, size)
    e[2:43] = field(author, 41)
    for i, line in enumerate(comments):
        e[43 + 81 * i:43 + 81 * (i + 1)] = field(line, 81)
    if bad_comment_line is not None:
        e[43 + 81 * bad_comment_line + 80] = ord('x')
    e[379:420] = field(job, 41)
    e[426:467] = field(software, 41)
    struct.pack_into('<I', e, 470, key)
    struct.pack_into('<I', e, 486, stamp)
    e[494] = attributes
    return e


def version2(name, image, ext=None, stamp=None):
    data = bytearray(image)
    stamp_offset = 0
    if stamp is not None:
        stamp_offset = len(data)
        data += stamp
    ext_offset = 0
    if ext is not None:
        ext_offset = len(data)
        data += ext(stamp_offset)
    data += struct.pack('<II', ext_offset, 0) + b'TRUEVISION-XFILE.\0'
    write(name, data)


mapped('map15.tga', 8, 15, 0, 40)
mapped('map16.tga', 8, 16, 5, 30, desc=0x20)
mapped('map24-idx16.tga', 16, 24, 0, 300)
mapped('map32-rle.tga', 8, 32, 3, 60, rle_type=True, cross=True)
mapped('map24-rle.tga', 8, 24, 0, 50, rle_type=True)
rgb24('rtl.tga', 0x10)
rgb24('rtl-top.tga', 0x30, rle_type=True)
rgb16('rgb15.tga', 15, 0, lambda x, y: False)
rgb16('rgb16a.tga', 16, 0x01, lambda x, y: (x + y) % 3 == 0)
rgb16('rgb16a-rle.tga', 16, 0x21, lambda x, y: x > 10, rle_type=True, cross=True)
rgb32('rgb32a-rle.tga', 0x28, rle_type=True, cross=True)
greys('grey-rle.tga', 8, 0x20, rle_type=True)
greys('grey16a.tga', 16, 0x28)

# The attributes type of a version 2 file decides about transparency.
plain32 = rgb32('plain32.tga', 0x08)
for attributes in (0, 3, 4):
    version2('v2-attributes%d.tga' % attributes, plain32,
             ext=lambda s, a=attributes: extension(attributes=a))
version2('v2-noext.tga', plain32)

# Texts and the key colour.
image = rgb24('id.tga', 0x20, seed=6, ident=b'Test pattern  \0')
version2('v2-texts.tga', image, ext=lambda s: extension(
    author='A. Writer   ', comments=('', '', 'only line three', ''), job='job 7',
    software='handmade', key=0x80112233))
version2('v2-badcomment.tga', image, ext=lambda s: extension(
    author='A. Writer', comments=('one', 'two', '', ''), software='handmade',
    bad_comment_line=1))
for size in (493, 494, 496):
    version2('v2-size%d.tga' % size, image, ext=lambda s, n=size: extension(size=n, job='sized'))
rgb24('id-noterm.tga', 0x20, seed=6, ident=b'no terminator')


# Postage stamps of 64 x 48 and 63 x 63 over a 100 x 80 run-length image;
# each stamp also as an image of its own, for the reference decoder.
def stamp(w, h):
    return rgb24('stamp%dx%d-only.tga' % (w, h), 0, seed=9, w=w, h=h)


big = rgb24('stamped.tga', 0, rle_type=True, seed=8, w=100, h=80)
for w, h in ((64, 48), (63, 63)):
    pixels = stamp(w, h)[18:]
    version2('stamp%dx%d.tga' % (w, h), big, stamp=bytes([w, h]) + pixels,
             ext=lambda s: extension(stamp=s))
