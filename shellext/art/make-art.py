#!/usr/bin/env python3
"""Draws the Preview page's decorations: a magnifying lens whose glass shows
the picture when held, four busy phases (a dot lit in turn inside the glass)
and the logo (the lens with a glint).  Writes the BITMAP32 images (whole BMP
files, 108-byte header, 32-bit top-down, fourth byte a transparency: 0
opaque, 255 clear) and their 8-bit masks (the transparency the lens gets
over the picture).  The .bmp files are committed; run this again only to
change them."""
import math
import os
import struct

W, H = 60, 40
CX, CY = 22.0, 18.0          # centre of the glass
R_GLASS, R_RIM = 12.5, 15.5
HANDLE = ((33.0, 29.0), (52.0, 36.5), 3.2)   # from, to, half thickness
GLASS_SEE = 190              # the mask's transparency over the glass
GLASS_TINT = (225, 170, 120)  # blue, green, red
SS = 4                       # supersamples per side


def seg_dist(px, py, a, b):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def sample(x, y, phase):
    """One subpixel: (colour premultiplied b,g,r), opacity in the art,
    opacity the mask keeps over the picture)."""
    d = math.hypot(x - CX, y - CY)
    if d <= R_GLASS:
        see = GLASS_SEE / 255.0
        keep = 1.0 - see
        col = [c * keep for c in GLASS_TINT]
        # A glint towards the upper left, white over the glass.
        gx, gy = x - (CX - 5.0), y - (CY - 5.5)
        u = (gx + gy) / math.sqrt(2)
        v = (gx - gy) / math.sqrt(2)
        if (u / 2.6) ** 2 + (v / 5.2) ** 2 <= 1.0:
            a = 0.55
            col = [255 * a + c * (1 - a) for c in col]
            keep = a + keep * (1 - a)
        dot = busy_dot(x, y, phase)
        if dot:
            col, keep = dot
        if phase == 4:
            star = glint_star(x, y)
            if star:
                col = [255 * star + c * (1 - star) for c in col]
                keep = star + keep * (1 - star)
        return col, 1.0, keep
    if d <= R_RIM:
        # Polished metal, light from the upper left.
        shade = 0.5 + 0.5 * (-(x - CX) - (y - CY)) / (R_RIM * 1.42)
        edge = 1.0 - abs(d - (R_GLASS + R_RIM) / 2) / ((R_RIM - R_GLASS) / 2) * 0.25
        level = (95 + 140 * shade) * edge
        return [level * 1.08, level, level * 0.97], 1.0, 1.0
    if seg_dist(x, y, HANDLE[0], HANDLE[1]) <= HANDLE[2]:
        (ax, ay), (bx, by), r = HANDLE
        # Rounded wood, lighter along its upper edge.
        nx, ny = -(by - ay), bx - ax
        n = math.hypot(nx, ny)
        side = ((x - ax) * nx + (y - ay) * ny) / n / r
        level = 0.75 - 0.35 * side
        return [40 * level, 70 * level, 130 * level], 1.0, 1.0
    return [0, 0, 0], 0.0, 0.0


def busy_dot(x, y, phase):
    if phase > 3:
        return None
    for i in range(4):
        ang = math.radians(-90 + 90 * i)
        dx, dy = CX + 6.5 * math.cos(ang), CY + 6.5 * math.sin(ang)
        if math.hypot(x - dx, y - dy) <= 2.4:
            if i == phase:
                return [60, 200, 255], 1.0          # lit: amber, opaque
            return [150 * 0.6, 120 * 0.6, 90 * 0.6], 0.6
    return None


def glint_star(x, y):
    sx, sy = CX + 5.5, CY - 6.0
    dx, dy = abs(x - sx), abs(y - sy)
    if dx * 3.2 + dy <= 4.5 or dy * 3.2 + dx <= 4.5:
        return 0.95
    return 0.0


def render(phase):
    art, mask = [], []
    for py in range(H):
        for px in range(W):
            col, opa, keep = [0.0, 0.0, 0.0], 0.0, 0.0
            for sy in range(SS):
                for sx in range(SS):
                    c, o, k = sample(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS, phase)
                    col = [a + b * o for a, b in zip(col, c)]
                    opa += o
                    keep += k * o
            n = SS * SS
            opa /= n
            col = [c / n for c in col]
            # The art is laid over the page colour: unpremultiply there.
            if opa > 0:
                col = [c / opa for c in col]
            art.append(bytes([min(255, round(c)) for c in col]) + bytes([round(255 * (1 - opa))]))
            # Over the picture the mask's transparency shows it through.
            see = 0 if opa == 0 else 1 - keep / n / opa
            mask.append(max(0, min(255, round(255 * see * opa))))
    return art, mask


def write_bitmap32(path, pixels):
    header = struct.pack('<IiiHHIIiiII', 108, W, -H, 1, 32, 0, W * H * 4, 2835, 2835, 0, 0)
    header += struct.pack('<IIII', 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    header += b'sRGB' + bytes(36) + bytes(12)
    data = b''.join(pixels)
    with open(path, 'wb') as f:
        f.write(b'BM' + struct.pack('<IHHI', 14 + 108 + len(data), 0, 0, 14 + 108))
        f.write(header)
        f.write(data)


def write_mask(path, values):
    stride = (W + 3) & ~3
    rows = []
    for y in range(H - 1, -1, -1):
        row = bytes(values[y * W:(y + 1) * W])
        rows.append(row + bytes(stride - W))
    data = b''.join(rows)
    palette = b''.join(bytes([i, i, i, 0]) for i in range(256))
    info = struct.pack('<IiiHHIIiiII', 40, W, H, 1, 8, 0, len(data), 2835, 2835, 256, 0)
    offset = 14 + 40 + len(palette)
    with open(path, 'wb') as f:
        f.write(b'BM' + struct.pack('<IHHI', offset + len(data), 0, 0, offset))
        f.write(info + palette + data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    # Busy phases 124, 126, 127, 128 with masks 125, 129, 130, 131; logo 119
    # with mask 104.
    names = [('busy1', 0), ('busy2', 1), ('busy3', 2), ('busy4', 3), ('logo', 4)]
    for name, phase in names:
        art, mask = render(phase)
        write_bitmap32(os.path.join(here, name + '.bmp'), art)
        write_mask(os.path.join(here, name + '-mask.bmp'), mask)


main()
