#!/usr/bin/env python3
"""Damaged files that declare pictures far larger than their bytes: each
holds a few kilobytes of well-formed data behind a header that claims up to
65535 x 65535 pixels (or 2^31 - 1 x 100).  Written on the spot into the
folder given, one file per case; the names say what each one claims.
    make-damaged.py OUTDIR"""
import os
import struct
import subprocess
import sys
import zlib

DATA = 15 * 1024          # bytes of picture data behind each header


def bmp_header(width, height, bits, compression, pixel_bytes, palette):
    offset = 14 + 40 + len(palette)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, compression,
                       pixel_bytes, 2835, 2835, len(palette) // 4, 0)
    head = struct.pack('<2sIHHI', b'BM', offset + pixel_bytes, 0, 0, offset)
    return head + info + palette


def grey_palette():
    return b''.join(bytes((i, i, i, 0)) for i in range(256))


def bmp_rle(width, height):
    runs = bytes((255, 7)) * (DATA // 2)
    return bmp_header(width, height, 8, 1, len(runs), grey_palette()) + runs


def bmp_plain(width, height):
    pixels = bytes(range(256)) * (4096 // 256)
    return bmp_header(width, height, 24, 0, len(pixels), b'') + pixels


def gif_frame(screen, frame):
    """Literal 9-bit codes, with a clear code before the dictionary would
    grow the codes to 10 bits."""
    codes, bits = [], 9
    while len(codes) * bits < DATA * 8:
        codes.append(256)
        codes.extend(i % 256 for i in range(200))
    codes.append(257)
    value = nbits = 0
    stream = bytearray()
    for c in codes:
        value |= c << nbits
        nbits += bits
        while nbits >= 8:
            stream.append(value & 0xFF)
            value >>= 8
            nbits -= 8
    if nbits:
        stream.append(value)
    blocks = bytearray()
    for i in range(0, len(stream), 255):
        chunk = stream[i:i + 255]
        blocks += bytes((len(chunk),)) + chunk
    blocks += b'\0'
    table = b''.join(bytes((i, i, i)) for i in range(256))
    head = b'GIF89a' + struct.pack('<HHBBB', screen[0], screen[1], 0xF7, 0, 0) + table
    desc = b',' + struct.pack('<HHHHB', 0, 0, frame[0], frame[1], 0) + b'\x08'
    return head + desc + bytes(blocks) + b';'


def targa(width, height, rle):
    head = struct.pack('<BBBHHBHHHHBB', 0, 0, 10 if rle else 2, 0, 0, 0, 0, 0,
                       width, height, 24, 0x20)
    if rle:
        body = b'\xff\x10\x20\x30' * (DATA // 4)
    else:
        body = bytes(range(256)) * (DATA // 256)
    return head + body


def pcx(width, height):
    bpl = width + (width & 1)
    head = struct.pack('<BBBBHHHHHH', 10, 5, 1, 8, 0, 0, width - 1, height - 1, 72, 72)
    head += bytes(48) + struct.pack('<BBHH', 0, 1, bpl, 1) + bytes(58)
    return head + b'\xff\x80' * (DATA // 2)


def png_chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + \
        struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF)


def png(width, height):
    raw = bytes(DATA * 1000)               # zeros: filter 0, black rows
    ihdr = struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)
    return b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', ihdr) + \
        png_chunk(b'IDAT', zlib.compress(raw, 9)) + png_chunk(b'IEND', b'')


def jpeg(width, height, progressive, workdir):
    """A small real JPEG (cjpeg) whose frame header is then made to claim
    the given size; its scan data ends long before such a picture would."""
    ppm = os.path.join(workdir, 'seed.ppm')
    with open(ppm, 'wb') as f:
        f.write(b'P6 256 256 255\n' + bytes((x * 7 + y * 3) & 0xFF for y in range(256)
                                           for x in range(768)))
    args = ['cjpeg', '-quality', '90'] + (['-progressive'] if progressive else []) + [ppm]
    data = bytearray(subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout)
    os.remove(ppm)
    p = 2
    while p < len(data):
        marker, length = data[p + 1], struct.unpack('>H', data[p + 2:p + 4])[0]
        if marker in (0xC0, 0xC2):
            struct.pack_into('>HH', data, p + 5, height, width)
            return bytes(data)
        p += 2 + length
    raise SystemExit('no frame header in the seed JPEG')


def tiff(width, height, deflate):
    """Little-endian, 8-bit grey, one strip of DATA bytes (raw or deflated)."""
    strip = zlib.compress(bytes(DATA * 1000), 9) if deflate else bytes(range(256)) * (DATA // 256)
    entries = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, 8 if deflate else 1),
               (262, 3, 1), (273, 4, 8), (277, 3, 1), (278, 4, height), (279, 4, len(strip))]
    ifd_offset = 8 + len(strip)
    ifd = struct.pack('<H', len(entries))
    for tag, kind, value in entries:
        ifd += struct.pack('<HHI', tag, kind, 1)
        ifd += struct.pack('<HH', value, 0) if kind == 3 else struct.pack('<I', value)
    ifd += struct.pack('<I', 0)
    return b'II*\0' + struct.pack('<I', ifd_offset) + strip + ifd


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    big, large = 65535, 16000       # 2^32 pixels; 2^28 minus a little
    files = {
        'bmp-rle-65535x65535.bmp': bmp_rle(big, big),
        'bmp-rle-16000x16000.bmp': bmp_rle(large, large),
        'bmp-plain-2147483647x100.bmp': bmp_plain(2147483647, 100),
        'bmp-plain-16000x16000.bmp': bmp_plain(large, large),
        'gif-frame-65535x65535.gif': gif_frame((big, big), (big, big)),
        'gif-frame-16000x16000.gif': gif_frame((large, large), (large, large)),
        'gif-frame-45096x52994-in-60x40.gif': gif_frame((60, 40), (45096, 52994)),
        'targa-rle-65535x65535.tga': targa(big, big, True),
        'targa-raw-65535x65535.tga': targa(big, big, False),
        'targa-rle-16000x16000.tga': targa(large, large, True),
        'pcx-65534x65535.pcx': pcx(65534, big),
        'pcx-16000x16000.pcx': pcx(large, large),
        'png-65535x65535.png': png(big, big),
        'png-16000x16000.png': png(large, large),
        'jpeg-65500x65500.jpg': jpeg(65500, 65500, False, out),
        'jpeg-progressive-65500x65500.jpg': jpeg(65500, 65500, True, out),
        'jpeg-16000x16000.jpg': jpeg(large, large, False, out),
        'tiff-65535x65535.tif': tiff(big, big, False),
        'tiff-deflate-16000x16000.tif': tiff(large, large, True),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
