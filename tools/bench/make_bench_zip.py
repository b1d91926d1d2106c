#!/usr/bin/env python3
"""Makes the extraction benchmark's archives, the same bytes for the same seed.

The payload shape: about 400 MB uncompressed, about 2:1 deflated, shaped like an emulator payload
(a few disk images, a few hundred binaries, a few thousand small text files in folders up to five
levels deep). The names shape: as many entries as a zip without its 64-bit extension holds
(65,535), each a small file with a 243-byte name, 256 to a folder, for what the extraction keeps
per entry.

usage: make_bench_zip.py --seed N --out archive.zip [--shape payload|names] [--entries N]

--entries: fewer entries for the names shape, for a quick trial of the scripts."""
import argparse
import random
import zipfile

BLOCK = 64 * 1024
STAMP = (2024, 5, 1, 12, 0, 0)
WORDS = [b"emulator", b"engine", b"render", b"config", b"<item", b"value=", b"/>", b"0x1F",
         b"kernel", b"android", b"package", b"\n", b"\t", b"{", b"}", b"true", b"false"]


def text_block(rng, n):
    out = bytearray()
    while len(out) < n:
        out += rng.choice(WORDS)
        out += b" " if rng.random() < 0.8 else b"\n"
    return bytes(out[:n])


def structured_block(rng, n):
    # Table-like records with counters: compresses to roughly a quarter.
    out = bytearray()
    base = rng.randrange(1 << 24)
    i = 0
    while len(out) < n:
        out += (base + i).to_bytes(4, "little") + bytes([i & 0xFF, 0, 0, 1]) + rng.randbytes(2) + b"\0" * 6
        i += 1
    return bytes(out[:n])


def disk_image(rng, size):
    left = size
    while left > 0:
        n = min(BLOCK, left)
        r = rng.random()
        if r < 0.40:
            yield bytes(n)
        elif r < 0.72:
            yield structured_block(rng, n)
        else:
            yield rng.randbytes(n)
        left -= n


def binary(rng, size):
    left = size
    while left > 0:
        n = min(BLOCK, left)
        r = rng.random()
        if r < 0.45:
            yield rng.randbytes(n)
        elif r < 0.75:
            yield structured_block(rng, n)
        else:
            yield text_block(rng, n)
        left -= n


def add(zf, name, chunks):
    info = zipfile.ZipInfo(name, date_time=STAMP)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0x20
    with zf.open(info, "w", force_zip64=False) as f:
        for c in chunks:
            f.write(c)


def add_dir(zf, name, seen):
    if name in seen:
        return
    seen.add(name)
    info = zipfile.ZipInfo(name, date_time=STAMP)
    info.external_attr = 0x10
    zf.writestr(info, b"")


NAME_BYTES = 243
MAX_ENTRIES = 0xFFFF
PER_FOLDER = 256


def padded(rng, head, tail):
    """head + random letters + tail, NAME_BYTES long: names differ all along, not only in front."""
    fill = NAME_BYTES - len(head) - len(tail)
    return head + "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(fill)) + tail


def long_names(args, rng):
    total = 0
    with zipfile.ZipFile(args.out, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        # A top-level file first; each folder is made by its first file, one level below the top.
        folder = ""
        for i in range(args.entries):
            if i == 0:
                name = padded(rng, "top-", ".exe")
            else:
                if (i - 1) % PER_FOLDER == 0:
                    folder = f"g{(i - 1) // PER_FOLDER:03d}-" + "".join(rng.choice("klmnop") for _ in range(35))
                name = padded(rng, f"{folder}/{i:05d}-", ".txt")
            assert len(name.encode()) == NAME_BYTES
            data = text_block(rng, rng.randrange(16, 256))
            info = zipfile.ZipInfo(name, date_time=STAMP)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0x20
            zf.writestr(info, data)
            total += len(data)
    print(f"{args.out}: {args.entries} entries, {total / 1e6:.0f} MB uncompressed")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", required=True)
    ap.add_argument("--shape", choices=("payload", "names"), default="payload")
    ap.add_argument("--entries", type=int, default=MAX_ENTRIES)
    args = ap.parse_args()
    if not 1 <= args.entries <= MAX_ENTRIES:
        ap.error(f"--entries must be 1 to {MAX_ENTRIES}")
    rng = random.Random(args.seed)
    if args.shape == "names":
        long_names(args, rng)
        return
    seen = set()
    total = 0
    with zipfile.ZipFile(args.out, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        # A payload starts with a top-level file: the installer makes one folder level per entry.
        size = 300 * 1024
        add(zf, "ZavozidaDedor.exe", binary(rng, size))
        total += size
        add_dir(zf, "images/", seen)
        for i in range(4):
            size = rng.randrange(55, 75) * 1024 * 1024
            add(zf, f"images/disk{i}.img", disk_image(rng, size))
            total += size
        for d in ("bin/", "lib/", "plugins/"):
            add_dir(zf, d, seen)
        for i in range(300):
            size = rng.randrange(20 * 1024, 700 * 1024)
            folder = rng.choice(("bin/", "lib/", "plugins/"))
            add(zf, f"{folder}module{i:03d}.dll", binary(rng, size))
            total += size
        for i in range(3000):
            depth = rng.randrange(1, 6)
            parts = ["res"] + [f"d{level}_{rng.randrange(4)}" for level in range(1, depth)]
            for k in range(1, len(parts) + 1):
                add_dir(zf, "/".join(parts[:k]) + "/", seen)
            size = rng.randrange(200, 24 * 1024)
            add(zf, "/".join(parts) + f"/file{i:04d}.txt", [text_block(rng, size)])
            total += size
    print(f"{args.out}: {total / 1e6:.0f} MB uncompressed")


if __name__ == "__main__":
    main()
