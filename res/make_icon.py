#!/usr/bin/env python3
"""Writes res/tessel.ico: two 32 x 32 images of one picture, a 3 x 3 mosaic
whose last tile is being lowered into its empty slot.

Image 1 has 4 bits per pixel with the picture's own palette (only its ten
colours: biClrUsed), which holds the picture exactly; Windows draws it at
every size and colour depth (it scales the 32 x 32 image for small icons
and maps the palette on displays of fewer colours). Image 2 is the same
picture in black and white, for monochrome displays.
Both have a 1-bit transparency mask. The picture has hard edges only, so a
32-bit image with alpha would look the same and cost 4 KiB more in the
program, and an 8-bit copy beside the 4-bit one would only cost it 1 KiB.
No packages needed: the ICO and BMP bytes are written by hand.

Usage: res/make_icon.py [OUT.ico]   (default: res/tessel.ico beside this file)
"""
import os
import struct
import sys

SIZE = 32

# Palette of the picture (RGB).
GROUT = (60, 64, 72)
TILE_LIGHT = (96, 170, 220)
TILE = (40, 120, 190)
TILE_DARK = (20, 70, 130)
SLOT = (28, 30, 36)
NEW_LIGHT = (255, 200, 90)
NEW = (235, 150, 30)
NEW_DARK = (170, 90, 10)
ARROW = (255, 255, 255)


def draw():
    """Returns SIZE x SIZE rows of (r, g, b, a), top row first."""
    px = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]

    def put(x, y, rgb, a=255):
        if 0 <= x < SIZE and 0 <= y < SIZE:
            px[y][x] = (rgb[0], rgb[1], rgb[2], a)

    def rect(x0, y0, x1, y1, rgb, a=255):
        for y in range(y0, y1):
            for x in range(x0, x1):
                put(x, y, rgb, a)

    def tile(x0, y0, light, face, dark):
        # 8 x 8 tile: light top/left bevel, dark bottom/right bevel.
        rect(x0, y0, x0 + 8, y0 + 8, face)
        rect(x0, y0, x0 + 8, y0 + 1, light)
        rect(x0, y0, x0 + 1, y0 + 8, light)
        rect(x0, y0 + 7, x0 + 8, y0 + 8, dark)
        rect(x0 + 7, y0, x0 + 8, y0 + 8, dark)

    # The board: 3 x 3 cells of 8 px with 1 px grout, inside a 1 px frame,
    # in the lower part of the icon so the lifted tile fits above.
    bx, by = 2, 4
    rect(bx, by, bx + 28, by + 28, GROUT)
    for row in range(3):
        for col in range(3):
            x0 = bx + 1 + col * 9
            y0 = by + 1 + row * 9
            if (row, col) == (2, 2):
                rect(x0, y0, x0 + 8, y0 + 8, SLOT)   # the empty slot
            else:
                tile(x0, y0, TILE_LIGHT, TILE, TILE_DARK)

    # The new tile, lifted 5 px above its slot and a little to the left,
    # casting a shadow into the slot.
    sx, sy = bx + 1 + 2 * 9, by + 1 + 2 * 9
    rect(sx + 1, sy + 1, sx + 8, sy + 8, (0, 0, 0), 255)
    nx, ny = sx - 2, sy - 6
    tile(nx, ny, NEW_LIGHT, NEW, NEW_DARK)
    # A small arrow on the new tile pointing down into the slot.
    for x in range(nx + 3, nx + 5):
        for y in range(ny + 2, ny + 5):
            put(x, y, ARROW)
    for i, y in enumerate(range(ny + 4, ny + 7)):
        for x in range(nx + 1 + i, nx + 7 - i):
            put(x, y, ARROW)
    return px


def and_mask(px):
    """1 bit per pixel, 1 = transparent; rows bottom-up, padded to 32 bits."""
    out = bytearray()
    for row in reversed(px):
        bits = 0
        for x, p in enumerate(row):
            if p[3] < 128:
                bits |= 1 << (31 - x)
        out += struct.pack(">I", bits)
    return bytes(out)


def info_header(bpp, colours):
    # BITMAPINFOHEADER; an icon's height counts the XOR and AND bitmaps.
    image_bytes = SIZE * SIZE * bpp // 8 + SIZE * 4
    return struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, bpp, 0,
                       image_bytes, 0, 0, colours, 0)


def image4(px):
    colours = sorted({p[:3] for row in px for p in row if p[3] >= 128})
    assert len(colours) <= 16
    index = {c: i for i, c in enumerate(colours)}
    # Only the colours the picture uses: biClrUsed says how many entries the
    # palette holds (the BMP rule every icon loader follows).
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    xor = bytearray()
    for row in reversed(px):
        idx = [index[p[:3]] if p[3] >= 128 else 0 for p in row]
        for i in range(0, SIZE, 2):
            xor.append((idx[i] << 4) | idx[i + 1])
    return info_header(4, len(colours)) + palette + bytes(xor) + and_mask(px)


def image1(px):
    # White: the tiles, the new tile's bevels and its arrow; black: the
    # grout, the slot, the shadow and the new tile's face, so the new tile
    # stands out from the tile behind it as a white outline round a black
    # face with a white arrow.
    white = {TILE_LIGHT, TILE, TILE_DARK, NEW_LIGHT, NEW_DARK, ARROW}
    palette = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    xor = bytearray()
    for row in reversed(px):
        bits = 0
        for x, p in enumerate(row):
            if p[3] >= 128 and p[:3] in white:
                bits |= 1 << (31 - x)
        xor += struct.pack(">I", bits)
    return info_header(1, 2) + palette + bytes(xor) + and_mask(px)


def ico(images):
    """images: list of (colour count byte, bits per pixel, bytes)."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for colours, bpp, data in images:
        out += struct.pack("<BBBBHHII", SIZE, SIZE, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "tessel.ico")
    px = draw()
    data = ico([(16, 4, image4(px)), (2, 1, image1(px))])
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {len(data)} bytes")


if __name__ == "__main__":
    main()
