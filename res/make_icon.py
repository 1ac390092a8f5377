#!/usr/bin/env python3
"""Draws the program icon, a small printer, and writes it as checkvela.ico.

The icon holds a 32x32 and a 16x16 image with 16 colours (4 bits per pixel) from the
standard VGA palette. The output is the same on every run.

Usage: make_icon.py [OUTPUT]   (default: checkvela.ico next to this script)
"""

import os
import struct
import sys

# The standard 16-colour palette as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, NAVY, SILVER, GRAY, LIME, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 12, 15
CLEAR = None  # transparent


class Canvas:
    def __init__(self, size):
        self.size = size
        self.pixels = [[CLEAR] * size for _ in range(size)]

    def fill(self, x0, y0, x1, y1, colour):
        """Fills the rectangle with corners (x0, y0) and (x1, y1), both included."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.pixels[y][x] = colour

    def box(self, x0, y0, x1, y1, fill, outline=BLACK):
        self.fill(x0, y0, x1, y1, outline)
        self.fill(x0 + 1, y0 + 1, x1 - 1, y1 - 1, fill)


def printer32():
    c = Canvas(32)
    c.box(8, 1, 23, 13, WHITE)                     # the sheet being printed
    for y in (4, 6, 8, 10):                        # its lines of text
        c.fill(10, y, 21 if y != 10 else 16, y, NAVY)
    c.box(2, 12, 29, 25, SILVER)                   # the body
    c.fill(3, 13, 28, 14, WHITE)                   # light on its top edge
    c.fill(3, 23, 28, 24, GRAY)                    # shadow along its bottom
    c.fill(27, 15, 28, 22, GRAY)                   # and its right side
    c.fill(6, 18, 25, 19, BLACK)                   # the paper slot
    c.fill(23, 15, 25, 16, LIME)                   # the ready light
    c.fill(19, 15, 21, 16, BLUE)                   # a button
    c.box(6, 25, 25, 30, WHITE)                    # the output tray with a page
    c.fill(8, 27, 20, 27, GRAY)
    return c


def printer16():
    c = Canvas(16)
    c.box(4, 0, 11, 6, WHITE)
    c.fill(5, 2, 10, 2, NAVY)
    c.fill(5, 4, 9, 4, NAVY)
    c.box(1, 6, 14, 12, SILVER)
    c.fill(2, 7, 13, 7, WHITE)
    c.fill(2, 11, 13, 11, GRAY)
    c.fill(3, 9, 12, 9, BLACK)
    c.fill(12, 8, 12, 8, LIME)
    c.box(3, 12, 12, 15, WHITE)
    return c


def dib(canvas):
    """The image as an icon stores it: header, palette, colour bits, mask bits."""
    size = canvas.size
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    colour_stride = ((size * 4 + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    colour = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):               # bottom row first
        row = canvas.pixels[y]
        line = bytearray(colour_stride)
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            index = BLACK if pixel is CLEAR else pixel
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if pixel is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        colour += line
        mask += bits
    return header + palette + bytes(colour) + bytes(mask)


def icon(canvases):
    images = [dib(c) for c in canvases]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for canvas, image in zip(canvases, images):
        size = canvas.size
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'checkvela.ico')
    with open(target, 'wb') as f:
        f.write(icon([printer32(), printer16()]))


if __name__ == '__main__':
    main()
