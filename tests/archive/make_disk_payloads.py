#!/usr/bin/python3
"""Payloads for the free-space check, sized against a drive of 4 MiB with 4 KiB clusters.
Their data is random, so that what lands on the drive is what the entries say."""

import os
import sys
import zipfile

from make_unzip_fixtures import write  # beside this script

MIB = 1024 * 1024


def main(out):
    os.makedirs(out, exist_ok=True)
    # 3 MiB: fits an empty drive, or one holding up to 1 MiB more.
    write(os.path.join(out, "fits.zip"), [
        ("ZavozidaDedor.exe", os.urandom(MIB)),
        ("assets/", b""),
        ("assets/data.bin", os.urandom(MIB)),
        ("readme.bin", os.urandom(MIB)),
    ])
    # 5 MiB: more than the whole drive.
    write(os.path.join(out, "toobig.zip"), [
        ("ZavozidaDedor.exe", os.urandom(3 * MIB)),
        ("big.bin", os.urandom(2 * MIB)),
    ])
    # 1100 one-byte files: a few KiB of data, 1100 clusters on the drive.
    write(os.path.join(out, "smallfiles.zip"), [(f"f{i}.txt", os.urandom(1)) for i in range(1100)])
    # 5 MiB of zeros deflate to a few KiB: what counts is the size once extracted.
    write(os.path.join(out, "zeros.zip"), [("ZavozidaDedor.exe", bytes(5 * MIB))])
    # Files of sizes around one cluster, and an empty one, beside folders.
    write(os.path.join(out, "sizes.zip"), [
        ("d/", b""), ("d/e/", b""), ("empty", b""), ("one", b"x"),
        ("d/page", os.urandom(4096)), ("d/e/page1", os.urandom(4097)),
    ], zipfile.ZIP_STORED)


if __name__ == "__main__":
    main(sys.argv[1])
