#!/usr/bin/python3
"""Payload archives for the unzip task's tests: sizes for the progress steps, damaged and
badly ordered ones, names that try to leave the install folder, and links out of a folder."""

import os
import shutil
import sys
import warnings
import zipfile

# Names written twice are meant.
warnings.filterwarnings("ignore", "Duplicate name")


def write(path, entries, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 6, 7, 8, 10))
            info.compress_type = method
            if name.endswith("/"):
                info.external_attr = 0x10
            z.writestr(info, data)


def main(out):
    os.makedirs(out, exist_ok=True)
    for n in (1, 10, 11, 25, 100):
        write(os.path.join(out, f"n{n}.zip"), [(f"f{i}.txt", f"file {i}\n" * (i + 1)) for i in range(n)])

    write(os.path.join(out, "payload.zip"), [
        ("ZavozidaDedor.exe", "not really a program"),
        ("assets/", ""),
        ("assets/software/", ""),
        ("assets/software/vc.exe", "runtime"),
        ("readme.txt", "hello\n" * 100),
    ])
    # Two versions of a product for upgrades: some names kept with new data, some dropped, some new.
    for version, names in (("old", ("kept", "dropped")), ("new", ("kept", "added"))):
        entries = [("ZavozidaDedor.exe", f"emulator {version}"), ("assets/", "")]
        for folder in names:
            entries += [(f"assets/{folder}/", "")]
            entries += [(f"assets/{folder}/f{i}.dat", f"{version} {folder} {i}\n" * (i + 1)) for i in range(20)]
        write(os.path.join(out, f"upgrade_{version}.zip"), entries)
    write(os.path.join(out, "subfirst.zip"), [("sub/a.txt", "a"), ("b.txt", "b")])

    # Folders left and come back to (one in another case), a target written twice, a folder made by
    # its first file; and the same with a last entry that fails.
    nested = [
        ("top.exe", "top"),
        ("A/", ""),
        ("A/one.txt", "one"),
        ("A/B/", ""),
        ("A/B/two.txt", "two"),
        ("C/three.txt", "three"),
        ("A/four.txt", "four"),
        ("a/FIVE.txt", "five"),
        ("C/three.txt", "three again"),
        ("A/B/C/", ""),
        ("A/B/C/six.txt", "six"),
        ("last.txt", "last"),
    ]
    write(os.path.join(out, "nested.zip"), nested)
    path = os.path.join(out, "nested_badcrc.zip")
    write(path, nested + [("zz.txt", "damaged")], zipfile.ZIP_STORED)
    data = bytearray(open(path, "rb").read())
    for at in (data.rfind(b"PK\x03\x04") + 14, data.rfind(b"PK\x01\x02") + 16):
        data[at] ^= 0xFF
    open(path, "wb").write(bytes(data))

    # A bad CRC in the second entry: the first one is extracted, then the task fails.
    path = os.path.join(out, "badcrc.zip")
    write(path, [("first.txt", "first"), ("second.txt", "second entry " * 50)], zipfile.ZIP_STORED)
    data = bytearray(open(path, "rb").read())
    central = data.rfind(b"PK\x01\x02")
    local = data.find(b"PK\x03\x04", 4)
    for at in (local + 14, central + 16):
        data[at] ^= 0xFF
    open(path, "wb").write(bytes(data))

    # An archive without entries: only the end record.
    open(os.path.join(out, "empty.zip"), "wb").write(b"PK\x05\x06" + b"\0" * 18)

    traversals = {
        "dotdot": "../escape.txt",
        "deep": "a/../../escape.txt",
        "absolute": "/escape.txt",
        "backslash": "\\escape.txt",
        "drive": "C:/escape.txt",
        "unc": "//server/share/escape.txt",
        "dots": "a/.../escape.txt",
        # Reserved device names, which Windows resolves to the device in any folder.
        "aux": "aux.txt",
        "nul": "a/nul.txt",
        "devfolder": "a/CON/escape.txt",
    }
    for label, name in traversals.items():
        write(os.path.join(out, f"trav_{label}.zip"), [("ok.txt", "ok"), ("a/", ""), (name, "escaped")])

    # Folders with a link to a folder beside them, which only this side can make under Wine (which
    # shows a link to a file as the file itself). "Listed" has an earlier installation's list.
    links = os.path.join(out, "links")
    shutil.rmtree(links, ignore_errors=True)
    os.makedirs(os.path.join(links, "outside"))
    with open(os.path.join(links, "outside", "keep.txt"), "w") as f:
        f.write("outside")
    for folder, link in (("kavix", "dirlink"), ("Listed", "dirlink"), ("User", "bin")):
        os.makedirs(os.path.join(links, folder))
        with open(os.path.join(links, folder, "own.txt"), "w") as f:
            f.write("own")
        os.symlink("../outside", os.path.join(links, folder, link))
    with open(os.path.join(links, "Listed", "install.lst"), "w", newline="") as f:
        f.write("own.txt\r\ndirlink\\\r\ndirlink\\keep.txt\r\n")

    # Install folders a payload would write through a link from: a user's folder with an earlier
    # "tool.exe", a product folder with the link deeper, one that is a link itself, one where the
    # test moves a folder holding a link in ("parked") while the extraction runs, and one whose
    # whole parent it swaps for a look-alike with a link where the extraction left a folder
    # ("decoy"; Windows refuses to rename a folder with open handles below it, Wine does not).
    refused = os.path.join(links, "refused")
    outside = os.path.abspath(os.path.join(links, "outside"))
    for folder, link in (("Mine", "bin"), ("deep/kavix", "sub/dirlink"), ("Late", None), ("Swapped", None),
                         ("parked", "sub")):
        os.makedirs(os.path.join(refused, folder))
        if folder != "parked":
            with open(os.path.join(refused, folder, "own.txt"), "w") as f:
                f.write("own")
        if link:
            os.makedirs(os.path.dirname(os.path.join(refused, folder, link)), exist_ok=True)
            os.symlink(outside, os.path.join(refused, folder, link))
    with open(os.path.join(refused, "Mine", "tool.exe"), "w") as f:
        f.write("earlier")
    os.symlink(outside, os.path.join(refused, "Linked"))
    decoy = os.path.join(links, "decoy", "Swapped")
    os.makedirs(os.path.join(decoy, "data"))
    with open(os.path.join(decoy, "own.txt"), "w") as f:
        f.write("own")
    os.symlink(outside, os.path.join(decoy, "data", "sub"))


if __name__ == "__main__":
    main(sys.argv[1])
