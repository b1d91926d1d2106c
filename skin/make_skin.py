#!/usr/bin/python3
"""Generates the installer window's skin: MainFrame.xml and its PNG images, packed into res.zip.

    make_skin.py --out res.zip [--preview preview.png]

Everything is drawn with PIL from the shapes below: no input images, no randomness without a
fixed seed, no timestamps (PNG chunks and zip entry dates are fixed), so the same PIL gives the
same bytes. The preview composes the window's states from the written XML and images, the way
the window library draws them (see FORMAT.md), for looking at the design.
"""

import argparse
import io
import math
import os
import random
import re
import sys
import xml.etree.ElementTree as ET
import zipfile

from PIL import Image, ImageDraw, ImageFont

FONT_FILE = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
SS = 4  # supersampling factor for shapes

# The scale the pictures are drawn at: every length below is in window pixels at 96 DPI, and the
# drawing helpers multiply them by K. Each image is drawn at 1x, 1.5x and 2x ("MainFrame.png",
# "MainFrame@1.5x.png", "MainFrame@2x.png"); the window takes the smallest set at least as large
# as its scale and scales it down.
SCALES = ((1, ""), (1.5, "@1.5x"), (2, "@2x"))
K = 1


def S(v):
    """A length at the current scale (unchanged at 1x, so the 1x pictures stay as they were)."""
    return v if K == 1 else v * K


def P(v):
    """A size in whole pixels at the current scale."""
    return v if K == 1 else int(round(v * K))

# ---------------------------------------------------------------------------------------------
# Layout: the window's geometry, shared by the XML and the images drawn to fit it.

W, H = 680, 420  # start and progress screens
H_PANEL = 480  # with the custom-install panel
HERO_H = 340  # PanelBK's height: the upper part that changes at install start
PANELBK = (0, 0, W, HERO_H)
# StartInstallation's background string: this rectangle of MainFrame.png, 676 x 338, is
# stretched onto PanelBK (680 x 340), the same factor (680/676 = 340/338) both ways.
PROGRESS_BG_SRC = (708, 358, 1384, 696)
ATLAS_SIZE = (1384, 696)

BTN_MIN = (608, 6, 638, 36)
BTN_CLOSE = (642, 6, 672, 36)
ICO = (16, 11, 36, 31)
GAME_LOGO = (286, 46, 394, 154)  # 108 x 108: an 84-pixel mark with its shadow
GAME_NAME = (140, 150, 540, 194)
SLOGAN_Y = 212  # drawn into the start background
FEATURES_Y = 332  # drawn into the start background
BTN_INSTALL = (220, 240, 460, 314)  # 240 x 74: a 220 x 54 pill with its glow
INSTALL_PILL = (10, 8, 230, 62)  # inside BTN_INSTALL's image
SIZE_MINI = (20, 376, 320, 402)
BTN_CUSTOM = (540, 376, 640, 402)
BTN_DOWN = (642, 381, 658, 397)

PANEL = (0, 420, W, H_PANEL)
PANEL_LABEL = (20, 435, 92, 465)
EDIT_FRAME = (92, 435, 548, 465)
EDIT = (101, 440, 539, 460)
BTN_SEL = (560, 435, 660, 465)

SLIDE = (20, 46, 660, 326)  # 640 x 280, every slide
PROGRESS_BK = (0, HERO_H, W, H)
NET_HIDE = (0, HERO_H - 6, W, HERO_H)  # a soft shade where the white area meets the picture
TIP = (20, 346, 660, 372)
# The highlight timer works in client pixels but measures the fill from 0, and restarts at
# x = 20: with the bar starting at x = 20 and the highlight 40 wide, the highlight stays
# inside the filled part (its right end reaches at most the fill's end).
PROGRESS = (20, 378, 660, 388)
PRO_ANIM = (20, 378, 60, 388)
NET_IMG = (20, 398, 34, 412)
NET_PANEL = (40, 395, 660, 415)

# Colours
INDIGO_TOP = (20, 26, 78)
INDIGO_MID = (38, 30, 120)
VIOLET = (74, 36, 156)
CYAN = (54, 209, 255)
BLUE = (78, 107, 255)
PURPLE = (132, 84, 255)
PANEL_BG = (245, 247, 252)
INK = (43, 51, 80)
MUTED = (138, 147, 166)


def argb(rgb, a=255):
    return "#%02X%02X%02X%02X" % (a, rgb[0], rgb[1], rgb[2])


def size(rect):
    return rect[2] - rect[0], rect[3] - rect[1]


# ---------------------------------------------------------------------------------------------
# Drawing helpers

_fonts = {}


def font(px):
    if px not in _fonts:
        _fonts[px] = ImageFont.truetype(FONT_FILE, px, index=0, layout_engine=ImageFont.Layout.BASIC)
    return _fonts[px]


def solid(w, h, color):
    if len(color) == 3:
        color = color + (255,)
    return Image.new("RGBA", (w, h), color)


def gradient(w, h, stops, angle=0.0):
    """Linear gradient; angle 0 runs left to right, 90 top to bottom. stops: [(0..1, rgba)]."""
    w, h = P(w), P(h)
    a = math.radians(angle)
    span = max(1, int(round(abs(w * math.cos(a)) + abs(h * math.sin(a)))))
    d = int(math.ceil(math.hypot(w, h))) + 4
    d += (d - span) % 2
    ramp = Image.linear_gradient("L").resize((d, span), Image.BILINEAR)
    mask = Image.new("L", (d, d), 0)
    pad = (d - span) // 2
    mask.paste(255, (0, pad + span, d, d))
    mask.paste(ramp, (0, pad))
    mask = mask.rotate(90 - angle, resample=Image.BILINEAR)
    left, top = (d - w) // 2, (d - h) // 2
    mask = mask.crop((left, top, left + w, top + h))
    stops = [(p, c if len(c) == 4 else c + (255,)) for p, c in stops]
    out = solid(w, h, stops[0][1])
    for (p0, _), (p1, c1) in zip(stops, stops[1:]):
        seg = mask.point(lambda v, p0=p0, p1=p1: int(max(0.0, min(1.0, (v / 255.0 - p0) / max(1e-6, p1 - p0))) * 255))
        out = Image.composite(solid(w, h, c1), out, seg)
    return out


