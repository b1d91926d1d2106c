#!/usr/bin/env python3
"""Draws the installer's icon: a rounded blue tile with a white play triangle over a phone outline.

    make_icon.py --out VexoInstaller.ico

Sizes 16, 24, 32, 48 and 256 in one .ico, drawn at 4x and reduced so the small ones stay clean.
"""
import argparse

from PIL import Image, ImageDraw

BLUE = (43, 108, 216, 255)
DARK = (26, 74, 160, 255)
WHITE = (255, 255, 255, 255)


def tile(size):
    s = size * 4
    img = Image.new("RGBA", (s, s), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    r = s // 5
    d.rounded_rectangle([0, 0, s - 1, s - 1], radius=r, fill=BLUE)
    d.rounded_rectangle([s // 16, s // 2, s - 1 - s // 16, s - 1 - s // 16], radius=r, fill=DARK)
    # a phone outline
    pw, ph = s * 0.42, s * 0.70
    x0, y0 = (s - pw) / 2, (s - ph) / 2
    d.rounded_rectangle([x0, y0, x0 + pw, y0 + ph], radius=s // 14, outline=WHITE, width=max(4, s // 24))
    # a play triangle inside it
    cx, cy, t = s / 2 + s * 0.02, s / 2, s * 0.12
    d.polygon([(cx - t * 0.8, cy - t), (cx - t * 0.8, cy + t), (cx + t, cy)], fill=WHITE)
    return img.resize((size, size), Image.LANCZOS)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    sizes = [16, 24, 32, 48, 256]
    big = tile(256)
    big.save(args.out, format="ICO", sizes=[(n, n) for n in sizes],
             append_images=[tile(n) for n in sizes[:-1]])


if __name__ == "__main__":
    main()
