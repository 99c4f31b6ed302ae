#!/usr/bin/python3
"""Draws the page's images (logos, icons, waiting animation) into ../img/.

Only the standard library is used: shapes (and the stroked letters of the
word mark) are rasterized with 4x4 supersampling, PNG files are written with zlib and the GIF animation with a
small LZW encoder. Run it again after changing a drawing; commit the results.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUT = os.path.join(os.path.dirname(HERE), "img")

BRAND = (41, 151, 214)        # cloud blue
BRAND_DARK = (18, 92, 150)
INK = (29, 43, 58)            # text on light backgrounds
WHITE = (255, 255, 255)


# ---------------------------------------------------------------- shapes
# A shape is a function (x, y) -> bool in image coordinates.

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def cloud(cx, cy, size):
    """A cloud whose bounding box is about size wide and 0.62 size high, centred on (cx, cy)."""
    s = size
    base = rounded_rect(cx - 0.46 * s, cy + 0.02 * s, cx + 0.46 * s, cy + 0.30 * s, 0.14 * s)
    return union(base,
                 circle(cx - 0.22 * s, cy + 0.06 * s, 0.20 * s),
                 circle(cx + 0.06 * s, cy - 0.06 * s, 0.27 * s),
                 circle(cx + 0.28 * s, cy + 0.10 * s, 0.17 * s))


# ---------------------------------------------------------------- canvas

class Canvas:
    SAMPLES = 4

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]  # premultiplied

    def fill(self, shape, color, bbox=None, alpha=1.0):
        """Blends color over the pixels covered by the shape (coverage from supersampling)."""
        x0, y0, x1, y1 = bbox if bbox else (0, 0, self.width, self.height)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, int(math.ceil(x1))), min(self.height, int(math.ceil(y1)))
        n = self.SAMPLES
        offsets = [(i + 0.5) / n for i in range(n)]
        for py in range(y0, y1):
            for px in range(x0, x1):
                hits = 0
                for oy in offsets:
                    for ox in offsets:
                        if shape(px + ox, py + oy):
                            hits += 1
                if hits == 0:
                    continue
                a = alpha * hits / (n * n)
                p = self.pixels[py * self.width + px]
                for c in range(3):
                    p[c] = color[c] / 255.0 * a + p[c] * (1 - a)
                p[3] = a + p[3] * (1 - a)

    def vertical_gradient(self, shape, top, bottom):
        for py in range(self.height):
            t = py / max(1, self.height - 1)
            color = tuple(int(top[c] + (bottom[c] - top[c]) * t) for c in range(3))
            self.fill(shape, color, (0, py, self.width, py + 1))

    def rgba_rows(self):
        rows = []
        for py in range(self.height):
            row = bytearray()
            for px in range(self.width):
                r, g, b, a = self.pixels[py * self.width + px]
                if a > 0:
                    row += bytes((int(round(r / a * 255)), int(round(g / a * 255)),
                                  int(round(b / a * 255)), int(round(a * 255))))
                else:
                    row += b"\0\0\0\0"
            rows.append(bytes(row))
        return rows


def write_png(path, canvas):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xffffffff)

    raw = b"".join(b"\0" + row for row in canvas.rgba_rows())
    header = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


# ---------------------------------------------------------------- lettering
# A geometric stroke alphabet: each letter is a list of polylines in a box
# whose cap height is 1, drawn with round-ended strokes.

def arc(cx, cy, rx, ry, start_deg, end_deg, steps=24):
    points = []
    for i in range(steps + 1):
        a = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        points.append((cx + rx * math.cos(a), cy + ry * math.sin(a)))
    return points


# (advance width, polylines); y grows downwards.
STROKE_GLYPHS = {
    "Q": (1.0, [arc(0.47, 0.5, 0.47, 0.5, 0, 360, 48), [(0.62, 0.72), (0.98, 1.04)]]),
    "U": (0.8, [[(0.0, 0.0), (0.0, 0.6)] + arc(0.4, 0.6, 0.4, 0.4, 180, 0) + [(0.8, 0.0)]]),
    "E": (0.66, [[(0.66, 0.0), (0.0, 0.0), (0.0, 1.0), (0.66, 1.0)], [(0.0, 0.5), (0.56, 0.5)]]),
    "L": (0.6, [[(0.0, 0.0), (0.0, 1.0), (0.6, 1.0)]]),
    "B": (0.74, [[(0.0, 0.5), (0.0, 0.0), (0.42, 0.0)] + arc(0.42, 0.24, 0.24, 0.24, -90, 90) + [(0.0, 0.48)],
                 [(0.0, 0.48), (0.0, 1.0), (0.46, 1.0)] + arc(0.46, 0.74, 0.28, 0.26, 90, -90) + [(0.0, 0.48)]]),
    "Y": (0.84, [[(0.0, 0.0), (0.42, 0.52), (0.84, 0.0)], [(0.42, 0.52), (0.42, 1.0)]]),
}


def segment_distance2(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    qx, qy = ax + t * dx - px, ay + t * dy - py
    return qx * qx + qy * qy


def word_shapes(text, x, y, height, weight, tracking):
    """(shape, bbox) per letter of text; top-left at (x, y), cap height in pixels."""
    shapes = []
    cursor = x
    half = weight / 2
    for letter in text:
        advance, lines = STROKE_GLYPHS[letter]
        segments = []
        for line in lines:
            pts = [(cursor + u * height * 0.9, y + v * height) for u, v in line]
            segments += [(pts[i][0], pts[i][1], pts[i + 1][0], pts[i + 1][1]) for i in range(len(pts) - 1)]

        def inside(px, py, segments=segments):
            for ax, ay, bx, by in segments:
                if segment_distance2(px, py, ax, ay, bx, by) <= half * half:
                    return True
            return False

        width = advance * height * 0.9
        bbox = (cursor - half - 1, y - half - 1, cursor + width + half + 2, y + height * 1.06 + half + 2)
        shapes.append((inside, bbox))
        cursor += width + tracking
    return shapes, cursor - tracking - x


# ---------------------------------------------------------------- images

def logo(path, cloud_color, text_color, accent_color):
    """Cloud mark and "QUELBY" word mark on a transparent background, drawn at
    twice the size at which the page shows it, for sharp high-density screens."""
    height = 96
    mark = 104
    gap = 26
    cap = 44
    weight = 9.0
    letters, word_width = word_shapes("QUELBY", mark + gap, (height - cap) / 2, cap, weight, 11)
    width = int(mark + gap + word_width + weight + 4)
    canvas = Canvas(width, height)

    canvas.fill(cloud(mark / 2, height / 2 - 4, mark), cloud_color, (0, 0, mark + 4, height))
    # An upward arrow through the cloud: what the plug-in does.
    arrow = union(rect(mark / 2 - 4.4, height / 2 - 2, mark / 2 + 4.4, height / 2 + 22),
                  lambda x, y: (y >= height / 2 - 18 and y <= height / 2 + 2 and
                                abs(x - mark / 2) <= (y - (height / 2 - 18)) * 0.8))
    canvas.fill(arrow, accent_color, (0, 0, mark + 4, height))

    for shape, bbox in letters:
        canvas.fill(shape, text_color, bbox)
    write_png(path, canvas)


def favicon(path, size):
    canvas = Canvas(size, size)
    radius = max(2, size * 0.2)
    tile = rounded_rect(0, 0, size, size, radius)
    canvas.vertical_gradient(tile, BRAND, BRAND_DARK)
    canvas.fill(cloud(size / 2, size / 2 - size * 0.02, size * 0.78), WHITE)
    if size >= 32:
        arrow = union(rect(size / 2 - size * 0.045, size * 0.50, size / 2 + size * 0.045, size * 0.70),
                      lambda x, y: (y >= size * 0.34 and y <= size * 0.51 and
                                    abs(x - size / 2) <= (y - size * 0.34) * 0.85))
        canvas.fill(arrow, BRAND)
    write_png(path, canvas)


def lzw_encode(indices, min_code_size):
    """GIF flavour of LZW: variable code width up to 12 bits, clear code when the table is full."""
    clear = 1 << min_code_size
    end = clear + 1
    table = {bytes([i]): i for i in range(clear)}
    next_code = end + 1
    width = min_code_size + 1
    bits = 0
    nbits = 0
    out = bytearray()

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(bits & 0xff)
            bits >>= 8
            nbits -= 8

    emit(clear)
    current = b""
    for value in indices:
        candidate = current + bytes([value])
        if candidate in table:
            current = candidate
            continue
        emit(table[current])
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear)
            table = {bytes([i]): i for i in range(clear)}
            next_code = end + 1
            width = min_code_size + 1
        current = bytes([value])
    if current:
        emit(table[current])
    emit(end)
    if nbits > 0:
        out.append(bits & 0xff)
    return bytes(out)


def write_gif(path, width, height, palette, frames, delay_cs, transparent):
    """palette: list of RGB (padded to a power of two); frames: lists of palette indices."""
    size_bits = max(1, (len(palette) - 1).bit_length())
    entries = 1 << size_bits
    palette = palette + [(0, 0, 0)] * (entries - len(palette))
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", width, height, 0x80 | ((size_bits - 1) << 4) | (size_bits - 1), 0, 0)
    for r, g, b in palette:
        data += bytes((r, g, b))
    data += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    min_code_size = max(2, size_bits)
    for frame in frames:
        data += b"\x21\xf9\x04" + bytes((0x09,)) + struct.pack("<H", delay_cs) + bytes((transparent, 0))
        data += b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0)
        data += bytes((min_code_size,))
        encoded = lzw_encode(frame, min_code_size)
        for i in range(0, len(encoded), 255):
            block = encoded[i:i + 255]
            data += bytes((len(block),)) + block
        data += b"\x00"
    data += b"\x3b"
    with open(path, "wb") as f:
        f.write(data)


def ajax_loader(path):
    """Twelve dots on a ring; the bright one turns, the others fade behind it."""
    size = 24
    dots = 12
    levels = 8  # shades from the brand colour to a light grey, plus transparency at 0
    palette = [(255, 255, 255)]
    for i in range(levels):
        t = i / (levels - 1)
        palette.append(tuple(int(BRAND[c] * (1 - t) + 214 * t) for c in range(3)))

    frames = []
    for frame in range(dots):
        indices = [0] * (size * size)
        for d in range(dots):
            angle = 2 * math.pi * d / dots - math.pi / 2
            cx = size / 2 + math.cos(angle) * 8.5
            cy = size / 2 + math.sin(angle) * 8.5
            age = (frame - d) % dots
            shade = 1 + min(levels - 1, age * (levels - 1) // (dots // 2))
            radius = 2.4 if age == 0 else 2.0
            for py in range(size):
                for px in range(size):
                    if (px + 0.5 - cx) ** 2 + (py + 0.5 - cy) ** 2 <= radius * radius:
                        indices[py * size + px] = shade
        frames.append(indices)
    write_gif(path, size, size, palette, frames, 8, 0)


def main():
    os.makedirs(OUTPUT, exist_ok=True)
    logo(os.path.join(OUTPUT, "quelby-logo-negative.png"), (120, 196, 240), WHITE, (35, 46, 62))
    logo(os.path.join(OUTPUT, "quelby-logo-positive.png"), BRAND, INK, WHITE)
    for size in (16, 32, 96, 194):
        favicon(os.path.join(OUTPUT, "favicon-%dx%d.png" % (size, size)), size)
    ajax_loader(os.path.join(OUTPUT, "ajax-loader.gif"))


if __name__ == "__main__":
    main()