def glow(img, cx, cy, rx, ry, color, alpha, power=2.0):
    """Adds a soft elliptic glow (colour fading out from the centre)."""
    cx, cy = S(cx), S(cy)
    rx, ry = max(1, int(S(rx))), max(1, int(S(ry)))
    g = Image.radial_gradient("L").resize((2 * rx, 2 * ry), Image.BILINEAR)
    g = g.point(lambda v: int(alpha * 255 * max(0.0, 1.0 - v / 255.0) ** power))
    patch = solid(2 * rx, 2 * ry, color[:3])
    patch.putalpha(g)
    layer = Image.new("RGBA", img.size, (0, 0, 0, 0))
    layer.paste(patch, (int(cx - rx), int(cy - ry)))
    img.alpha_composite(layer)


def rounded_mask(w, h, radius, box=None):
    """Anti-aliased rounded-rectangle mask of size w x h (box defaults to the whole)."""
    box = [S(v) for v in box] if box else (0, 0, P(w), P(h))
    w, h, radius = P(w), P(h), S(radius)
    m = Image.new("L", (w * SS, h * SS), 0)
    ImageDraw.Draw(m).rounded_rectangle(
        [box[0] * SS, box[1] * SS, box[2] * SS - 1, box[3] * SS - 1], radius=radius * SS, fill=255)
    return m.resize((w, h), Image.LANCZOS)


def masked(img, mask):
    out = img.copy()
    a = out.getchannel("A")
    a = Image.composite(a, Image.new("L", out.size, 0), mask)
    out.putalpha(a)
    return out


def shadow(w, h, box, radius, blur, color=(0, 0, 0), alpha=0.35, dy=0):
    """A soft shadow of a rounded box, as an RGBA image of size w x h."""
    from PIL import ImageFilter
    w, h, box, radius, blur, dy = P(w), P(h), [S(v) for v in box], S(radius), S(blur), S(dy)
    m = Image.new("L", (w, h), 0)
    ImageDraw.Draw(m).rounded_rectangle([box[0], box[1] + dy, box[2] - 1, box[3] - 1 + dy], radius=radius,
                                        fill=int(255 * alpha))
    m = m.filter(ImageFilter.GaussianBlur(blur))
    s = solid(w, h, color)
    s.putalpha(m)
    return s


class Pen:
    """Draws vector shapes at SS times the size, then gives the anti-aliased result."""

    def __init__(self, w, h):
        self.w, self.h = P(w), P(h)
        self.ss = SS * K  # logical units to canvas pixels
        self.img = Image.new("RGBA", (self.w * SS, self.h * SS), (0, 0, 0, 0))

    def _layer(self):
        layer = Image.new("RGBA", self.img.size, (0, 0, 0, 0))
        return layer, ImageDraw.Draw(layer)

    @staticmethod
    def _c(color):
        return color if len(color) == 4 else color + (255,)

    def _put(self, layer):
        self.img.alpha_composite(layer)

    def rrect(self, box, radius, fill=None, outline=None, width=1.0):
        layer, d = self._layer()
        ss = self.ss
        d.rounded_rectangle([v * ss for v in box[:2]] + [box[2] * ss - 1, box[3] * ss - 1], radius=radius * ss,
                            fill=self._c(fill) if fill else None, outline=self._c(outline) if outline else None,
                            width=int(round(width * ss)))
        self._put(layer)

    def ellipse(self, box, fill=None, outline=None, width=1.0):
        layer, d = self._layer()
        ss = self.ss
        d.ellipse([v * ss for v in box[:2]] + [box[2] * ss - 1, box[3] * ss - 1],
                  fill=self._c(fill) if fill else None, outline=self._c(outline) if outline else None,
                  width=int(round(width * ss)))
        self._put(layer)

    def polygon(self, points, fill):
        layer, d = self._layer()
        d.polygon([(x * self.ss, y * self.ss) for x, y in points], fill=self._c(fill))
        self._put(layer)

    def line(self, points, color, width, round_caps=True):
        layer, d = self._layer()
        pts = [(x * self.ss, y * self.ss) for x, y in points]
        wpx = int(round(width * self.ss))
        d.line(pts, fill=self._c(color), width=wpx, joint="curve")
        if round_caps:
            r = wpx / 2.0
            for x, y in (pts[0], pts[-1]):
                d.ellipse([x - r, y - r, x + r, y + r], fill=self._c(color))
        self._put(layer)

    def arc(self, box, start, end, color, width):
        layer, d = self._layer()
        d.arc([v * self.ss for v in box], start, end, fill=self._c(color), width=int(round(width * self.ss)))
        self._put(layer)

    def paste_image(self, img, box):
        """Composites an RGBA image (any size) stretched onto box, in logical pixels."""
        ss = self.ss
        w, h = int((box[2] - box[0]) * ss), int((box[3] - box[1]) * ss)
        layer = Image.new("RGBA", self.img.size, (0, 0, 0, 0))
        layer.paste(img.resize((w, h), Image.LANCZOS), (int(box[0] * ss), int(box[1] * ss)))
        self._put(layer)

    def result(self):
        return self.img.resize((self.w, self.h), Image.LANCZOS)


def over(base, top, pos=(0, 0)):
    layer = Image.new("RGBA", base.size, (0, 0, 0, 0))
    layer.paste(top, (P(pos[0]), P(pos[1])))
    base.alpha_composite(layer)


