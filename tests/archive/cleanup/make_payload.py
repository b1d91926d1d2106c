#!/usr/bin/env python3
"""Writes the payload archive the cleanup test reads beside itself, and beside it "cut-" the same
with its last directory record broken. Usage: make_payload.py <zip>"""
import os
import sys
import zipfile

# Top-level names a cleanup may remove ("ZavozidaDedor.exe", "assets", "readme.txt"), and names it
# must never act on: a parent step, a wildcard, a rooted name, a drive.
ENTRIES = [
    "ZavozidaDedor.exe",
    "assets/",
    "assets/software/vc.exe",
    "ASSETS/other.bin",
    "readme.txt",
    "../evil",
    "*",
    "/rooted.txt",
    "C:/drive.txt",
]

with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name in ENTRIES:
        z.writestr(zipfile.ZipInfo(name, date_time=(2020, 9, 13, 12, 26, 40)), b"" if name.endswith("/") else b"x")

with open(sys.argv[1], "rb") as f:
    data = bytearray(f.read())
last = data.rfind(b"PK\x01\x02")
data[last + 3] = 9
cut = os.path.join(os.path.dirname(sys.argv[1]), "cut-" + os.path.basename(sys.argv[1]))
with open(cut, "wb") as f:
    f.write(data)
