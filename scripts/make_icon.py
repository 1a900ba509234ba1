#!/usr/bin/env python3
"""Draw the Quillmere setup icon and write it as a Windows .ico file.

The mark is a rounded tile with a teal-to-indigo gradient carrying a white
quill.  Everything is computed from signed distance functions, so every size
is rendered natively (no downscaling) with analytic anti-aliasing, and the
output is byte-for-byte reproducible.

Usage: make_icon.py OUTPUT.ico [--png DIR]

The .ico holds 256 (PNG-compressed, as Windows expects for that size), 48,
32, 24 and 16 pixel images (32-bit BGRA DIBs with an AND mask).
"""

import math
import os
import struct
import sys
import zlib

SIZES = (256, 48, 32, 24, 16)

# Tile gradient, top-left to bottom-right.
TEAL = (20, 142, 150)
INDIGO = (52, 44, 138)
WHITE = (255, 255, 255)

# Quill axis: from the nib (bottom-left) to the tip of the vane (top-right),
# in unit-square coordinates with y pointing down.
NIB = (0.255, 0.785)
TIP = (0.775, 0.190)
VANE_START = 0.30    # fraction of the axis where the feathered part begins
BOW = 0.035          # sideways bend of the shaft, gives the quill its curve


def clamp01(x):
    return 0.0 if x < 0.0 else 1.0 if x > 1.0 else x


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def coverage(d, px):
    """Fraction of a pixel of width px covered by the region where d < 0."""
    return clamp01(0.5 - d / px)


def rounded_rect(x, y, lo, hi, r):
    cx = cy = (lo + hi) / 2.0
    half = (hi - lo) / 2.0 - r
    qx = abs(x - cx) - half
    qy = abs(y - cy) - half
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - r


class Quill:
    """Distance functions for the quill, evaluated in the axis frame."""

    def __init__(self, breadth):
        self.breadth = breadth
        dx, dy = TIP[0] - NIB[0], TIP[1] - NIB[1]
        self.length = math.hypot(dx, dy)
        self.ux, self.uy = dx / self.length, dy / self.length
        # Normal pointing up-left: the wide side of the vane.
        self.nx, self.ny = self.uy, -self.ux

    def frame(self, x, y):
        px, py = x - NIB[0], y - NIB[1]
        u = (px * self.ux + py * self.uy) / self.length
        v = px * self.nx + py * self.ny
        # Bend the shaft: measure v from a gently curved centre line.
        v -= BOW * math.sin(math.pi * clamp01(u))
        return u, v

    def half_width(self, u, side):
        if u <= VANE_START or u >= 1.0:
            return 0.0
        s = (u - VANE_START) / (1.0 - VANE_START)
        # Broad shoulder low on the vane, long taper to the tip.
        w = self.breadth * (s ** 0.55) * ((1.0 - s) ** 0.95)
        return w if side > 0 else w * 0.72

    def vane(self, u, v):
        side = 1 if v >= 0 else -1
        w = self.half_width(u, side)
        h = 1e-3
        slope = (self.half_width(u + h, side) - self.half_width(u - h, side)) / (2 * h)
        slope /= self.length
        d = (abs(v) - w) / math.sqrt(1.0 + slope * slope)
        ends = max((VANE_START - u) * self.length, (u - 1.0) * self.length)
        return max(d, ends)

    def calamus(self, u, v):
        """The bare barrel below the vane, tapering to the nib point."""
        top = VANE_START + 0.08
        t = clamp01(u / top)
        w = 0.021 * math.sqrt(t)
        d = abs(v) - w
        ends = max(-u * self.length, (u - top) * self.length)
        return max(d, ends)

    def shaft(self, u, v, width):
        """Thin line along the centre of the vane, cut out of the white."""
        d = abs(v - 0.004) - width / 2.0
        ends = max((VANE_START + 0.04 - u) * self.length, (u - 0.93) * self.length)
        return max(d, ends)

    def notch(self, u, v, at, width):
        """A slanted gap between barbs on the wide side of the vane."""
        if v <= 0:
            return 1.0
        # Gaps sweep back toward the nib as they leave the shaft.
        along = (u - at) * self.length + v * 0.55
        d = abs(along) - width / 2.0
        inner = self.half_width(at, 1) * 0.45 - v
        return max(d, inner)


