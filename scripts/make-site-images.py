#!/usr/bin/env python3
"""Draws the administration site's two images and writes them as GIF files.

    scripts/make-site-images.py [OUTPUT-DIR] [--preview DIR]

OUTPUT-DIR defaults to site/ beside this script's directory. The images are:

    moatkeep.gif  245x58  the product banner: a keep standing in its moat and
                          the name "Moatkeep" with the line "proxy & relay gateway"
    help.gif       48x23  the small "Help" button shown beside headings

Only the Python standard library is used: shapes are rendered with 4x4
supersampling into an RGB canvas, the colours are reduced to a palette of at
most 256 entries, and a small GIF89a encoder (LZW) writes the file. With
--preview, each GIF just written is read back with the decoder below and
saved as an enlarged PNG for looking at.
"""

import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------------------
# Bitmap font: 5 columns (some glyphs narrower), rows 0-6 above the baseline
# (row 6 sits on it), rows 7-8 for descenders. Lower case letters use rows 2-6.

FONT = {
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "e": [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    "g": [".....", ".....", ".####", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    "k": ["#...", "#...", "#..#", "#.#.", "##..", "#.#.", "#..#"],
    "l": ["##.", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    "o": [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    "p": [".....", ".....", "####.", "#...#", "#...#", "#...#", "####.", "#....", "#...."],
    "r": [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    "t": [".#...", ".#...", "####.", ".#...", ".#...", ".#..#", "..##."],
    "w": [".....", ".....", "#...#", "#...#", "#.#.#", "#.#.#", ".#.#."],
    "x": [".....", ".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#"],
    "y": [".....", ".....", "#...#", "#...#", "#...#", "#...#", ".####", "....#", ".###."],
    "&": [".##..", "#..#.", "#.#..", ".#...", "#.#.#", "#..#.", ".##.#"],
    " ": ["...", "...", "...", "...", "...", "...", "..."],
}
FONT_ROWS = 9


def glyph(ch):
    rows = FONT[ch]
    width = len(rows[0])
    assert all(len(r) == width for r in rows), ch
    return rows + ["." * width] * (FONT_ROWS - len(rows))


def text_width(text, gap=1):
    """Width of a text in font columns."""
    return sum(len(glyph(c)[0]) for c in text) + gap * (len(text) - 1)


def text_pixels(text, gap=1):
    """The lit font cells of a text as (column, row) pairs."""
    cells = []
    x = 0
    for ch in text:
        rows = glyph(ch)
        for r, line in enumerate(rows):
            for c, mark in enumerate(line):
                if mark == "#":
                    cells.append((x + c, r))
        x += len(rows[0]) + gap
    return cells


# ---------------------------------------------------------------------------
# Canvas: floating-point RGB, shapes given as "inside" tests, blended with
# their coverage (16 samples per pixel).

SAMPLES = [((i + 0.5) / 4.0, (j + 0.5) / 4.0) for j in range(4) for i in range(4)]


class Canvas:
    def __init__(self, width, height, background):
        self.width = width
        self.height = height
        self.pixels = [list(background) for _ in range(width * height)]

    def blend(self, x, y, colour, alpha):
        if 0 <= x < self.width and 0 <= y < self.height and alpha > 0:
            p = self.pixels[y * self.width + x]
            for k in range(3):
                p[k] = p[k] * (1 - alpha) + colour[k] * alpha

    def fill(self, inside, box, colour, alpha=1.0):
        """Fill the shape `inside(x, y)` (sample coordinates, pixel centres at
        +0.5) within box = (x0, y0, x1, y1); `colour` is an RGB triple or a
        function of (x, y) giving one."""
        x0, y0, x1, y1 = box
        for y in range(max(0, int(math.floor(y0))), min(self.height, int(math.ceil(y1)) + 1)):
            for x in range(max(0, int(math.floor(x0))), min(self.width, int(math.ceil(x1)) + 1)):
                hits = sum(1 for sx, sy in SAMPLES if inside(x + sx, y + sy))
                if hits:
                    c = colour(x + 0.5, y + 0.5) if callable(colour) else colour
                    self.blend(x, y, c, alpha * hits / len(SAMPLES))

    def set(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y * self.width + x] = list(colour)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def capsule(ax, ay, bx, by, r):
    """Points within r of the segment from a to b."""
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= r * r
    return inside


def stroked_text(text, left, top, scale, radius, gap=1):
    """A text whose font cells are joined by round strokes (horizontal and
    vertical neighbours, and diagonal ones where no corner cell is lit), so
    that large letters come out smooth. Returns (inside, box)."""
    lit = set(text_pixels(text, gap))
    segments = []
    for (c, r) in lit:
        segments.append((c, r, c, r))
        for dc, dr in ((1, 0), (0, 1)):
            if (c + dc, r + dr) in lit:
                segments.append((c, r, c + dc, r + dr))
        for dc, dr in ((1, 1), (-1, 1)):
            if (c + dc, r + dr) in lit and (c + dc, r) not in lit and (c, r + dr) not in lit:
                segments.append((c, r, c + dc, r + dr))
    shapes = [capsule(left + (a + 0.5) * scale, top + (b + 0.5) * scale,
                      left + (c + 0.5) * scale, top + (d + 0.5) * scale, radius)
              for a, b, c, d in segments]
    # Group the strokes per column band so that a sample tests only nearby ones.
    band = {}
    for (a, b, c, d), s in zip(segments, shapes):
        for col in range(min(a, c), max(a, c) + 1):
            band.setdefault(col, []).append(s)

    def inside(x, y):
        col = int((x - left) / scale)
        for k in (col - 1, col, col + 1):
            for s in band.get(k, ()):
                if s(x, y):
                    return True
        return False

    box = (left - radius, top - radius,
           left + text_width(text, gap) * scale + radius, top + FONT_ROWS * scale + radius)
    return inside, box


def pixel_text(canvas, text, left, top, colour, scale=1, gap=1):
    """A text drawn cell for cell, each cell a scale x scale block: crisp at
    small sizes."""
    for c, r in text_pixels(text, gap):
        for dy in range(scale):
            for dx in range(scale):
                canvas.set(left + c * scale + dx, top + r * scale + dy, colour)


def mix(a, b, t):
    return tuple(a[k] + (b[k] - a[k]) * t for k in range(3))


def hexrgb(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


# ---------------------------------------------------------------------------
# The two images.

WHITE = (255, 255, 255)
NAVY_TOP = hexrgb("#24497d")
NAVY_BOTTOM = hexrgb("#102a4c")
STONE = hexrgb("#dfe3e8")
STONE_SHADE = hexrgb("#b7bfca")
DOOR = hexrgb("#16304f")
WATER = hexrgb("#3f9ad8")
WATER_LIGHT = hexrgb("#8cc8f0")
GOLD = hexrgb("#f4c54f")
TAGLINE = hexrgb("#b4cdeb")


def draw_banner():
    w, h = 245, 58
    cv = Canvas(w, h, WHITE)
    sky = lambda x, y: mix(NAVY_TOP, NAVY_BOTTOM, y / h)
    cv.fill(rounded_rect(0, 0, w, h, 9), (0, 0, w, h), sky)

    # The keep: a tower with four merlons, an arched window and an arched door.
    tx0, tx1, ty0, ty1 = 15.0, 47.0, 17.0, 46.0
    tower = union(rect(tx0, ty0, tx1, ty1),
                  *[rect(tx0 + i * 9.0, 9.0, tx0 + i * 9.0 + 5.0, ty0 + 1) for i in range(4)])
    stone = lambda x, y: STONE_SHADE if x > tx1 - 6 else STONE
    cv.fill(tower, (tx0, 9, tx1, ty1), stone)
    cx = (tx0 + tx1) / 2
    cv.fill(union(rect(cx - 1.6, 23, cx + 1.6, 29), disc(cx, 23, 1.6)), (cx - 3, 20, cx + 3, 30), DOOR)
    cv.fill(union(rect(cx - 5, 38, cx + 5, ty1), disc(cx, 38, 5)), (cx - 6, 32, cx + 6, ty1), DOOR)

    # The moat: water with a wavy surface, and a lighter ripple line.
    surface = lambda x: 45.0 + 1.4 * math.sin(x * 0.55)
    water = lambda x, y: 6 <= x <= 56 and surface(x) <= y <= 53.5
    cv.fill(water, (6, 42, 57, 54), WATER)
    ripple = lambda x, y: 8 <= x <= 54 and abs(y - (surface(x + 3.0) + 4.2)) <= 0.55
    cv.fill(ripple, (7, 44, 55, 53), WATER_LIGHT)

    # The name: "Moat" in white, "keep" in gold, with a soft shadow.
    scale, radius = 3.5, 1.6
    left, top = 66.0, 5.0
    moat_w = (text_width("Moat") + 1) * scale
    shadow, box = stroked_text("Moatkeep", left + 1.2, top + 1.4, scale, radius)
    cv.fill(shadow, box, hexrgb("#050f1e"), 0.55)
    moat, box = stroked_text("Moat", left, top, scale, radius)
    cv.fill(moat, box, WHITE)
    keep, box = stroked_text("keep", left + moat_w, top, scale, radius)
    cv.fill(keep, box, GOLD)

    pixel_text(cv, "proxy & relay gateway", 68, 44, TAGLINE)
    return cv


def draw_help_button():
    w, h = 48, 23
    cv = Canvas(w, h, WHITE)
    cv.fill(rounded_rect(0, 0, w, h, 5), (0, 0, w, h), hexrgb("#0f2545"))
    face = lambda x, y: mix(hexrgb("#4f82c6"), hexrgb("#1f4a84"), y / h)
    cv.fill(rounded_rect(1, 1, w - 1, h - 1, 4), (1, 1, w - 1, h - 1), face)
    cv.fill(lambda x, y: 3 <= x <= w - 3 and 1.2 <= y <= 2.2, (2, 1, w - 2, 3), hexrgb("#9bbde8"), 0.8)
    # "Help" in smooth white strokes with a dark shadow, centred.
    scale, radius, top = 1.75, 0.9, 3.0
    left = (w - text_width("Help") * scale) / 2
    shadow, box = stroked_text("Help", left + 0.8, top + 0.9, scale, radius)
    cv.fill(shadow, box, hexrgb("#0b1d38"), 0.7)
    label, box = stroked_text("Help", left, top, scale, radius)
    cv.fill(label, box, WHITE)
    return cv


# ---------------------------------------------------------------------------
# Palette reduction and the GIF89a writer.

def palettise(canvas):
    """Indices and palette (at most 256 colours): the channels are rounded to
    ever coarser steps until the image has few enough colours."""
    for step in (1, 2, 4, 8, 16, 32):
        rounded = [tuple(min(255, int(round(v / step)) * step) for v in p) for p in canvas.pixels]
        colours = sorted(set(rounded))
        if len(colours) <= 256:
            index = {c: i for i, c in enumerate(colours)}
            return [index[c] for c in rounded], colours
    raise ValueError("too many colours")


def lzw_encode(indices, min_code_size):
    """GIF's variable-length LZW: codes packed least significant bit first."""
    clear = 1 << min_code_size
    end = clear + 1
    out = bytearray()
    bits = 0
    nbits = 0

    def emit(code, size):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    def reset():
        return {}, end + 1, min_code_size + 1

    table, next_code, size = reset()
    emit(clear, size)
    if not indices:
        emit(end, size)
    else:
        prefix = indices[0]
        for k in indices[1:]:
            key = (prefix, k)
            if key in table:
                prefix = table[key]
                continue
            emit(prefix, size)
            if next_code < 4096:
                table[key] = next_code
                next_code += 1
                # The decoder learns each entry one code later, so a wider code
                # is needed only once the table holds more than 2**size codes.
                if next_code > (1 << size) and size < 12:
                    size += 1
            else:
                emit(clear, size)
                table, next_code, size = reset()
            prefix = k
        emit(prefix, size)
        emit(end, size)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def gif_bytes(width, height, indices, palette):
    depth = max(1, (len(palette) - 1).bit_length())
    table = list(palette) + [(0, 0, 0)] * ((1 << depth) - len(palette))
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", width, height, 0x80 | ((depth - 1) << 4) | (depth - 1), 0, 0)
    for r, g, b in table:
        data += bytes((r, g, b))
    data += struct.pack("<BHHHHB", 0x2C, 0, 0, width, height, 0)
    min_code_size = max(2, depth)
    data.append(min_code_size)
    stream = lzw_encode(indices, min_code_size)
    for i in range(0, len(stream), 255):
        chunk = stream[i:i + 255]
        data.append(len(chunk))
        data += chunk
    data.append(0)
    data.append(0x3B)
    return bytes(data)


def write_gif(path, canvas):
    indices, palette = palettise(canvas)
    with open(path, "wb") as f:
        f.write(gif_bytes(canvas.width, canvas.height, indices, palette))
    return len(palette)


# ---------------------------------------------------------------------------
# Reading back (for the previews): a plain GIF decoder for one image with a
# global colour table, and a PNG writer.

def read_gif(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] not in (b"GIF87a", b"GIF89a"):
        raise ValueError("not a GIF file")
    width, height, flags = struct.unpack_from("<HHB", data, 6)
    pos = 13
    palette = []
    if flags & 0x80:
        count = 2 << (flags & 7)
        palette = [tuple(data[pos + 3 * i:pos + 3 * i + 3]) for i in range(count)]
        pos += 3 * count
    while data[pos] == 0x21:  # extensions: skip their sub-blocks
        pos += 2
        while data[pos]:
            pos += data[pos] + 1
        pos += 1
    if data[pos] != 0x2C:
        raise ValueError("no image descriptor")
    if data[pos + 9] & 0xC0:
        raise ValueError("local colour tables and interlacing are not read here")
    pos += 10
    min_code_size = data[pos]
    pos += 1
    stream = bytearray()
    while data[pos]:
        stream += data[pos + 1:pos + 1 + data[pos]]
        pos += data[pos] + 1
    return width, height, palette, lzw_decode(bytes(stream), min_code_size, width * height)


def lzw_decode(stream, min_code_size, count):
    clear = 1 << min_code_size
    end = clear + 1
    out = []
    bitpos = 0
    total_bits = len(stream) * 8
    table = None
    size = min_code_size + 1
    previous = None
    while bitpos + size <= total_bits and len(out) < count:
        code = 0
        for i in range(size):
            if stream[(bitpos + i) >> 3] >> ((bitpos + i) & 7) & 1:
                code |= 1 << i
        bitpos += size
        if code == clear:
            table = [[i] for i in range(clear)] + [None, None]
            size = min_code_size + 1
            previous = None
            continue
        if code == end:
            break
        if table is None:
            raise ValueError("no clear code at the start")
        if previous is None:
            entry = table[code]
        else:
            if code < len(table):
                entry = table[code]
                new = table[previous] + [entry[0]]
            elif code == len(table):
                new = table[previous] + [table[previous][0]]
                entry = new
            else:
                raise ValueError("bad code %d" % code)
            if len(table) < 4096:
                table.append(new)
                if len(table) == (1 << size) and size < 12:
                    size += 1
        out.extend(entry)
        previous = code
    if len(out) < count:
        raise ValueError("image data ends early")
    return out[:count]


def write_png(path, width, height, rgb_rows):
    def chunk(kind, payload):
        return (struct.pack(">I", len(payload)) + kind + payload
                + struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rgb_rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def preview(gif_path, png_path, zoom):
    width, height, palette, indices = read_gif(gif_path)
    rows = []
    for y in range(height):
        row = [palette[indices[y * width + x]] for x in range(width) for _ in range(zoom)]
        rows.extend([row] * zoom)
    write_png(png_path, width * zoom, height * zoom, rows)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = os.path.join(here, "..", "site")
    preview_dir = None
    args = list(argv)
    if "--preview" in args:
        i = args.index("--preview")
        preview_dir = args[i + 1]
        del args[i:i + 2]
    if args:
        out_dir = args[0]
    os.makedirs(out_dir, exist_ok=True)
    for name, draw, zoom in (("moatkeep.gif", draw_banner, 4), ("help.gif", draw_help_button, 8)):
        path = os.path.join(out_dir, name)
        colours = write_gif(path, draw())
        print("%s: %d colours, %d bytes" % (path, colours, os.path.getsize(path)))
        if preview_dir:
            os.makedirs(preview_dir, exist_ok=True)
            png = os.path.join(preview_dir, name[:-4] + ".png")
            preview(path, png, zoom)
            print("preview: %s" % png)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
