#!/usr/bin/env python3
"""Draws the eleven rating meter images, 204_rating0.png ... 214_rating10.png.

Each image is 195 x 23 pixels, 8-bit RGBA: a rounded track of ten segments, the first n filled
(red for a poor rating through amber to green for a good one), the rest pale and half
transparent, and the rating as a number at the right. Outside the track the image is fully
transparent; the track's rounded corners and its shadow are partly transparent, so the images
exercise per-pixel alpha when they are drawn.

Only the standard library is used (zlib, struct), and the output is byte-for-byte reproducible:
    python3 resources/images/tools/make_rating_images.py [output folder]
The default output folder is the one above this script (resources/images).
"""
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 195, 23
STEPS = 10
FIRST_ID = 204

# Track and segments.
TRACK_LEFT, TRACK_TOP, TRACK_RIGHT, TRACK_BOTTOM = 0, 2, 173, 20   # inclusive edges
SEG_LEFT, SEG_TOP, SEG_BOTTOM = 3, 5, 17                           # inclusive rows
SEG_WIDTH, SEG_GAP = 15, 2

BORDER = (72, 78, 86, 255)
TRACK_FILL = (255, 255, 255, 160)
EMPTY_SEGMENT = (196, 200, 206, 110)
SHADOW = (0, 0, 0, 56)
DIGIT = (52, 56, 62, 255)

# 3 x 5 digit shapes, drawn twice as large.
DIGITS = {
    "0": ["111", "101", "101", "101", "111"],
    "1": ["010", "110", "010", "010", "111"],
    "2": ["111", "001", "111", "100", "111"],
    "3": ["111", "001", "111", "001", "111"],
    "4": ["101", "101", "111", "001", "001"],
    "5": ["111", "100", "111", "001", "111"],
    "6": ["111", "100", "111", "101", "111"],
    "7": ["111", "001", "010", "010", "010"],
    "8": ["111", "101", "111", "101", "111"],
    "9": ["111", "101", "111", "001", "111"],
}
DIGIT_SCALE = 2


def segment_colour(index):
    """Colour of segment `index` (0..9): red, through amber, to green."""
    t = index / (STEPS - 1)
    if t < 0.5:
        u = t / 0.5
        r, g, b = 214, round(58 + (170 - 58) * u), 48
    else:
        u = (t - 0.5) / 0.5
        r, g, b = round(214 - (214 - 56) * u), round(170 + (168 - 170) * u), round(48 + (72 - 48) * u)
    return (r, g, b, 255)


def blend(dst, src):
    """Straight-alpha 'source over' of two RGBA tuples."""
    sa = src[3] / 255.0
    da = dst[3] / 255.0
    oa = sa + da * (1 - sa)
    if oa == 0:
        return (0, 0, 0, 0)
    out = []
    for i in range(3):
        out.append(round((src[i] * sa + dst[i] * da * (1 - sa)) / oa))
    out.append(round(oa * 255))
    return tuple(out)


def draw(rating):
    px = [[(0, 0, 0, 0)] * WIDTH for _ in range(HEIGHT)]

    def put(x, y, colour):
        if 0 <= x < WIDTH and 0 <= y < HEIGHT:
            px[y][x] = blend(px[y][x], colour)

    def corner(x, y):
        return (x in (TRACK_LEFT, TRACK_RIGHT)) and (y in (TRACK_TOP, TRACK_BOTTOM))

    # Shadow one pixel down and right of the track.
    for y in range(TRACK_TOP + 1, TRACK_BOTTOM + 2):
        for x in range(TRACK_LEFT + 1, TRACK_RIGHT + 2):
            if not corner(x - 1, y - 1):
                put(x, y, SHADOW)
    # Track: border with softened corners, translucent inside.
    for y in range(TRACK_TOP, TRACK_BOTTOM + 1):
        for x in range(TRACK_LEFT, TRACK_RIGHT + 1):
            edge = x in (TRACK_LEFT, TRACK_RIGHT) or y in (TRACK_TOP, TRACK_BOTTOM)
            if corner(x, y):
                put(x, y, BORDER[:3] + (96,))
            elif edge:
                put(x, y, BORDER)
            else:
                put(x, y, TRACK_FILL)
    # Segments.
    for i in range(STEPS):
        left = SEG_LEFT + i * (SEG_WIDTH + SEG_GAP)
        colour = segment_colour(i) if i < rating else EMPTY_SEGMENT
        for y in range(SEG_TOP, SEG_BOTTOM + 1):
            for x in range(left, left + SEG_WIDTH):
                put(x, y, colour)
        if i < rating:
            # A lighter top row gives the filled segments some depth.
            for x in range(left, left + SEG_WIDTH):
                c = colour
                px[SEG_TOP][x] = (min(255, c[0] + 40), min(255, c[1] + 40), min(255, c[2] + 40), 255)
    # The number, right of the track.
    text = str(rating)
    text_width = len(text) * 3 * DIGIT_SCALE + (len(text) - 1) * DIGIT_SCALE
    area_left = TRACK_RIGHT + 2
    x0 = area_left + (WIDTH - area_left - text_width) // 2
    y0 = (HEIGHT - 5 * DIGIT_SCALE) // 2
    for n, ch in enumerate(text):
        shape = DIGITS[ch]
        cx = x0 + n * 4 * DIGIT_SCALE
        for row, bits in enumerate(shape):
            for col, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(DIGIT_SCALE):
                        for dx in range(DIGIT_SCALE):
                            put(cx + col * DIGIT_SCALE + dx, y0 + row * DIGIT_SCALE + dy, DIGIT)
    return px


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = bytearray()
    for row in pixels:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))
    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    for rating in range(STEPS + 1):
        path = os.path.join(out, "%d_rating%d.png" % (FIRST_ID + rating, rating))
        with open(path, "wb") as f:
            f.write(png(draw(rating)))


if __name__ == "__main__":
    main()