def text(img, xy, s, px, color, anchor="la", bold=False):
    d = ImageDraw.Draw(img)
    color = color if len(color) == 4 else color + (255,)
    px = P(px)
    stroke = max(1, px // 24) if bold else 0
    d.text((S(xy[0]), S(xy[1])), s, font=font(px), fill=color, anchor=anchor, stroke_width=stroke, stroke_fill=color)


def text_width(s, px):
    return font(px).getlength(s)


# ---------------------------------------------------------------------------------------------
# Pictures


def logo_mark(px, with_shadow=False):
    """The product mark: a rounded square in cyan to violet with a white "V" and a play dot."""
    pad = int(round(px * 0.14)) if with_shadow else 0
    full = px + 2 * pad
    out = Image.new("RGBA", (P(full), P(full)), (0, 0, 0, 0))
    if with_shadow:
        out.alpha_composite(shadow(full, full, (pad, pad, pad + px, pad + px), int(px * 0.26), px * 0.07,
                                   color=(10, 8, 40), alpha=0.55, dy=int(px * 0.05)))
    r = px * 0.26
    body = gradient(px, px, [(0, CYAN), (0.55, BLUE), (1, PURPLE)], angle=55)
    pen = Pen(px, px)
    body = masked(body, rounded_mask(px, px, r))
    gloss = gradient(px, px, [(0, (255, 255, 255, 70)), (0.5, (255, 255, 255, 0)), (1, (255, 255, 255, 0))], 90)
    body.alpha_composite(masked(gloss, rounded_mask(px, px, r)))
    s = px / 84.0
    pen.line([(22 * s, 27 * s), (40 * s, 60 * s), (58 * s, 27 * s)], (255, 255, 255), 10.5 * s)
    pen.ellipse((57 * s, 51 * s, 69 * s, 63 * s), fill=(255, 255, 255, 215))
    body.alpha_composite(pen.result())
    out.alpha_composite(body, (P(pad), P(pad)))
    return out


def star_field(img, rng, count, box, max_alpha, keep_clear=None):
    d = ImageDraw.Draw(img)
    placed = 0
    while placed < count:
        x = rng.uniform(box[0], box[2])
        y = rng.uniform(box[1], box[3])
        r = rng.choice((0.5, 0.7, 0.9, 1.1))
        if keep_clear and keep_clear[0] <= x <= keep_clear[2] and keep_clear[1] <= y <= keep_clear[3]:
            continue
        placed += 1
        a = int(rng.uniform(0.25, 1.0) * max_alpha)
        d.ellipse([S(x - r), S(y - r), S(x + r), S(y + r)], fill=(255, 255, 255, a))


def backdrop(w, h, seed, keep_clear=None):
    """The deep indigo backdrop shared by both screens."""
    img = gradient(w, h, [(0, INDIGO_TOP), (0.55, INDIGO_MID), (1, VIOLET)], angle=35)
    glow(img, w * 0.86, h * 0.08, w * 0.42, h * 0.62, CYAN, 0.34)
    glow(img, w * 0.10, h * 0.95, w * 0.45, h * 0.55, (190, 70, 255), 0.30)
    glow(img, w * 0.50, h * 0.42, w * 0.38, h * 0.32, (90, 110, 255), 0.18)
    pen = Pen(w, h)
    for cx, cy, r, a in ((w * 0.93, h * 0.02, 150, 22), (w * 0.93, h * 0.02, 230, 14), (w * 0.04, h * 1.02, 190, 16)):
        pen.ellipse((cx - r, cy - r, cx + r, cy + r), outline=(255, 255, 255, a), width=1.2)
    # two soft diagonal light bands
    pen.polygon([(w * 0.58, 0), (w * 0.70, 0), (w * 0.30, h), (w * 0.18, h)], (255, 255, 255, 7))
    pen.polygon([(w * 0.74, 0), (w * 0.78, 0), (w * 0.38, h), (w * 0.34, h)], (255, 255, 255, 6))
    img.alpha_composite(pen.result())
    star_field(img, random.Random(seed), 30, (0, 0, w, h), 90, keep_clear)
    return img


def start_background():
    img = backdrop(W, H, seed=20240611, keep_clear=(100, 40, 580, 350))
    # slogan under the product name (the start screen's own text, swapped away at install)
    slogan = "安卓手游  电脑畅玩   ·   流畅稳定  随心多开"
    text(img, (W / 2, SLOGAN_Y), slogan, 15, (255, 255, 255, 200), anchor="mm")
    # the features of the slides, as small ticks under the install button
    feats = [t for t, _, _, _ in SLIDES]
    px, tick, gap = 12, 14, 26
    widths = [tick + 6 + text_width(f, px) for f in feats]
    x = (W - (sum(widths) + gap * (len(feats) - 1))) / 2
    pen = Pen(W, H)
    for f, fw in zip(feats, widths):
        cy = FEATURES_Y
        pen.ellipse((x, cy - tick / 2, x + tick, cy + tick / 2), fill=(255, 255, 255, 34))
        pen.line([(x + 4, cy + 0.2), (x + 6.2, cy + 2.4), (x + 10.2, cy - 2.4)], (120, 228, 255), 1.4)
        x += fw + gap
    img.alpha_composite(pen.result())
    x = (W - (sum(widths) + gap * (len(feats) - 1))) / 2
    for f, fw in zip(feats, widths):
        text(img, (x + tick + 6, FEATURES_Y), f, px, (255, 255, 255, 165), anchor="lm")
        x += fw + gap
    # a hairline above the bottom row
    pen = Pen(W, H)
    pen.line([(20, 360), (660, 360)], (255, 255, 255, 22), 1.0, round_caps=False)
    img.alpha_composite(pen.result())
    return img


def progress_background():
    """Drawn at 680 x 340, delivered at 676 x 338 (the window stretches it back)."""
    w, h = W, HERO_H
    img = backdrop(w, h, seed=77)
    img.alpha_composite(shadow(w, h, SLIDE, 14, 10, color=(6, 4, 30), alpha=0.55, dy=6))
    ico = logo_mark(size(ICO)[0])
    over(img, ico, ICO[:2])
    return img.resize(tuple(P(v) for v in size(PROGRESS_BG_SRC)), Image.LANCZOS)


def install_button(state):
    w, h = size(BTN_INSTALL)
    p = INSTALL_PILL
    pw, ph = p[2] - p[0], p[3] - p[1]
    out = Image.new("RGBA", (P(w), P(h)), (0, 0, 0, 0))
    glow_alpha = {"normal": 0.55, "hot": 0.75, "pushed": 0.35}[state]
    dy = 1 if state == "pushed" else 0
    out.alpha_composite(shadow(w, h, p, ph // 2, 7, color=(40, 120, 255), alpha=glow_alpha, dy=5))
    stops = {
        "normal": [(0, (46, 200, 255)), (1, (84, 96, 255))],
        "hot": [(0, (92, 220, 255)), (1, (110, 124, 255))],
        "pushed": [(0, (30, 170, 236)), (1, (66, 78, 226))],
    }[state]
    body = gradient(pw, ph, stops, angle=0)
    gloss = gradient(pw, ph, [(0, (255, 255, 255, 60 if state != "pushed" else 25)), (0.5, (255, 255, 255, 8)),
                              (0.51, (255, 255, 255, 0)), (1, (255, 255, 255, 0))], angle=90)
    body.alpha_composite(gloss)
    pen = Pen(pw, ph)
    pen.rrect((0, 0, pw, ph), ph / 2, outline=(255, 255, 255, 70), width=1.0)
    body.alpha_composite(pen.result())
    body = masked(body, rounded_mask(pw, ph, ph / 2))
    out.alpha_composite(body, (P(p[0]), P(p[1] + dy)))
    return out


def caption_button(kind, state):
    w, h = size(BTN_CLOSE)
    pen = Pen(w, h)
    if state != "normal":
        if kind == "close":
            fill = (255, 77, 94, 255) if state == "hot" else (214, 52, 70, 255)
        else:
            fill = (255, 255, 255, 40) if state == "hot" else (255, 255, 255, 24)
        pen.ellipse((1, 1, w - 1, h - 1), fill=fill)
    ink = (255, 255, 255, 255 if state != "normal" else 215)
    c = w / 2.0
    if kind == "close":
        pen.line([(c - 5, c - 5), (c + 5, c + 5)], ink, 1.7)
        pen.line([(c - 5, c + 5), (c + 5, c - 5)], ink, 1.7)
    else:
        pen.line([(c - 5.5, c + 0.5), (c + 5.5, c + 0.5)], ink, 1.7)
    return pen.result()


def chevron(state):
    w, h = size(BTN_DOWN)
    pen = Pen(w, h)
    a = {"normal": 190, "hot": 255, "pushed": 150}[state]
    if state == "hot":
        pen.ellipse((0, 0, w, h), fill=(255, 255, 255, 34))
    pen.line([(4.5, 6.5), (8, 10), (11.5, 6.5)], (255, 255, 255, a), 1.6)
    return pen.result()


def folder_button(state):
    w, h = size(BTN_SEL)
    pen = Pen(w, h)
    if state == "normal":
        pen.rrect((0.5, 0.5, w - 0.5, h - 0.5), h / 2, fill=(255, 255, 255), outline=BLUE + (255,), width=1.0)
    elif state == "hot":
        pen.rrect((0.5, 0.5, w - 0.5, h - 0.5), h / 2, fill=(236, 240, 255), outline=BLUE + (255,), width=1.0)
    else:
        pen.rrect((0.5, 0.5, w - 0.5, h - 0.5), h / 2, fill=(214, 222, 255), outline=(60, 86, 230), width=1.0)
    return pen.result()


def edit_frame():
    w, h = size(EDIT_FRAME)
    pen = Pen(w, h)
    pen.rrect((0.5, 0.5, w - 0.5, h - 0.5), 6, fill=(255, 255, 255), outline=(208, 214, 228), width=1.0)
    return pen.result()


def panel_background():
    w, h = size(PANEL)
    img = gradient(w, h, [(0, (239, 242, 250)), (1, PANEL_BG)], angle=90)
    pen = Pen(w, h)
    pen.line([(0, 0.5), (w, 0.5)], (220, 225, 238), 1.0, round_caps=False)
    img.alpha_composite(pen.result())
    return img


def progress_area_background():
    w, h = size(PROGRESS_BK)
    return gradient(w, h, [(0, (250, 251, 255)), (1, (255, 255, 255))], angle=90)


def progress_track():
    w, h = size(PROGRESS)
    pen = Pen(w, h)
    pen.rrect((0, 0, w, h), h / 2, fill=(229, 233, 243))
    return pen.result()


def progress_fill():
    w, h = size(PROGRESS)
    body = gradient(w, h, [(0, (46, 200, 255)), (0.6, BLUE), (1, PURPLE)], angle=0)
    gloss = gradient(w, h, [(0, (255, 255, 255, 70)), (0.5, (255, 255, 255, 0)), (1, (255, 255, 255, 0))], 90)
    body.alpha_composite(gloss)
    return masked(body, rounded_mask(w, h, h / 2))


def highlight():
    w, h = P(size(PRO_ANIM)[0]), P(size(PRO_ANIM)[1])
    img = Image.new("RGBA", (w, h), (255, 255, 255, 0))
    alpha = Image.new("L", (w, h))
    for x in range(w):
        t = (x + 0.5) / w
        v = int(200 * math.sin(math.pi * t) ** 2)
        for y in range(h):
            alpha.putpixel((x, y), v)
    img.putalpha(alpha)
    return masked(img, rounded_mask(*size(PRO_ANIM), size(PRO_ANIM)[1] / 2))


def info_icon():
    w, h = size(NET_IMG)
    pen = Pen(w, h)
    pen.ellipse((0, 0, w, h), fill=BLUE)
    pen.line([(7, 6.3), (7, 10.3)], (255, 255, 255), 1.6)
    pen.ellipse((6.1, 2.9, 7.9, 4.7), fill=(255, 255, 255))
    return pen.result()


def net_hide_shade():
    w, h = size(NET_HIDE)
    return gradient(w, h, [(0, (8, 6, 32, 0)), (1, (8, 6, 32, 70))], angle=90)


# Slides: a title, a line of text and a drawing each.
SLIDES = [
    ("极速引擎", ("多核调度深度优化", "大型手游高帧率流畅运行"), [(0, (36, 120, 255)), (1, (32, 200, 240))], "gauge"),
    ("键鼠操控", ("一键映射游戏按键", "操作精准如同端游"), [(0, (120, 64, 240)), (1, (236, 86, 190))], "keys"),
    ("多开同步", ("同时运行多个游戏账号", "多开窗口互不干扰"), [(0, (10, 150, 160)), (1, (60, 206, 130))], "multi"),
    ("高清大屏", ("高清画质自由切换", "大屏体验更加震撼"), [(0, (240, 110, 60)), (1, (255, 176, 64))], "screen"),
    ("安全纯净", ("无广告弹窗  无捆绑插件", "纯净环境安心使用"), [(0, (46, 62, 170)), (1, (84, 120, 250))], "shield"),
]


def draw_gauge(pen, cx, cy):
    r = 86
    box = (cx - r, cy - r, cx + r, cy + r)
    pen.ellipse((cx - r - 14, cy - r - 14, cx + r + 14, cy + r + 14), fill=(255, 255, 255, 22))
    pen.arc(box, 150, 390, (255, 255, 255, 70), 14)
    pen.arc(box, 150, 330, (255, 255, 255, 245), 14)
    for i in range(9):
        a = math.radians(150 + i * 30)
        r0, r1 = r - 24, r - 16
        pen.line([(cx + r0 * math.cos(a), cy + r0 * math.sin(a)), (cx + r1 * math.cos(a), cy + r1 * math.sin(a))],
                 (255, 255, 255, 200), 2.2)
    a = math.radians(300)
    pen.line([(cx, cy), (cx + 58 * math.cos(a), cy + 58 * math.sin(a))], (255, 255, 255), 5)
    pen.ellipse((cx - 11, cy - 11, cx + 11, cy + 11), fill=(255, 255, 255))
    pen.ellipse((cx - 5, cy - 5, cx + 5, cy + 5), fill=(36, 120, 255))
    bolt = [(cx - 2, cy + 26), (cx - 16, cy + 56), (cx - 2, cy + 56), (cx - 8, cy + 80), (cx + 14, cy + 46),
            (cx + 1, cy + 46), (cx + 8, cy + 26)]
    pen.polygon(bolt, (255, 222, 90))


def draw_keys(pen, cx, cy):
    key, gap, margin = 21, 5, 12
    kw = 7 * key + 6 * gap + 2 * margin
    kh = 4 * key + 3 * gap + 2 * margin
    x0, y0 = cx - 150, cy - kh / 2 + 6
    pen.rrect((x0, y0, x0 + kw, y0 + kh), 12, fill=(255, 255, 255, 60), outline=(255, 255, 255, 120), width=1.5)
    hot = {(1, 2), (2, 1), (2, 2), (2, 3)}  # W, A, S, D
    for row in range(4):
        ky = y0 + margin + row * (key + gap)
        for col in range(7):
            if row == 3 and col in (3, 4):
                continue  # covered by the space bar
            kx = x0 + margin + col * (key + gap)
            kww = 3 * key + 2 * gap if (row, col) == (3, 2) else key
            fill = (255, 255, 255, 250) if (row, col) in hot else (255, 255, 255, 110)
            pen.rrect((kx, ky, kx + kww, ky + key), 4, fill=fill)
    mx, my = x0 + kw + 22, cy - 50
    pen.rrect((mx, my, mx + 66, my + 104), 33, fill=(255, 255, 255, 240))
    pen.line([(mx + 33, my + 4), (mx + 33, my + 40)], (170, 90, 220, 200), 2)
    pen.line([(mx + 4, my + 40), (mx + 62, my + 40)], (170, 90, 220, 160), 1.5, round_caps=False)
    pen.rrect((mx + 29, my + 14, mx + 37, my + 30), 4, fill=(236, 86, 190))


def draw_multi(pen, cx, cy):
    for i, (dx, a) in enumerate(((-70, 90), (70, 90), (0, 255))):
        w, h = 96, 170
        x0, y0 = cx + dx - w / 2, cy - h / 2 + (12 if i < 2 else 0)
        pen.rrect((x0, y0, x0 + w, y0 + h), 16, fill=(255, 255, 255, a))
        inner = (x0 + 7, y0 + 18, x0 + w - 7, y0 + h - 20)
        pen.rrect(inner, 6, fill=(16, 140, 150, 255 if i == 2 else 120))
        pen.rrect((x0 + w / 2 - 12, y0 + 7, x0 + w / 2 + 12, y0 + 11), 2, fill=(16, 140, 150, 140))
        px, py = (inner[0] + inner[2]) / 2, (inner[1] + inner[3]) / 2
        tri = [(px - 10, py - 14), (px - 10, py + 14), (px + 15, py)]
        pen.polygon(tri, (255, 255, 255, 255 if i == 2 else 150))


def draw_screen(pen, cx, cy):
    w, h = 236, 146
    x0, y0 = cx - w / 2, cy - h / 2 - 14
    pen.rrect((x0, y0, x0 + w, y0 + h), 12, fill=(255, 255, 255, 245))
    sx0, sy0, sx1, sy1 = x0 + 9, y0 + 9, x0 + w - 9, y0 + h - 9
    pen.rrect((sx0, sy0, sx1, sy1), 6, fill=(255, 150, 70))
    pen.ellipse((sx1 - 62, sy0 + 16, sx1 - 34, sy0 + 44), fill=(255, 240, 170))
    pen.polygon([(sx0 + 3, sy1 - 3), (sx0 + 70, sy0 + 48), (sx0 + 120, sy1 - 3)], (255, 255, 255, 170))
    pen.polygon([(sx0 + 70, sy1 - 3), (sx0 + 150, sy0 + 34), (sx1 - 3, sy1 - 30), (sx1 - 3, sy1 - 3)],
                (255, 255, 255, 230))
    pen.polygon([(cx - 22, y0 + h), (cx + 22, y0 + h), (cx + 30, y0 + h + 26), (cx - 30, y0 + h + 26)],
                (255, 255, 255, 200))
    pen.rrect((cx - 56, y0 + h + 24, cx + 56, y0 + h + 32), 4, fill=(255, 255, 255, 245))


def draw_shield(pen, cx, cy):
    for r, a in ((104, 18), (80, 26)):
        pen.ellipse((cx - r, cy - r, cx + r, cy + r), fill=(255, 255, 255, a))
    top, bottom, half = cy - 74, cy + 80, 62
    pts = [(cx, top), (cx + half, top + 22)]
    for i in range(1, 11):
        t = i / 10.0
        pts.append((cx + half * (1 - t ** 2.2), top + 22 + (bottom - top - 22) * t))
    pts += [(x2, y2) for x2, y2 in [(2 * cx - x, y) for x, y in reversed(pts[1:])]]
    pen.polygon(pts, (255, 255, 255, 250))
    pen.line([(cx - 24, cy + 2), (cx - 6, cy + 21), (cx + 27, cy - 17)], (60, 96, 230), 9)
    for sx, sy, s in ((cx + 88, cy - 62, 9), (cx - 96, cy + 40, 7), (cx + 76, cy + 64, 5)):
        pen.polygon([(sx, sy - s), (sx + s * 0.3, sy - s * 0.3), (sx + s, sy), (sx + s * 0.3, sy + s * 0.3),
                     (sx, sy + s), (sx - s * 0.3, sy + s * 0.3), (sx - s, sy), (sx - s * 0.3, sy - s * 0.3)],
                    (255, 255, 255, 220))


DRAWINGS = {"gauge": draw_gauge, "keys": draw_keys, "multi": draw_multi, "screen": draw_screen,
            "shield": draw_shield}


def slide(index):
    title, line, stops, drawing = SLIDES[index]
    w, h = size(SLIDE)
    img = gradient(w, h, stops, angle=20)
    glow(img, w * 0.78, h * 0.45, 230, 170, (255, 255, 255), 0.22)
    glow(img, w * 0.05, h * 1.0, 200, 120, (0, 0, 0), 0.12)
    pen = Pen(w, h)
    for cx, cy, r, a in ((w + 10, -30, 160, 22), (w * 0.62, h + 60, 120, 16)):
        pen.ellipse((cx - r, cy - r, cx + r, cy + r), outline=(255, 255, 255, a), width=1.5)
    DRAWINGS[drawing](pen, 470, 142)
    # page dots
    for i in range(len(SLIDES)):
        x = 44 + i * 14 + (14 if i > index else 0)
        if i == index:
            pen.rrect((x, 236, x + 24, 242), 3, fill=(255, 255, 255))
        else:
            pen.ellipse((x, 236, x + 6, 242), fill=(255, 255, 255, 110))
    img.alpha_composite(pen.result())
    tag = "特色功能  %02d" % (index + 1)
    tw = text_width(tag, 12)
    tp = Pen(w, h)
    tp.rrect((44, 58, 44 + tw + 20, 80), 11, fill=(255, 255, 255, 46))
    img.alpha_composite(tp.result())
    text(img, (54, 69), tag, 12, (255, 255, 255, 235), anchor="lm")
    text(img, (42, 122), title, 34, (255, 255, 255), anchor="ls", bold=True)
    for i, ln in enumerate(line):
        text(img, (44, 154 + i * 26), ln, 16, (255, 255, 255, 225), anchor="ls")
    # a faint inner edge
    edge = Pen(w, h)
    edge.rrect((0, 0, w, h), 14, outline=(255, 255, 255, 40), width=1.0)
    img.alpha_composite(edge.result())
    return masked(img, rounded_mask(w, h, 14))


# ---------------------------------------------------------------------------------------------
# Atlas


class Atlas:
    """Places sprites on shelves inside the free areas of MainFrame.png."""

    def __init__(self, size_, fixed, free):
        self.img = Image.new("RGBA", (P(size_[0]), P(size_[1])), (0, 0, 0, 0))
        for img, pos in fixed:
            self.img.paste(img, (P(pos[0]), P(pos[1])))
        self.areas = [list(a) + [a[0], a[1], 0] for a in free]  # l, t, r, b, cursor x, shelf y, shelf h

    def add(self, img):
        w, h = img.size[0] / K, img.size[1] / K
        assert w == int(w) and h == int(h), "a sprite must have whole pixels at every scale"
        w, h = int(w), int(h)
        for a in self.areas:
            l, t, r, b, cx, sy, sh = a
            if cx + w > r:  # next shelf
                cx, sy, sh = l, sy + sh + 2, 0
            if cx + w <= r and sy + h <= b:
                self.img.paste(img, (P(cx), P(sy)))
                a[4], a[5], a[6] = cx + w + 2, sy, max(sh, h)
                return (cx, sy, cx + w, sy + h)
        raise SystemExit("atlas full: sprite %dx%d does not fit" % (w, h))


def image_attr(file, src, dest=None):
    s = "file='%s' source='%d,%d,%d,%d'" % ((file,) + tuple(src))
    if dest:
        s += " dest='%d,%d,%d,%d'" % tuple(dest)
    return s


def build():
    """Returns ({file name: PNG bytes}, MainFrame.xml bytes), the images at every scale."""
    global K
    images = {}
    try:
        for K, suffix in SCALES:
            drawn, src = draw_images(suffix)
            images.update(drawn)
            if K == 1:
                xml = main_frame_xml(src)
    finally:
        K = 1
    return images, xml


def draw_images(suffix):
    """The window's images at the current scale, named with `suffix`, and their sprites' rectangles
    (in 1x pixels, the same at every scale)."""
    start_bg = start_background()
    atlas = Atlas(ATLAS_SIZE, [(start_bg, (0, 0)), (progress_background(), PROGRESS_BG_SRC[:2])],
                  [(708, 0, 1384, 356), (0, 422, 706, 696)])
    A = "MainFrame.png"
    src = {}
    for state in ("normal", "hot", "pushed"):
        src["install_" + state] = atlas.add(install_button(state))
    for kind in ("min", "close"):
        for state in ("normal", "hot", "pushed"):
            src[kind + "_" + state] = atlas.add(caption_button(kind, state))
    for state in ("normal", "hot", "pushed"):
        src["down_" + state] = atlas.add(chevron(state))
    for state in ("normal", "hot", "pushed"):
        src["sel_" + state] = atlas.add(folder_button(state))
    src["logo"] = atlas.add(logo_mark(84, with_shadow=True))
    src["ico"] = atlas.add(logo_mark(size(ICO)[0]))
    src["info"] = atlas.add(info_icon())
    src["highlight"] = atlas.add(highlight())
    src["edit"] = atlas.add(edit_frame())
    src["track"] = atlas.add(progress_track())
    src["fill"] = atlas.add(progress_fill())
    src["panel"] = atlas.add(panel_background())
    src["progress_bk"] = atlas.add(progress_area_background())
    src["shade"] = atlas.add(net_hide_shade())

    sw, sh = size(SLIDE)
    slides = Image.new("RGBA", (P(sw), P(sh * len(SLIDES))), (0, 0, 0, 0))
    for i in range(len(SLIDES)):
        slides.paste(slide(i), (0, P(i * sh)))

    return {"MainFrame%s.png" % suffix: png_bytes(atlas.img), "Slides%s.png" % suffix: png_bytes(slides)}, src


def png_bytes(img):
    buf = io.BytesIO()
    img.save(buf, "PNG", optimize=True)
    return buf.getvalue()


def rect(r):
    return "%d,%d,%d,%d" % tuple(r)


def offset(r, origin):
    """`r`, given relative to `origin`'s top-left corner, in window pixels."""
    return (r[0] + origin[0], r[1] + origin[1], r[2] + origin[0], r[3] + origin[1])


def inset(outer, inner):
    """The focus mark's inset: from `outer` (the control) in to `inner`; negative goes outside."""
    return "%d,%d,%d,%d" % (inner[0] - outer[0], inner[1] - outer[1], outer[2] - inner[2], outer[3] - inner[3])


def main_frame_xml(src):
    A = "MainFrame.png"
    win = ET.Element("Window", {"size": "%d,%d" % (W, H), "caption": "0,0,%d,40" % W, "roundcorner": "12,12",
                                "bkcolor": argb(PANEL_BG), "focuscolor": argb(BLUE)})
    for fid, px, bold in ((0, 12, False), (1, 13, False), (2, 14, False), (3, 32, True), (4, 18, True)):
        attrs = {"id": str(fid), "name": "Microsoft YaHei", "size": str(px)}
        if bold:
            attrs["bold"] = "true"
        ET.SubElement(win, "Font", attrs)

    def add(parent, tag, **attrs):
        return ET.SubElement(parent, tag, {k: v for k, v in attrs.items() if v is not None})

    def buttons(prefix):
        return {"normalimage": image_attr(A, src[prefix + "_normal"]),
                "hotimage": image_attr(A, src[prefix + "_hot"]),
                "pushedimage": image_attr(A, src[prefix + "_pushed"])}

    win.append(ET.Comment(" Start screen: the whole backdrop; PanelBK covers its upper 340 rows with the same "
                          "pixels and takes the progress picture at install start. "))
    add(win, "Control", pos=rect((0, 0, W, H)), bkimage=image_attr(A, (0, 0, W, H)))
    add(win, "Control", name="PanelBK", pos=rect(PANELBK), bkimage=image_attr(A, PANELBK))
    win.append(ET.Comment(" Slides of the progress screen, one shown at a time "))
    for i in range(len(SLIDES)):
        sw, sh = size(SLIDE)
        add(win, "Control", name="ControlImage%d" % (i + 1), pos=rect(SLIDE), visible="false",
            bkimage=image_attr("Slides.png", (0, i * sh, sw, (i + 1) * sh)))
    win.append(ET.Comment(" Title bar (kept on both screens) "))
    add(win, "Control", name="ControlICO", pos=rect(ICO), bkimage=image_attr(A, src["ico"]))
    add(win, "Label", pos=rect((42, 9, 300, 33)), text="Vexo模拟器安装程序", font="1", textcolor=argb((255, 255, 255), 230))
    win.append(ET.Comment(" Start screen content "))
    add(win, "Control", name="ControlGameLogo", pos=rect(GAME_LOGO), bkimage=image_attr(A, src["logo"]))
    add(win, "Label", name="LabelGameName", pos=rect(GAME_NAME), text="Vexo模拟器", font="3", align="center",
        textcolor="#FFFFFFFF")
    add(win, "Button", name="BtnInstall", pos=rect(BTN_INSTALL), text="立即安装", font="4", align="center",
        padding="0,0,0,4", textcolor="#FFFFFFFF", hottextcolor="#FFFFFFFF", default="true",
        focusinset=inset(BTN_INSTALL, offset(INSTALL_PILL, BTN_INSTALL)), **buttons("install"))
    add(win, "Label", name="LabelShowSizeMini", pos=rect(SIZE_MINI), text="建议预留 4GB 以上磁盘空间", font="0",
        textcolor=argb((255, 255, 255), 150))
    add(win, "Button", name="BtnCustomInstall", pos=rect(BTN_CUSTOM), text="自定义安装", font="1", align="right",
        textcolor=argb((255, 255, 255), 200), hottextcolor="#FFFFFFFF")
    add(win, "Button", name="BtnDown", pos=rect(BTN_DOWN), tooltip="更多安装选项", **buttons("down"))
    win.append(ET.Comment(" Progress screen, lower part "))
    add(win, "Control", name="ContronNetInstallHide", pos=rect(NET_HIDE), visible="false",
        bkimage=image_attr(A, src["shade"]))
    add(win, "Control", name="ControlProgressBk", pos=rect(PROGRESS_BK), visible="false",
        bkimage=image_attr(A, src["progress_bk"]))
    add(win, "Label", name="LabelProgressTip", pos=rect(TIP), visible="false", text="正在准备安装...", font="1",
        textcolor=argb(INK))
    add(win, "Progress", name="ProgressInsatll", pos=rect(PROGRESS), visible="false", min="0", max="100",
        value="0", bkimage=image_attr(A, src["track"]), foreimage=image_attr(A, src["fill"]))
    add(win, "Control", name="ControlProAnimation", pos=rect(PRO_ANIM), visible="false",
        bkimage=image_attr(A, src["highlight"]))
    add(win, "Control", name="ControlNetInstallImg", pos=rect(NET_IMG), visible="false",
        bkimage=image_attr(A, src["info"]))
    add(win, "Label", name="ControlNetInstallPanel", pos=rect(NET_PANEL), visible="false",
        text="安装完成后将自动启动Vexo模拟器，安装过程中请勿关闭窗口", font="0", textcolor=argb(MUTED))
    win.append(ET.Comment(" Caption buttons, over everything "))
    add(win, "Button", name="BtnMin", pos=rect(BTN_MIN), tooltip="最小化", **buttons("min"))
    add(win, "Button", name="BtnClose", pos=rect(BTN_CLOSE), tooltip="关闭", **buttons("close"))
    win.append(ET.Comment(" Custom-install panel, below the start screen (window 680 x 480) "))
    panel = add(win, "Container", name="PanelInstallInfo", pos=rect(PANEL), visible="false",
                bkimage=image_attr(A, src["panel"]))
    add(panel, "Label", pos=rect(PANEL_LABEL), text="安装位置：", font="1", textcolor=argb(INK))
    add(panel, "Control", pos=rect(EDIT_FRAME), bkimage=image_attr(A, src["edit"]))
    add(panel, "Edit", name="EditPath", pos=rect(EDIT), font="1", textcolor=argb((51, 51, 51)), bkcolor="#FFFFFFFF",
        focusinset=inset(EDIT, EDIT_FRAME))
    add(panel, "Button", name="BtnSelFolder", pos=rect(BTN_SEL), text="更改目录", font="1", align="center",
        textcolor=argb(BLUE), hottextcolor=argb((60, 86, 230)), **buttons("sel"))
    ET.indent(win, space="  ")
    return b'<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(win, encoding="utf-8", xml_declaration=False) + b"\n"


def write_zip(path, files):
    """Writes the archive beside `path` first, so a failed run leaves no half-written res.zip."""
    tmp = path + ".tmp"
    with zipfile.ZipFile(tmp, "w") as z:
        for name in sorted(files, key=lambda n: (n != "MainFrame.xml", n)):
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0
            info.external_attr = 0
            z.writestr(info, files[name], compresslevel=9)
    os.replace(tmp, path)


# ---------------------------------------------------------------------------------------------
# Preview: the window's states drawn from the XML, as FORMAT.md describes the library's drawing.


def parse_image_attr(value):
    if "'" not in value:
        return value, None, None
    fields = dict(re.findall(r"(\w+)='([^']*)'", value))
    nums = lambda s: tuple(int(v) for v in s.split(",")) if s else None  # noqa: E731
    return fields["file"], nums(fields.get("source")), nums(fields.get("dest"))


def parse_color(value):
    v = int(value.lstrip("#"), 16)
    return ((v >> 16) & 255, (v >> 8) & 255, v & 255, (v >> 24) & 255)


def render(xml_bytes, images, state):
    root = ET.fromstring(xml_bytes)
    fonts = {f.get("id"): (int(f.get("size")), f.get("bold") == "true") for f in root.findall("Font")}
    w, h = (int(v) for v in root.get("size").split(","))
    h = state.get("height", h)
    canvas = Image.new("RGBA", (w, h), parse_color(root.get("bkcolor", "#FFFFFFFF")))
    decoded = {name: Image.open(io.BytesIO(data)).convert("RGBA") for name, data in images.items()}

    def draw_image(value, pos, clip_right=None):
        file, source, dest = parse_image_attr(value)
        img = decoded[file]
        if source:
            img = img.crop(source)
        l, t, r, b = pos
        if dest:
            l, t, r, b = l + dest[0], t + dest[1], l + dest[2], t + dest[3]
        if r <= l or b <= t:
            return
        img = img.resize((r - l, b - t), Image.BILINEAR)
        if clip_right is not None:
            img = img.crop((0, 0, max(0, min(r, clip_right) - l), b - t))
            if img.width == 0:
                return
        over(canvas, img, (l, t))

    def draw_text(el, pos, color_attr="textcolor", value=None):
        s = value if value is not None else el.get("text")
        if not s:
            return
        px, bold = fonts.get(el.get("font"), (12, False))
        pad = [int(v) for v in el.get("padding", "0,0,0,0").split(",")]
        l, t, r, b = pos[0] + pad[0], pos[1] + pad[1], pos[2] - pad[2], pos[3] - pad[3]
        align = el.get("align", "left")
        x = {"left": l, "center": (l + r) / 2, "right": r}[align]
        anchor = {"left": "l", "center": "m", "right": "r"}[align] + "m"
        color = parse_color(el.get(color_attr) or el.get("textcolor", "#FF000000"))
        layer = Image.new("RGBA", canvas.size, (0, 0, 0, 0))
        text(layer, (x, (t + b) / 2), s, px, color, anchor=anchor, bold=bold)
        canvas.alpha_composite(layer)

    def walk(el, parent_visible):
        for child in el:
            if not isinstance(child.tag, str) or child.tag == "Font":
                continue
            name = child.get("name")
            visible = state["visible"].get(name, child.get("visible", "true") == "true") and parent_visible
            if not visible:
                continue
            pos = tuple(int(v) for v in child.get("pos").split(","))
            if name in state.get("pos", {}):
                pos = state["pos"][name]
            if child.get("bkcolor"):
                over(canvas, solid(pos[2] - pos[0], pos[3] - pos[1], parse_color(child.get("bkcolor"))), pos[:2])
            bk = state.get("bkimage", {}).get(name, child.get("bkimage"))
            if child.tag == "Button":
                hot = name in state.get("hot", ())
                img = child.get("hotimage") if hot else child.get("normalimage")
                if img:
                    draw_image(img, pos)
                draw_text(child, pos, "hottextcolor" if hot else "textcolor")
            elif child.tag == "Progress":
                if bk:
                    draw_image(bk, pos)
                value = state.get("value", int(child.get("value", "0")))
                filled = pos[0] + (pos[2] - pos[0]) * value // 100
                draw_image(child.get("foreimage"), pos, clip_right=filled)
            else:
                if bk:
                    draw_image(bk, pos)
                value = state.get("text", {}).get(name)
                draw_text(child, pos, value=value)
            if child.tag == "Container":
                walk(child, True)

    walk(root, True)
    rw, rh = (int(v) for v in root.get("roundcorner", "0,0").split(","))
    mask = Image.new("L", (w * SS, h * SS), 0)
    ImageDraw.Draw(mask).rounded_rectangle([0, 0, w * SS - 1, h * SS - 1], radius=rw * SS // 2, fill=255)
    canvas.putalpha(mask.resize((w, h), Image.LANCZOS))
    return canvas


def preview(xml_bytes, images, path):
    start = {"visible": {}}
    custom = {"visible": {"PanelInstallInfo": True}, "height": H_PANEL, "hot": ("BtnInstall",),
              "text": {"EditPath": "C:\\Program Files (x86)\\kavix"}}
    progress_group = ("ProgressInsatll", "LabelProgressTip", "ControlProAnimation", "ControlNetInstallPanel",
                      "ContronNetInstallHide", "ControlNetInstallImg", "ControlProgressBk")
    start_group = ("BtnCustomInstall", "BtnDown", "BtnInstall", "ControlICO", "LabelShowSizeMini",
                   "ControlGameLogo", "LabelGameName")

    def installing(value, slide_no, tip):
        vis = {n: True for n in progress_group}
        vis.update({n: False for n in start_group})
        vis["ControlImage%d" % slide_no] = True
        filled = value * size(PROGRESS)[0] // 100
        x = min(PRO_ANIM[0] + 200, filled - 20)
        return {"visible": vis, "value": value, "text": {"LabelProgressTip": tip},
                "bkimage": {"PanelBK": "file='MainFrame.png' source='708,358,1384,696'"},
                "pos": {"ControlProAnimation": (x, PRO_ANIM[1], x + size(PRO_ANIM)[0], PRO_ANIM[3])}}

    shots = [("开始", render(xml_bytes, images, start)),
             ("自定义安装（按钮悬停）", render(xml_bytes, images, custom)),
             ("安装中 45%", render(xml_bytes, images, installing(45, 1, "正在安装 45%"))),
             ("安装中 .NET", render(xml_bytes, images, installing(
                 15, 2, "正在安装 15%，检测到没有安装.NET，正在安装，安装需要3-5分钟，请耐心等候...")))]
    for n in (3, 4, 5):
        shots.append(("幻灯片 %d" % n, render(xml_bytes, images, installing(80, n, "正在安装 80%"))))
    gap, head = 24, 30
    cols = 2
    rows = (len(shots) + cols - 1) // cols
    sheet = Image.new("RGBA", (cols * W + (cols + 1) * gap, rows * (H_PANEL + head + gap) + gap), (210, 214, 222, 255))
    for i, (label, shot) in enumerate(shots):
        x = gap + (i % cols) * (W + gap)
        y = gap + (i // cols) * (H_PANEL + head + gap)
        text(sheet, (x, y + 10), label, 16, (40, 44, 60), anchor="lm")
        sheet.alpha_composite(shadow(sheet.width, sheet.height, (x, y + head, x + shot.width, y + head + shot.height),
                                     8, 6, alpha=0.35, dy=3))
        sheet.alpha_composite(shot, (x, y + head))
    sheet.save(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True, help="res.zip to write")
    ap.add_argument("--preview", help="also write a preview PNG of the window's states")
    args = ap.parse_args()
    images, xml = build()
    files = dict(images)
    files["MainFrame.xml"] = xml
    write_zip(args.out, files)
    if args.preview:
        preview(xml, images, args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
