#!/usr/bin/env python3
"""Make the grey-scale capture frames of the demo broadcast.

Usage: make-frames.py [--grain LEVELS] OUTDIR

Writes 720x576 PGM (P5) frames as the capture card of the box would deliver
them: picture content that reaches the frame edges, letterbox bars of a dark
tone with a few grey levels of noise (2 either way; --grain sets how many,
up to 16, as a worn analogue receiver gives), a station logo in the top bar of the
films. The frames are the same on every run (fixed random seed).
Needs only python3.
"""
import math
import os
import random
import sys

W, H = 720, 576
BAR_TONE = 16
# active picture heights of the letterboxed films inside the 4:3 frame
HEIGHT_14_9 = 494
HEIGHT_16_9 = 432

rng = random.Random(20240601)
# grey levels of noise either way
GRAIN = 2


def clamp(v):
    # kept off both ends by the noise, so that it never wraps
    lo, hi = max(2, GRAIN), min(251, 255 - GRAIN)
    return lo if v < lo else hi if v > hi else int(v)


def studio_background():
    """A news studio: wall panels, a desk, a lower-third caption."""
    rows = []
    for y in range(H):
        row = bytearray(W)
        for x in range(W):
            panel = (x // 90) % 4
            v = (70, 150, 110, 190)[panel] + 25 * math.sin(y / 41.0) - (x % 90) * 0.2
            if y > 400:  # the desk
                v = 95 + 30 * math.sin(x / 23.0) + (y - 400) * 0.25
            if 470 <= y < 520:  # caption bar with text-like stripes
                v = 215 if (x // 7 + y // 9) % 3 else 60
            row[x] = clamp(v)
        rows.append(row)
    return rows


def landscape(height, dark=False):
    """A film scene of the given active height: sky, clouds, hills, meadow."""
    rows = []
    for y in range(height):
        t = y / height
        row = bytearray(W)
        for x in range(W):
            horizon = 0.55 + 0.08 * math.sin(x / 97.0) + 0.04 * math.sin(x / 31.0 + 1.3)
            if t < horizon:
                v = 150 + 60 * t + 45 * math.sin(x / 53.0 + t * 7) * math.cos(x / 29.0 - t * 5)
                v += 0.06 * x
            else:
                v = 60 + 40 * math.sin(x / 11.0 + y / 5.0) * (t - horizon + 0.2) + 30 * (1 - t)
            if dark:
                # night: the same scene pressed into a few levels near black
                v = 12 + (v - 40) * 7 / 200
                v = min(19, max(12, v))
            row[x] = clamp(v)
        rows.append(row)
    return rows


def paste_object(rows, cx, cy, radius, level):
    """A moving object (ball, bird, head): a filled disc."""
    for y in range(max(0, cy - radius), min(len(rows), cy + radius + 1)):
        dy = y - cy
        half = int(math.sqrt(max(0, radius * radius - dy * dy)))
        for x in range(max(0, cx - half), min(W, cx + half + 1)):
            rows[y][x] = level


# 5x7 glyphs for the station logo
GLYPHS = {
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "V": ["#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."],
    "3": ["####.", "....#", "....#", ".###.", "....#", "....#", "####."],
}


def draw_logo(frame, x0, y0):
    """Station logo, 2x scaled text, about 80 pixels wide and 14 rows high."""
    x = x0
    for ch in "TV3":
        for gy, line in enumerate(GLYPHS[ch]):
            for gx, cell in enumerate(line):
                if cell == "#":
                    for sy in range(2):
                        for sx in range(3):
                            frame[(y0 + gy * 2 + sy) * W + x + gx * 3 + sx] = 220
        x += 6 * 3 + 4


def compose(picture, height, logo):
    """Place the picture in the middle of the frame between two bars."""
    bar = (H - height) // 2
    frame = bytearray([BAR_TONE]) * (W * H)
    for y, row in enumerate(picture):
        frame[(bar + y) * W:(bar + y + 1) * W] = row
    if logo:
        draw_logo(frame, 598, 22)
    return frame


def add_noise(frame):
    # -GRAIN..+GRAIN on every pixel; the frame is kept in GRAIN..255-GRAIN,
    # so the byte-wise sum never carries
    table = bytes.maketrans(bytes(range(256)), bytes(i % (2 * GRAIN + 1) for i in range(256)))
    noise = rng.randbytes(W * H).translate(table)
    levels = int.from_bytes(bytes([GRAIN]) * (W * H), "big")
    total = int.from_bytes(frame, "big") + int.from_bytes(noise, "big") - levels
    return total.to_bytes(W * H, "big")


def write_pgm(path, pixels):
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (W, H))
        f.write(pixels)


def make_scene(outdir, name, background, height, logo, objects, count=4):
    for i in range(count):
        picture = [bytearray(r) for r in background]
        for (cx, cy, r, level, step) in objects:
            paste_object(picture, cx + i * step, cy, r, level)
        write_pgm(os.path.join(outdir, "%s-%d.pgm" % (name, i)),
                  add_noise(compose(picture, height, logo)))


def main():
    global GRAIN
    args = sys.argv[1:]
    # the bars' tone bounds the noise: it must not wrap below black
    if len(args) == 3 and args[0] == "--grain" and args[1].isdigit() and int(args[1]) <= BAR_TONE:
        GRAIN = int(args[1])
        args = args[2:]
    if len(args) != 1:
        sys.stderr.write("Usage: make-frames.py [--grain LEVELS (0 to 16)] OUTDIR\n")
        return 2
    outdir = args[0]
    os.makedirs(outdir, exist_ok=True)

    make_scene(outdir, "studio", studio_background(), H, False,
               [(360, 260, 70, 200, 3), (360, 150, 45, 180, 3)])
    film_14_9 = landscape(HEIGHT_14_9)
    make_scene(outdir, "film149", film_14_9, HEIGHT_14_9, True,
               [(120, 90, 12, 40, 40), (500, 380, 30, 230, -25)])
    film_16_9 = landscape(HEIGHT_16_9)
    make_scene(outdir, "film169", film_16_9, HEIGHT_16_9, True,
               [(200, 70, 10, 35, 45), (300, 330, 25, 200, 30)])
    make_scene(outdir, "night169", landscape(HEIGHT_16_9, dark=True), HEIGHT_16_9, True,
               [(400, 80, 8, 19, 5)], count=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
