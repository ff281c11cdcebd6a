#!/usr/bin/env python3
"""Draws the Tavrensil Online application icon and writes res/app.ico.

The emblem is a gold-rimmed sapphire shield carrying a faceted gold "T" on a
rounded dark-blue tile with a gold edge.  The 16 and 24 pixel images drop the
shield and keep a bold, pixel-aligned "T", which stays readable in title bars
and the task bar.

Everything is drawn here with the standard library: shapes are polygons
(curves are flattened), filled with exact horizontal coverage on 16
sub-scanlines per pixel row, and composited in floating point.  The output is
deterministic: the same script writes the same bytes every time.

The icon file holds seven images (16, 24, 32, 48, 64, 128 and 256 pixels),
each a 32-bit BGRA device-independent bitmap with its 1-bit AND mask, not PNG,
so that every icon loader reads them.

Usage:
    python3 tools/make-icon.py                 # writes res/app.ico
    python3 tools/make-icon.py --output FILE   # writes FILE instead
    python3 tools/make-icon.py --preview DIR   # also writes DIR/icon-<size>.png
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
SUBSAMPLES = 16  # sub-scanlines per pixel row

# Colours are sRGB components in 0..1, blended directly (as icon editors do).
def rgb(hex_colour):
    hex_colour = hex_colour.lstrip("#")
    return tuple(int(hex_colour[i:i + 2], 16) / 255.0 for i in (0, 2, 4))


NAVY_CENTRE = rgb("#1f3f86")
NAVY_EDGE = rgb("#081430")
GOLD_LIGHT = rgb("#fff0b0")
GOLD = rgb("#f2c14e")
GOLD_MID = rgb("#d99a26")
GOLD_DARK = rgb("#8c5a12")
SAPPHIRE_TOP = rgb("#3a78e0")
SAPPHIRE_BOTTOM = rgb("#10296e")
WHITE = (1.0, 1.0, 1.0)


def mix(a, b, t):
    t = 0.0 if t < 0.0 else 1.0 if t > 1.0 else t
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


# --------------------------------------------------------------------------
# Geometry: polygons as lists of (x, y) in pixel units, y pointing down.


def arc(cx, cy, r, a0, a1, steps):
    return [(cx + r * math.cos(a0 + (a1 - a0) * i / steps),
             cy + r * math.sin(a0 + (a1 - a0) * i / steps))
            for i in range(steps + 1)]


def rounded_rect(x0, y0, x1, y1, r):
    if r <= 0:
        return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    steps = 12
    pts = []
    pts += arc(x1 - r, y0 + r, r, -math.pi / 2, 0, steps)
    pts += arc(x1 - r, y1 - r, r, 0, math.pi / 2, steps)
    pts += arc(x0 + r, y1 - r, r, math.pi / 2, math.pi, steps)
    pts += arc(x0 + r, y0 + r, r, math.pi, 3 * math.pi / 2, steps)
    return pts


def cubic(p0, p1, p2, p3, steps):
    pts = []
    for i in range(1, steps + 1):
        t = i / steps
        u = 1 - t
        pts.append((u * u * u * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t * t * t * p3[0],
                    u * u * u * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t * t * t * p3[1]))
    return pts


def shield(cx, top, half_width, height):
    """A heater shield: straight top, straight upper sides, curved to a point."""
    left, right, bottom = cx - half_width, cx + half_width, top + height
    shoulder = top + 0.42 * height
    pts = [(left, top), (right, top), (right, shoulder)]
    pts += cubic((right, shoulder), (right, top + 0.78 * height),
                 (cx + 0.30 * half_width, top + 0.90 * height), (cx, bottom), 24)
    pts += cubic((cx, bottom), (cx - 0.30 * half_width, top + 0.90 * height),
                 (left, top + 0.78 * height), (left, shoulder), 24)
    return pts[:-1]


def signed_area(poly):
    s = 0.0
    for i in range(len(poly)):
        x0, y0 = poly[i]
        x1, y1 = poly[(i + 1) % len(poly)]
        s += x0 * y1 - x1 * y0
    return s / 2


def inset_convex(poly, d):
    """Moves every edge of a convex polygon inwards by d (mitred corners)."""
    n = len(poly)
    orient = 1.0 if signed_area(poly) > 0 else -1.0
    normals = []
    for i in range(n):
        x0, y0 = poly[i]
        x1, y1 = poly[(i + 1) % n]
        ex, ey = x1 - x0, y1 - y0
        length = math.hypot(ex, ey) or 1.0
        # inward normal: for a positively oriented polygon (in y-down screen
        # coordinates that is clockwise on screen) the interior is on the right.
        normals.append((-ey / length * orient, ex / length * orient))
    out = []
    for i in range(n):
        na = normals[i - 1]
        nb = normals[i]
        bx, by = na[0] + nb[0], na[1] + nb[1]
        blen = math.hypot(bx, by)
        if blen < 1e-9:
            bx, by, blen = nb[0], nb[1], 1.0
        bx, by = bx / blen, by / blen
        cos_half = bx * nb[0] + by * nb[1]
        scale = d / max(cos_half, 0.2)
        out.append((poly[i][0] + bx * scale, poly[i][1] + by * scale))
    return out


def t_outline(cx, top, bar_half, bar_h, stem_half, bottom):
    """The letter T as an 8-vertex outline, clockwise on screen from top-left."""
    return [(cx - bar_half, top), (cx + bar_half, top),
            (cx + bar_half, top + bar_h), (cx + stem_half, top + bar_h),
            (cx + stem_half, bottom), (cx - stem_half, bottom),
            (cx - stem_half, top + bar_h), (cx - bar_half, top + bar_h)]


def star(cx, cy, r_long, r_short):
    pts = []
    for i in range(8):
        a = -math.pi / 2 + i * math.pi / 4
        r = r_long if i % 2 == 0 else r_short
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


# --------------------------------------------------------------------------
# Rasterisation.


def coverage(size, polygons):
    """Nonzero-winding coverage (0..1) of the union of polygons, per pixel."""
    edges = []
    for poly in polygons:
        n = len(poly)
        for i in range(n):
            x0, y0 = poly[i]
            x1, y1 = poly[(i + 1) % n]
            if y0 == y1:
                continue
            winding = 1
            if y0 > y1:
                x0, y0, x1, y1 = x1, y1, x0, y0
                winding = -1
            edges.append((y0, y1, x0, (x1 - x0) / (y1 - y0), winding))
    cov = [[0.0] * size for _ in range(size)]
    weight = 1.0 / SUBSAMPLES
    for row in range(size):
        acc = cov[row]
        diff = [0.0] * (size + 1)
        for k in range(SUBSAMPLES):
            y = row + (k + 0.5) / SUBSAMPLES
            crossings = [(x0 + (y - y0) * slope, w)
                         for (y0, y1, x0, slope, w) in edges if y0 <= y < y1]
            if not crossings:
                continue
            crossings.sort()
            wind = 0
            for idx in range(len(crossings) - 1):
                wind += crossings[idx][1]
                if wind == 0:
                    continue
                xa = max(crossings[idx][0], 0.0)
                xb = min(crossings[idx + 1][0], float(size))
                if xb <= xa:
                    continue
                ia, ib = int(xa), int(xb)
                if ia == ib:
                    acc[ia] += (xb - xa) * weight
                    continue
                acc[ia] += (ia + 1 - xa) * weight
                if ib < size:
                    acc[ib] += (xb - ib) * weight
                diff[ia + 1] += weight
                diff[ib] -= weight
        run = 0.0
        for x in range(size):
            run += diff[x]
            acc[x] += run
    return cov


class Canvas:
    """Straight-alpha RGBA in floating point, composited with 'over'."""

    def __init__(self, size):
        self.size = size
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]

    def fill(self, polygons, paint, opacity=1.0):
        if isinstance(polygons[0][0], (int, float)):
            polygons = [polygons]
        cov = coverage(self.size, polygons)
        for y in range(self.size):
            row = self.px[y]
            crow = cov[y]
            for x in range(self.size):
                a = crow[x]
                if a <= 0.0:
                    continue
                if a > 1.0:
                    a = 1.0
                a *= opacity
                colour = paint(x + 0.5, y + 0.5) if callable(paint) else paint
                if len(colour) == 4:  # the paint carries its own alpha
                    a *= colour[3]
                r0, g0, b0, a0 = row[x]
                out_a = a + a0 * (1.0 - a)
                if out_a <= 0.0:
                    continue
                keep = a0 * (1.0 - a)
                row[x] = ((colour[0] * a + r0 * keep) / out_a,
                          (colour[1] * a + g0 * keep) / out_a,
                          (colour[2] * a + b0 * keep) / out_a,
                          out_a)

    def bgra_bytes(self):
        """Rows bottom-up, 8-bit BGRA; fully transparent pixels are black."""
        out = bytearray()
        for y in range(self.size - 1, -1, -1):
            for (r, g, b, a) in self.px[y]:
                ai = quantise(a)
                if ai == 0:
                    out += b"\0\0\0\0"
                else:
                    out += bytes((quantise(b), quantise(g), quantise(r), ai))
        return bytes(out)

    def rgba_rows(self):
        rows = []
        for y in range(self.size):
            row = bytearray()
            for (r, g, b, a) in self.px[y]:
                ai = quantise(a)
                row += bytes((quantise(r), quantise(g), quantise(b), ai)) if ai else b"\0\0\0\0"
            rows.append(bytes(row))
        return rows


def quantise(v):
    v = int(v * 255.0 + 0.5)
    return 0 if v < 0 else 255 if v > 255 else v


# --------------------------------------------------------------------------
# The artwork.

LIGHT = (-0.55, -0.835)  # direction towards the light: upper left


def facet_shade(nx, ny):
    """Gold tone of a bevel facet whose outward normal is (nx, ny)."""
    d = nx * LIGHT[0] + ny * LIGHT[1]  # -1 (away from light) .. 1 (facing it)
    if d >= 0:
        return mix(GOLD, GOLD_LIGHT, d)
    return mix(GOLD, GOLD_DARK, -d)


def draw_background(c, s, margin, radius, rim):
    def tile(x, y):
        dx = (x - s * 0.5) / s
        dy = (y - s * 0.42) / s
        return mix(NAVY_CENTRE, NAVY_EDGE, math.hypot(dx, dy) * 1.7)

    def rim_paint(x, y):
        t = (x + y) / (2 * s)
        return mix(GOLD_LIGHT, GOLD_DARK, t * 1.25 - 0.1)

    outer = rounded_rect(margin, margin, s - margin, s - margin, radius)
    c.fill(outer, rim_paint)
    inner = rounded_rect(margin + rim, margin + rim, s - margin - rim, s - margin - rim,
                         max(radius - rim, 0))
    c.fill(inner, tile)


def draw_faceted_t(c, outer, inner, face_top, face_bottom):
    n = len(outer)
    for i in range(n):
        a, b = outer[i], outer[(i + 1) % n]
        ex, ey = b[0] - a[0], b[1] - a[1]
        length = math.hypot(ex, ey)
        # outer outline is clockwise on screen: the outward normal is on the left
        nx, ny = ey / length, -ex / length
        quad = [a, b, inner[(i + 1) % n], inner[i]]
        c.fill(quad, facet_shade(nx, ny))
    top = min(p[1] for p in inner)
    bottom = max(p[1] for p in inner)

    def face(x, y):
        return mix(face_top, face_bottom, (y - top) / max(bottom - top, 1e-6))

    c.fill(inner, face)


def draw_large(s):
    """32 pixels and up: tile, shield and faceted T."""
    c = Canvas(s)
    margin = s * 0.03 if s >= 48 else 0.0
    rim = max(1.0, s * 0.035)
    draw_background(c, s, margin, s * 0.19, rim)

    # soft glow behind the shield, fading out towards its edge
    glow_r = s * 0.40
    glow_c = (s * 0.5, s * 0.47)
    glow = [(glow_c[0] + glow_r * math.cos(2 * math.pi * i / 64),
             glow_c[1] + glow_r * math.sin(2 * math.pi * i / 64)) for i in range(64)]
    glow_colour = rgb("#5a8ae0")

    def glow_paint(x, y):
        d = math.hypot(x - glow_c[0], y - glow_c[1]) / glow_r
        fade = max(0.0, 1.0 - d)
        return glow_colour + (fade * fade,)

    c.fill(glow, glow_paint, opacity=0.35)

    cx = s * 0.5
    top = s * 0.17
    half_w = s * 0.315
    height = s * 0.70
    outer_shield = shield(cx, top, half_w, height)
    shield_rim = max(1.0, s * 0.045)
    inner_shield = inset_convex(outer_shield, shield_rim)

    def shield_rim_paint(x, y):
        t = ((x - (cx - half_w)) + (y - top)) / (2 * half_w + height)
        return mix(GOLD_LIGHT, GOLD_DARK, t * 1.3 - 0.05)

    # a dark outline keeps the shield apart from the gold tile rim
    c.fill(inset_convex(outer_shield, -max(0.6, s * 0.012)), NAVY_EDGE, opacity=0.8)
    c.fill(outer_shield, shield_rim_paint)

    def sapphire(x, y):
        t = (y - top) / height
        colour = mix(SAPPHIRE_TOP, SAPPHIRE_BOTTOM, t)
        if x < cx:  # the left half catches more light
            colour = mix(colour, (0.55, 0.75, 1.0), 0.10)
        return colour

    c.fill(inner_shield, sapphire)

    # the T; below 48 pixels its edges are put on whole pixels
    t_top = top + height * 0.16
    bar_half, bar_h, stem_half = s * 0.205, s * 0.125, s * 0.068
    t_bottom = top + height * 0.80
    if s < 48:
        t_top, bar_half, bar_h = round(t_top), round(bar_half), round(bar_h)
        stem_half, t_bottom = round(stem_half), round(t_bottom)
    outer_t = t_outline(cx, t_top, bar_half, bar_h, stem_half, t_bottom)
    if s >= 48:
        b = s * 0.032
        inner_t = t_outline(cx, t_top + b, bar_half - b, bar_h - 2 * b,
                            stem_half - b, t_bottom - b)
        # a thin shadow under the letter lifts it off the shield
        shadow = [(x + s * 0.012, y + s * 0.018) for (x, y) in outer_t]
        c.fill(shadow, rgb("#050c22"), opacity=0.55)
        draw_faceted_t(c, outer_t, inner_t, rgb("#ffd866"), rgb("#e0a32c"))
        # sparkle on the bar's upper-left end
        sx, sy = cx - s * 0.19, t_top + s * 0.01
        c.fill(star(sx, sy, s * 0.075, s * 0.016), WHITE, opacity=0.95)
    else:
        c.fill([(x + 1, y + 1) for (x, y) in outer_t], rgb("#050c22"), opacity=0.5)

        def flat_gold(x, y):
            return mix(GOLD_LIGHT, GOLD_MID, (y - t_top) / (t_bottom - t_top))
        c.fill(outer_t, flat_gold)
    return c


def draw_small(s):
    """16 and 24 pixels: tile and a bold T on whole pixels."""
    c = Canvas(s)
    if s == 16:
        radius, rim = 3.0, 1.0
        bar = (3, 3, 13, 6)     # x0, y0, x1, y1
        stem = (6, 6, 10, 14)
    else:
        radius, rim = 4.5, 1.0
        bar = (4, 4, 20, 9)
        stem = (9, 9, 15, 21)
    draw_background(c, s, 0.0, radius, rim)

    x0, y0, x1, y1 = bar
    sx0, _, sx1, sy1 = stem
    letter = [(x0, y0), (x1, y0), (x1, y1), (sx1, y1), (sx1, sy1), (sx0, sy1), (sx0, y1), (x0, y1)]

    # one-pixel shadow to the lower right, then the letter
    c.fill([(x + 1, y + 1) for (x, y) in letter], rgb("#02081a"), opacity=0.7)

    def gold(x, y):
        return mix(GOLD_LIGHT, GOLD_MID, (y - y0) / (sy1 - y0))

    c.fill(letter, gold)
    if s == 24:
        # a darker lower edge on the bar and right edge on the stem: a hint of bevel
        c.fill([(sx1 - 1, y1), (sx1, y1), (sx1, sy1), (sx1 - 1, sy1)], GOLD_DARK, opacity=0.6)
        c.fill([(x0, y1 - 1), (sx0, y1 - 1), (sx0, y1), (x0, y1)], GOLD_DARK, opacity=0.6)
        c.fill([(sx1, y1 - 1), (x1, y1 - 1), (x1, y1), (sx1, y1)], GOLD_DARK, opacity=0.6)
    return c


def draw(size):
    return draw_small(size) if size < 32 else draw_large(size)


# --------------------------------------------------------------------------
# Output.


def dib_image(canvas):
    s = canvas.size
    xor = canvas.bgra_bytes()
    mask_stride = ((s + 31) // 32) * 4
    mask = bytearray()
    for y in range(s - 1, -1, -1):
        row = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(canvas.px[y]):
            if quantise(a) == 0:
                row[x >> 3] |= 0x80 >> (x & 7)
        mask += row
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + bytes(mask)


def ico_bytes(canvases):
    count = len(canvases)
    images = [dib_image(c) for c in canvases]
    out = bytearray(struct.pack("<HHH", 0, 1, count))
    offset = 6 + 16 * count
    for c, img in zip(canvases, images):
        dim = c.size if c.size < 256 else 0
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    return bytes(out)


def png_bytes(canvas):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + row for row in canvas.rgba_rows())
    ihdr = struct.pack(">IIBBBBB", canvas.size, canvas.size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description="Draw the application icon.")
    parser.add_argument("--output", default=os.path.join(root, "res", "app.ico"),
                        help="icon file to write (default: res/app.ico)")
    parser.add_argument("--preview", metavar="DIR",
                        help="also write each image as DIR/icon-<size>.png")
    args = parser.parse_args()

    canvases = [draw(size) for size in SIZES]
    data = ico_bytes(canvases)
    with open(args.output, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes, %d images)" % (args.output, len(data), len(canvases)))
    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
        for c in canvases:
            path = os.path.join(args.preview, "icon-%d.png" % c.size)
            with open(path, "wb") as f:
                f.write(png_bytes(c))
        print("wrote previews to %s" % args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
