#!/usr/bin/env python3
"""Pins a release's files in its installer: writes the SHA-256 of platform.zip, res.zip and
installer.ini (beside it in FOLDER) into the installer's pins block, in place. Run before the
installer is signed, so the signature covers the pins; a file changed afterwards needs a new run
(and a new signature). Prints the pins.

Usage: pin-release.py INSTALLER.exe FOLDER"""
import hashlib
import os
import sys

FILES = ("platform.zip", "res.zip", "installer.ini")
PLACEHOLDER = b"VEXO-PINS unpinned"
FILLED = b"VEXO-PINS 1\n"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main(exe, folder):
    image = bytearray(open(exe, "rb").read())
    at = image.find(PLACEHOLDER)
    if at < 0 or image.find(PLACEHOLDER, at + 1) >= 0:
        sys.exit(f"pin-release: {exe} has no single unfilled pins block (pinned already?)")
    end = at + len(PLACEHOLDER)
    while end < len(image) and image[end:end + 1] == b"-":
        end += 1
    pins = [(name, sha256(os.path.join(folder, name))) for name in FILES]
    block = FILLED + b"".join(f"{name}={digest}\n".encode() for name, digest in pins)
    if len(block) > end - at:
        sys.exit(f"pin-release: the pins block of {exe} holds {end - at} bytes, {len(block)} needed")
    image[at:end] = block.ljust(end - at, b"\0")
    with open(exe, "r+b") as f:
        f.write(image)
    for name, digest in pins:
        print(f"{digest}  {name}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
