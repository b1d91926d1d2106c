#!/usr/bin/python3
"""Checks a built res.zip against the window's contract (the controls it addresses) and skin/FORMAT.md.

    check_skin.py res.zip [--regenerate make_skin.py scratch.zip]

With --regenerate it also runs the generator again and requires byte-identical output.
Prints every failure and exits 1 when there is any.
"""

import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile

# Every control the window addresses, with its element type.
REQUIRED = {
    "BtnClose": "Button", "BtnMin": "Button", "BtnSelFolder": "Button", "BtnCustomInstall": "Button",
    "BtnDown": "Button", "BtnInstall": "Button",
    "EditPath": "Edit",
    "PanelInstallInfo": "Container",
    "PanelBK": "Control", "ControlICO": "Control", "ControlGameLogo": "Control",
    "LabelShowSizeMini": "Label", "LabelGameName": "Label",
    "ProgressInsatll": "Progress", "LabelProgressTip": "Label",
    "ControlProAnimation": "Control",
    "ControlNetInstallPanel": None, "ContronNetInstallHide": None, "ControlNetInstallImg": None,
    "ControlProgressBk": None,
}
REQUIRED.update({"ControlImage%d" % n: "Control" for n in range(1, 6)})
ELEMENTS = {"Control", "Label", "Button", "Edit", "Progress", "Container"}
IMAGE_ATTRS = ("bkimage", "normalimage", "hotimage", "pushedimage", "disabledimage", "foreimage")
PROGRESS_BG = (708, 358, 1384, 696)  # StartInstallation's source rectangle in MainFrame.png
PROGRESS_GROUP = ("ProgressInsatll", "LabelProgressTip", "ControlProAnimation", "ControlNetInstallPanel",
                  "ContronNetInstallHide", "ControlNetInstallImg", "ControlProgressBk")

failures = []


def fail(msg):
    failures.append(msg)


def nums(text, count):
    try:
        values = tuple(int(v) for v in text.split(","))
    except (AttributeError, ValueError):
        return None
    return values if len(values) == count else None


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


def inside(r, w, h):
    return 0 <= r[0] < r[2] <= w and 0 <= r[1] < r[3] <= h


