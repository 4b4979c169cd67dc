#!/usr/bin/python3
"""Draws the product icon and writes it as a Windows .ico: a rounded teal square with a
white frame and an arrow leaving it to the right (video going out), at 16, 24, 32, 48 and
256 pixels. Each size is drawn 4x4 supersampled, so edges are smooth; the 256-pixel image
is stored as PNG, the others as 32-bit bitmaps, as Windows expects.

Usage: make-icon.py OUTPUT.ico   (launcher/kestovar.ico was made by it)"""
import struct
import sys
import zlib

TEAL = (0x0f, 0x76, 0x6e)
WHITE = (0xff, 0xff, 0xff)


def inside_rounded(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


def colour_at(x, y):
    """The drawing on a unit square: None (transparent), TEAL or WHITE."""
    if not inside_rounded(x, y, 0.03, 0.03, 0.97, 0.97, 0.2):
        return None
    # The frame: a white outline of a screen on the left.
    outer = 0.16 <= x <= 0.62 and 0.24 <= y <= 0.76
    inner = 0.23 <= x <= 0.55 and 0.31 <= y <= 0.69
    if outer and not inner:
        return WHITE
    # The arrow: a shaft from the frame's centre and a head pointing right.
    if 0.40 <= x <= 0.66 and 0.45 <= y <= 0.55:
        return WHITE
    if 0.64 <= x <= 0.86 and abs(y - 0.5) <= 0.2 * (0.86 - x) / 0.22:
        return WHITE
    return TEAL


def draw(size, samples=4):
    """size x size RGBA rows, top row first."""
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            n = samples * samples
            row += bytes((r // a, g // a, b // a, 255 * a // n) if a else (0, 0, 0, 0))
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    raw = b''.join(b'\0' + row for row in rows)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def bitmap(size, rows):
    """A BITMAPINFOHEADER (twice the height: image and mask), BGRA rows bottom up, and an
    all-zero AND mask (the alpha channel decides)."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes(row[i + j] for i in range(0, len(row), 4) for j in (2, 1, 0, 3))
                      for row in reversed(rows))
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def main(out):
    images = []
    for size in (16, 24, 32, 48, 256):
        rows = draw(size)
        images.append((size, png(size, rows) if size == 256 else bitmap(size, rows)))
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in images:
        data += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b''.join(image for _, image in images)
    with open(out, 'wb') as f:
        f.write(data)


main(sys.argv[1])
