#!/usr/bin/env python3
"""Draws the applet's icon, px71.ico: an ExpressCard in its slot, at 16x16 and 32x32
in the 16 standard VGA colours. Run it to regenerate the committed file."""
import struct
import sys

# The 16 standard colours, as BGR0 palette entries.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_BLUE, GREY, LIGHT_GREY, WHITE, YELLOW, BLUE = 0, 4, 8, 7, 15, 11, 12


def draw(size):
    """Returns rows (top first) of palette indices, and the transparency mask."""
    s = size / 32.0
    pixels = [[None] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    pixels[y][x] = colour

    rect(2, 20, 30, 30, GREY)        # the slot
    rect(3, 21, 29, 29, BLACK)
    rect(7, 2, 25, 26, DARK_BLUE)    # the card, half inserted
    rect(8, 3, 24, 25, BLUE)
    rect(9, 5, 23, 9, YELLOW)        # its label
    rect(10, 12, 22, 14, WHITE)
    rect(10, 16, 18, 18, WHITE)
    rect(9, 23, 23, 26, LIGHT_GREY)  # the contacts
    return pixels


def image(size):
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):  # bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, colour in enumerate(row):
            value = 0 if colour is None else colour
            line[x // 2] |= value << (4 if x % 2 == 0 else 0)
            if colour is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    return header + palette + bytes(xor) + bytes(mask)


def main(path):
    images = [image(16), image(32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "px71.ico")
