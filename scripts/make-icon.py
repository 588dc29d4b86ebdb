#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as a .ico: one 256 x 256 image, 32 bits per pixel,
stored as an uncompressed bitmap (BITMAPINFOHEADER + BGRA rows + AND mask), not PNG.

The picture: a dark rounded square with a green ring and a white upward arrow (an update).
Usage: make-icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZE = 256
SAMPLES = 3  # per axis, for smooth edges


def rounded_square(x, y, inset, radius):
    """True inside a square inset from the image edges with rounded corners."""
    lo, hi = inset + radius, SIZE - inset - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and inset <= x <= SIZE - inset \
        and inset <= y <= SIZE - inset


def arrow(x, y):
    """An upward arrow: a triangular head over a shaft, centred on the ring."""
    cx = SIZE / 2
    head_top, head_bottom, head_half = 62, 128, 46
    if head_top <= y <= head_bottom:
        half = head_half * (y - head_top) / (head_bottom - head_top)
        if abs(x - cx) <= half:
            return True
    return 126 <= y <= 192 and abs(x - cx) <= 17


def pixel(x, y):
    """Straight (not premultiplied) RGBA of one sample point."""
    if not rounded_square(x, y, 8, 44):
        return (0, 0, 0, 0)
    # Background: the window's own gradient, #2A2A2A at the top to #1E1E1E at the bottom.
    t = y / SIZE
    shade = round(0x2A + (0x1E - 0x2A) * t)
    color = (shade, shade, shade)
    distance = math.hypot(x - SIZE / 2, y - SIZE / 2)
    if 84 <= distance <= 104:
        color = (0x22, 0xC5, 0x5E)  # the Start button's green
    if arrow(x, y):
        color = (0xFF, 0xFF, 0xFF)
    return color + (255,)


def render():
    rows = []
    step = 1.0 / SAMPLES
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    pr, pg, pb, pa = pixel(x + (sx + 0.5) * step, y + (sy + 0.5) * step)
                    r += pr * pa
                    g += pg * pa
                    b += pb * pa
                    a += pa
            if a:
                row.append((round(r / a), round(g / a), round(b / a), round(a / SAMPLES ** 2)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def ico_bytes(rows):
    # The DIB of an icon holds the colour image and the AND mask stacked: height counts twice.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, SIZE * SIZE * 4, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_row = (SIZE + 31) // 32 * 4
    mask = bytes(mask_row * SIZE)  # all zero: the alpha channel decides
    image = header + bytes(pixels) + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    # Width and height 0 mean 256.
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.ico")
    data = ico_bytes(render())
    with open(sys.argv[1], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