def shape_distance(quill, x, y, px, detailed):
    u, v = quill.frame(x, y)
    d = min(quill.vane(u, v), quill.calamus(u, v))
    if detailed:
        gap = max(0.012, 1.1 * px)
        for at in (0.52, 0.66):
            d = max(d, -quill.notch(u, v, at, gap))
    return d, u, v


def render(size):
    """Return size*size straight-alpha RGBA tuples, top row first."""
    px = 1.0 / size
    margin = round(size * 0.035) / size
    radius = 0.21
    detailed = size >= 48
    shaded = size >= 32
    shaft_width = max(0.013, 0.9 * px)
    # A slim vane turns into a mere stroke at a few pixels; fatten it there
    # so it still reads as a feather.
    quill = Quill(0.24 if size >= 32 else 0.30)
    pixels = []
    for j in range(size):
        y = (j + 0.5) * px
        for i in range(size):
            x = (i + 0.5) * px
            tile = rounded_rect(x, y, margin, 1.0 - margin, radius)
            alpha = coverage(tile, px)
            if alpha <= 0.0:
                pixels.append((0, 0, 0, 0))
                continue
            colour = mix(TEAL, INDIGO, clamp01((x * 0.45 + y * 0.55 - 0.08) / 0.88))
            # Soft light from the top-left corner.
            glow = clamp01(1.0 - math.hypot(x - 0.18, y - 0.12) / 0.75)
            colour = mix(colour, WHITE, 0.16 * glow * glow)

            d, u, v = shape_distance(quill, x, y, px, detailed)
            if shaded:
                sd, _, _ = shape_distance(quill, x - 0.012, y - 0.022, px, False)
                shadow = clamp01(0.5 - sd / 0.05)
                colour = mix(colour, (10, 14, 48), 0.30 * shadow)
            ink = coverage(d, px)
            if size >= 32:
                ink *= 1.0 - coverage(quill.shaft(u, v, shaft_width), px) * 0.85
            colour = mix(colour, WHITE, ink)
            pixels.append(tuple(int(round(c)) for c in colour) + (int(round(alpha * 255)),))
    return pixels


def png_bytes(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = bytearray()
    for j in range(size):
        raw.append(0)  # filter: none
        for r, g, b, a in pixels[j * size:(j + 1) * size]:
            raw += bytes((r, g, b, a))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def dib_bytes(size, pixels):
    """32-bit BGRA DIB as stored in an .ico: bottom-up colour rows, then AND mask."""
    mask_stride = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4 + mask_stride * size, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    for j in reversed(range(size)):
        row = pixels[j * size:(j + 1) * size]
        bits = bytearray(mask_stride)
        for i, (r, g, b, a) in enumerate(row):
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[i >> 3] |= 0x80 >> (i & 7)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, encoded image bytes) in directory order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    return out + body


def main(argv):
    args = list(argv[1:])
    png_dir = None
    if "--png" in args:
        k = args.index("--png")
        if k + 1 >= len(args):
            sys.exit("make_icon.py: --png needs a directory")
        png_dir = args[k + 1]
        del args[k:k + 2]
    if len(args) != 1:
        sys.exit("usage: make_icon.py OUTPUT.ico [--png DIR]")

    images = []
    for size in SIZES:
        pixels = render(size)
        png = png_bytes(size, pixels)
        images.append((size, png if size >= 256 else dib_bytes(size, pixels)))
        if png_dir:
            os.makedirs(png_dir, exist_ok=True)
            with open(os.path.join(png_dir, "quillmere-%d.png" % size), "wb") as f:
                f.write(png)

    out = args[0]
    parent = os.path.dirname(out)
    if parent:
        os.makedirs(parent, exist_ok=True)
    data = ico_bytes(images)
    # Write via a temporary name so a failed run never leaves a truncated icon
    # for the resource compiler to pick up.
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
