#!/usr/bin/env python3
"""Draws the web page's 13 icons into web/ as 8-bit RGBA PNG files.

Each icon is a few shapes (discs, rounded boxes, polygons, thick strokes) composed back to front and
sampled 8 x 8 times per pixel, so edges are smooth on the page's light background. Only the standard
library is used. The PNG files are committed; run this again after changing a drawing:
    python3 scripts/draw_icons.py
"""
import math
import os
import struct
import sys
import zlib

SAMPLES = 8  # per pixel and axis


# ---- shapes: each is a function (x, y) -> True when the point is inside ---------------------------

def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1):
    return lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1


def box(x0, y0, x1, y1, radius=0.0):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        dx = max(x0 + radius - x, 0, x - (x1 - radius))
        dy = max(y0 + radius - y, 0, y - (y1 - radius))
        return dx * dx + dy * dy <= radius * radius
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return inside


def stroke(points, width):
    """A polyline of the given width with round ends and joints."""
    half = width / 2.0

    def seg_dist2(x, y, ax, ay, bx, by):
        vx, vy = bx - ax, by - ay
        length2 = vx * vx + vy * vy
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / length2))
        px, py = ax + t * vx - x, ay + t * vy - y
        return px * px + py * py

    def inside(x, y):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            if seg_dist2(x, y, ax, ay, bx, by) <= half * half:
                return True
        return False
    return inside


def arc_points(cx, cy, r, deg0, deg1, n=24):
    """Points along an arc, angles in degrees, 0 pointing right, growing clockwise (y down)."""
    return [(cx + r * math.cos(math.radians(deg0 + (deg1 - deg0) * i / n)),
             cy + r * math.sin(math.radians(deg0 + (deg1 - deg0) * i / n))) for i in range(n + 1)]


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


# ---- paints: each is a function (x, y) -> (r, g, b, a) with components 0..1 -----------------------

def hexcolour(text, alpha=1.0):
    text = text.lstrip("#")
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4)) + (alpha,)


def flat(text, alpha=1.0):
    colour = hexcolour(text, alpha)
    return lambda x, y: colour


def ball(cx, cy, r, light, dark):
    """A shaded sphere: light near the upper left highlight, dark toward the lower right rim."""
    c0, c1 = hexcolour(light), hexcolour(dark)
    hx, hy = cx - r * 0.35, cy - r * 0.4

    def paint(x, y):
        t = min(1.0, math.hypot(x - hx, y - hy) / (r * 1.45))
        return tuple(c0[i] + (c1[i] - c0[i]) * t for i in range(3)) + (1.0,)
    return paint


def vertical(top, bottom, y0, y1):
    c0, c1 = hexcolour(top), hexcolour(bottom)

    def paint(x, y):
        t = min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        return tuple(c0[i] + (c1[i] - c0[i]) * t for i in range(3)) + (1.0,)
    return paint


# ---- rendering --------------------------------------------------------------------------------------

