"""Draws the uninstaller's icon: a blue rounded square with a white cross.

make_icon.py OUT.ico writes 14 images: 48, 32, 24 and 16 px with a 256-colour
palette, then 256, 128, 96, 80, 72 and 64 px as PNG and 48, 32, 24 and 16 px with
8-bit alpha. Standard library only, so the build needs nothing more.
"""

import struct
import sys
import zlib

PALETTED_SIZES = (48, 32, 24, 16)
TRUE_COLOUR_SIZES = (256, 128, 96, 80, 72, 64, 48, 32, 24, 16)
SAMPLES = 3  # per axis, for smooth edges


def _inside_rounded_square(u, v, margin=0.04, radius=0.2):
    # Distance from the square shrunk by the corner radius.
    lo, hi = margin + radius, 1.0 - margin - radius
    dx = max(lo - u, 0.0, u - hi)
    dy = max(lo - v, 0.0, v - hi)
    return dx * dx + dy * dy <= radius * radius


def _on_cross(u, v, reach=0.25, half_width=0.075):
    x, y = u - 0.5, v - 0.5
    if abs(x) > reach or abs(y) > reach:
        return False
    # Distance to either diagonal, scaled by 1/sqrt(2).
    return min(abs(x - y), abs(x + y)) * 0.7071 <= half_width


def _sample(u, v):
    """(r, g, b, a) at a point of the unit square, top-left origin."""
    if not _inside_rounded_square(u, v):
        return (0, 0, 0, 0)
    if _on_cross(u, v):
        return (255, 255, 255, 255)
    # Lighter at the top.
    return (int(60 - 35 * v), int(140 - 70 * v), int(230 - 80 * v), 255)


def render(size):
    """Rows of (r, g, b, a), top row first, with the alpha premultiplied out."""
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = _sample((px + (sx + 0.5) / SAMPLES) / size,
                                         (py + (sy + 0.5) / SAMPLES) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], acc[3] // n))
        rows.append(row)
    return rows


def _mask(rows):
    """The AND mask, bottom row first: 1 where the pixel is transparent."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def _info_header(size, bit_count, image_bytes):
    # Height doubled: colour bits and mask together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0, image_bytes, 0, 0, 0, 0)


# A 6x6x6 colour cube, then a grey ramp.
PALETTE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE += [(i * 255 // 39, i * 255 // 39, i * 255 // 39) for i in range(40)]


def _nearest(colour):
    r, g, b = colour
    return min(range(256), key=lambda i: (PALETTE[i][0] - r) ** 2 + (PALETTE[i][1] - g) ** 2 +
               (PALETTE[i][2] - b) ** 2)


def paletted_bmp(size):
    rows = render(size)
    stride = (size + 3) & ~3
    cache = {}
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            if a >= 128:
                key = (r, g, b)
                if key not in cache:
                    cache[key] = _nearest(key)
                line[x] = cache[key]
        pixels += line
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    mask = _mask(rows)
    return _info_header(size, 8, len(pixels) + len(mask)) + palette + bytes(pixels) + mask


def true_colour_bmp(size):
    rows = render(size)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = _mask(rows)
    return _info_header(size, 32, len(pixels) + len(mask)) + bytes(pixels) + mask


def png(size):
    rows = render(size)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(pixel)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


def icon():
    images = [(size, 8, paletted_bmp(size)) for size in PALETTED_SIZES]
    # Sizes above 48 px are drawn only by Windows versions that read PNG
    # images; as PNG they take a few kilobytes instead of 170.
    images += [(size, 32, png(size) if size > 48 else true_colour_bmp(size))
               for size in TRUE_COLOUR_SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bit_count, data in images:
        # 0 stands for 256 in the size bytes; 0 colours means 256 or more.
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bit_count, len(data),
                           offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(icon())