def check(zip_path):
    try:
        z = zipfile.ZipFile(zip_path)
    except (OSError, zipfile.BadZipFile) as e:
        fail("cannot open %s: %s" % (zip_path, e))
        return
    names = set(z.namelist())
    if "MainFrame.xml" not in names:
        fail("MainFrame.xml missing from the archive")
        return
    try:
        root = ET.fromstring(z.read("MainFrame.xml"))
    except ET.ParseError as e:
        fail("MainFrame.xml does not parse: %s" % e)
        return
    sizes = {}
    for n in names:
        if n.lower().endswith(".png"):
            sizes[n] = png_size(z.read(n))
            if sizes[n] is None:
                fail("%s is not a PNG" % n)

    if root.tag != "Window" or nums(root.get("size"), 2) != (680, 420):
        fail("root must be <Window size=\"680,420\">")
    caption = nums(root.get("caption"), 4)
    if not caption or caption[1] != 0 or caption[2] - caption[0] < 340:
        fail("caption area must run across the top: %r" % root.get("caption"))
    if not nums(root.get("roundcorner"), 2):
        fail("round corners missing")
    font_ids = {f.get("id") for f in root.iter("Font")}
    for f in root.iter("Font"):
        if f.get("name") != "Microsoft YaHei":
            fail("font %s is %r, not Microsoft YaHei" % (f.get("id"), f.get("name")))

    controls = {}
    positions = {}
    for el in root.iter():
        if el.tag not in ELEMENTS:
            if isinstance(el.tag, str) and el.tag not in ("Window", "Font"):
                fail("unknown element <%s>" % el.tag)
            continue
        name = el.get("name")
        pos = nums(el.get("pos"), 4)
        if not pos or not (0 <= pos[0] < pos[2] <= 680 and 0 <= pos[1] < pos[3] <= 480):
            fail("%s <%s>: bad pos %r" % (name or "unnamed", el.tag, el.get("pos")))
        if name:
            controls.setdefault(name, []).append(el)
            positions[name] = pos
        # A screen reader names a button by its text, or by its tooltip when it is only an image.
        if el.tag == "Button" and not el.get("text") and not el.get("tooltip"):
            fail("%s: a button drawn only as an image needs a tooltip" % (name or "unnamed"))
        if el.get("font") is not None and el.get("font") not in font_ids:
            fail("%s: font %s is not defined" % (name or el.tag, el.get("font")))
        for attr in IMAGE_ATTRS:
            value = el.get(attr)
            if value is None:
                continue
            fields = dict(re.findall(r"(\w+)='([^']*)'", value)) if "'" in value else {"file": value}
            file = fields.get("file")
            if file not in sizes or sizes[file] is None:
                fail("%s %s: image %r is not in the archive" % (name or el.tag, attr, file))
                continue
            if "source" in fields:
                src = nums(fields["source"], 4)
                if not src or not inside(src, *sizes[file]):
                    fail("%s %s: source %s outside %s %dx%d" % (name or el.tag, attr, fields["source"], file,
                                                              *sizes[file]))

    for name, kind in REQUIRED.items():
        found = controls.get(name, [])
        if len(found) != 1:
            fail("%s: present %d times, expected once" % (name, len(found)))
        elif kind and found[0].tag != kind:
            fail("%s: <%s>, expected <%s>" % (name, found[0].tag, kind))

    # Every image drawn again at 1.5x and 2x, exactly that much larger, so a source rectangle
    # of the 1x image maps onto whole pixels of each set.
    for n in sorted(sizes):
        if "@" in n or sizes[n] is None:
            continue
        stem = n[:-len(".png")]
        for suffix, num, den in (("@1.5x", 3, 2), ("@2x", 2, 1)):
            want = tuple(v * num // den for v in sizes[n]) if all(v * num % den == 0 for v in sizes[n]) else None
            if sizes.get(stem + suffix + ".png") != want or want is None:
                fail("%s%s.png is %r, not %r" % (stem, suffix, sizes.get(stem + suffix + ".png"), want))

    atlas = sizes.get("MainFrame.png")
    if not atlas or not inside(PROGRESS_BG, *atlas):
        fail("MainFrame.png (%r) does not hold the progress background %r" % (atlas, PROGRESS_BG))

    slide_pos = {positions.get("ControlImage%d" % n) for n in range(1, 6)}
    if len(slide_pos) != 1:
        fail("the slides do not share one rectangle: %r" % slide_pos)
    for n in range(1, 6):
        for el in controls.get("ControlImage%d" % n, [])[:1]:
            if el.get("visible") != "false":
                fail("ControlImage%d should start hidden" % n)

    panel = controls.get("PanelInstallInfo", [None])[0]
    if panel is not None:
        if panel.get("visible") != "false":
            fail("PanelInstallInfo should start hidden")
        for el in panel.iter():
            pos = nums(el.get("pos"), 4)
            if pos and not (pos[1] >= 420 and pos[3] <= 480):
                fail("%s lies outside the panel's rows 420..480: %r" % (el.get("name") or el.tag, pos))
        for child in ("EditPath", "BtnSelFolder"):
            if not any(el.get("name") == child for el in panel.iter()):
                fail("%s is not inside PanelInstallInfo" % child)

    bar, hl = positions.get("ProgressInsatll"), positions.get("ControlProAnimation")
    if bar and hl and not (hl[2] - hl[0] < bar[2] - bar[0] and bar[0] <= hl[0] < hl[2] <= bar[2]):
        fail("ControlProAnimation %r should be a narrower rectangle on the progress bar %r" % (hl, bar))
    for name in PROGRESS_GROUP:
        for el in controls.get(name, [])[:1]:
            pos = positions[name]
            if pos and pos[3] > 420:
                fail("%s of the progress screen lies below row 420" % name)


def regenerate(zip_path, generator, scratch):
    result = subprocess.run([sys.executable, generator, "--out", scratch], capture_output=True, text=True)
    if result.returncode != 0:
        fail("generator failed: %s" % result.stderr.strip())
        return
    with open(zip_path, "rb") as a, open(scratch, "rb") as b:
        if a.read() != b.read():
            fail("the generator's output differs from %s: not reproducible" % zip_path)


def main(argv):
    if len(argv) not in (2, 5) or (len(argv) == 5 and argv[2] != "--regenerate"):
        print(__doc__)
        return 2
    if len(argv) == 5:
        regenerate(argv[1], argv[3], argv[4])
    else:
        check(argv[1])
    for f in failures:
        print("FAIL:", f)
    print("%s: %s" % (argv[1], "%d failure(s)" % len(failures) if failures else "ok"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