def render(size, layers):
    """Pixels (rows of RGBA byte tuples) of the layers composed back to front."""
    rows = []
    n = SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(n):
                for sx in range(n):
                    x = px + (sx + 0.5) / n
                    y = py + (sy + 0.5) / n
                    r = g = b = a = 0.0
                    for shape, paint in layers:
                        if shape(x, y):
                            lr, lg, lb, la = paint(x, y)
                            r = lr * la + r * (1 - la)
                            g = lg * la + g * (1 - la)
                            b = lb * la + b * (1 - la)
                            a = la + a * (1 - la)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            count = n * n
            alpha = acc[3] / count
            if alpha <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(min(1.0, acc[i] / count / alpha) * 255)) for i in range(3)) +
                           (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def png_bytes(rows):
    height = len(rows)
    width = len(rows[0])
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


# ---- the icons --------------------------------------------------------------------------------------

def state_ball(size, light, dark, rim):
    c = size / 2.0
    r = size / 2.0 - 1.0
    return [
        (disc(c, c, r), flat(rim)),
        (disc(c, c, r - 0.8), ball(c, c, r - 0.8, light, dark)),
        (disc(c - r * 0.32, c - r * 0.38, r * 0.28), flat("#ffffff", 0.55)),
    ]


def gear_shape(inset):
    """The gear's outline, shrunk by inset on every side (for the lighter fill inside the rim)."""
    teeth = []
    for k in range(8):
        angle = math.radians(k * 45 + 22.5)
        ca, sa = math.cos(angle), math.sin(angle)
        pts = []
        for (u, v) in ((4.2, -1.5 + inset), (7.7 - inset, -1.2 + inset), (7.7 - inset, 1.2 - inset),
                       (4.2, 1.5 - inset)):
            pts.append((8 + u * ca - v * sa, 8 + u * sa + v * ca))
        teeth.append(polygon(pts))
    return minus(union(disc(8, 8, 5.6 - inset), *teeth), disc(8, 8, 2.2 + inset))


def gear():
    return [
        (gear_shape(0.0), flat("#1d4f91")),
        (gear_shape(0.75), vertical("#8cc0f4", "#2f6fc0", 2, 14)),
    ]


def television():
    return [
        (stroke([(5.0, 1.2), (8.0, 4.2), (11.0, 1.2)], 1.1), flat("#555555")),
        (box(0.8, 4.0, 15.2, 13.4, 1.8), flat("#3a3a3a")),
        (box(2.2, 5.4, 11.6, 12.0, 1.0), vertical("#bfe4ff", "#3d8fd6", 5.4, 12.0)),
        (disc(13.4, 7.0, 0.85), flat("#d0d0d0")),
        (disc(13.4, 9.6, 0.85), flat("#d0d0d0")),
        (box(3.0, 13.4, 5.0, 15.2), flat("#3a3a3a")),
        (box(11.0, 13.4, 13.0, 15.2), flat("#3a3a3a")),
    ]


def question_mark():
    hook = arc_points(8.0, 6.0, 2.6, 200, 395, 30)
    hook.append((8.0, 9.6))
    return [
        (disc(8, 8, 7.5), flat("#1b5fae")),
        (disc(8, 8, 6.7), ball(8, 8, 6.7, "#7db8f0", "#2a6cc2")),
        (stroke(hook, 1.9), flat("#ffffff")),
        (disc(8.0, 12.3, 1.15), flat("#ffffff")),
    ]


def sheet_with_pencil():
    return [
        (box(1.5, 0.8, 11.5, 15.2, 0.8), flat("#8a8a8a")),
        (box(2.3, 1.6, 10.7, 14.4, 0.4), flat("#ffffff")),
        (box(3.6, 4.0, 9.2, 4.9), flat("#a8a8a8")),
        (box(3.6, 6.4, 9.2, 7.3), flat("#a8a8a8")),
        (box(3.6, 8.8, 7.0, 9.7), flat("#a8a8a8")),
        # the pencil, from the lower left (tip) to the upper right
        (polygon([(6.4, 14.8), (7.2, 12.0), (14.0, 5.2), (15.6, 6.8), (8.8, 13.6)]), flat("#e0a030")),
        (polygon([(13.2, 6.0), (14.0, 5.2), (15.6, 6.8), (14.8, 7.6)]), flat("#d9534f")),
        (polygon([(6.4, 14.8), (7.2, 12.0), (8.8, 13.6)]), flat("#f3d9a6")),
        (polygon([(6.4, 14.8), (6.8, 13.4), (7.8, 14.4)]), flat("#333333")),
    ]


ICONS = {
    "running.png": (16, state_ball(16, "#b6ff9c", "#1f9a0f", "#157008")),
    "idle.png": (16, state_ball(16, "#ffb0a8", "#cc1a0e", "#8f0f06")),
    "stopping.png": (20, state_ball(20, "#fff6a0", "#e0b000", "#a07c00")),
    "start.png": (16, [
        (polygon([(3.2, 1.4), (14.4, 8.0), (3.2, 14.6)]), flat("#177a0c")),
        (polygon([(4.4, 3.4), (12.2, 8.0), (4.4, 12.6)]), vertical("#8fe86f", "#2fae1c", 3.4, 12.6)),
    ]),
    "preview.png": (16, television()),
    "stop.png": (16, [
        (box(2.0, 2.0, 14.0, 14.0, 1.6), flat("#9c1208")),
        (box(3.0, 3.0, 13.0, 13.0, 1.0), vertical("#ff8a7a", "#d3200f", 3, 13)),
    ]),
    "settings.png": (16, gear()),
    "help.png": (16, question_mark()),
    "create.png": (16, [
        (union(box(6.0, 1.5, 10.0, 14.5, 1.0), box(1.5, 6.0, 14.5, 10.0, 1.0)), flat("#1d4f91")),
        (union(box(6.9, 2.4, 9.1, 13.6, 0.5), box(2.4, 6.9, 13.6, 9.1, 0.5)),
         vertical("#7db8f0", "#2a6cc2", 2.4, 13.6)),
    ]),
    "remove.png": (16, [
        (box(1.5, 6.0, 14.5, 10.0, 1.0), flat("#9c1208")),
        (box(2.4, 6.9, 13.6, 9.1, 0.5), vertical("#ff8a7a", "#d3200f", 6.9, 9.1)),
    ]),
    "edit.png": (16, sheet_with_pencil()),
    "apply.png": (16, [
        (stroke([(2.2, 8.6), (6.2, 12.6), (13.8, 3.4)], 3.6), flat("#177a0c")),
        (stroke([(2.2, 8.6), (6.2, 12.6), (13.8, 3.4)], 2.0), flat("#3cc024")),
    ]),
    "cancel.png": (16, [
        (union(stroke([(3.0, 3.0), (13.0, 13.0)], 3.6), stroke([(13.0, 3.0), (3.0, 13.0)], 3.6)),
         flat("#9c1208")),
        (union(stroke([(3.0, 3.0), (13.0, 13.0)], 2.0), stroke([(13.0, 3.0), (3.0, 13.0)], 2.0)),
         flat("#e8321f")),
    ]),
}


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web")
    names = sys.argv[1:] or sorted(ICONS)
    for name in names:
        size, layers = ICONS[name]
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(png_bytes(render(size, layers)))
        print("wrote web/" + name)


if __name__ == "__main__":
    main()
