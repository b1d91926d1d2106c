#!/usr/bin/python3
"""Damaged payloads for the unzip task's mutation run: a few well-formed archives, and from them
archives with bytes flipped, cut out or repeated, and records repeated, dropped, swapped or renamed.
Archive i of a seed is the same bytes on every run, so a failing one can be made again alone.

usage: make_mutated_zips.py --seed S --count N OUT_DIR     (writes OUT_DIR/NNNN.zip)
       make_mutated_zips.py --seed S --index I OUT_DIR     (writes OUT_DIR/IIII.zip and says how)"""

import argparse
import io
import os
import random
import struct
import zipfile

STAMP = (2024, 5, 6, 7, 8, 10)
LOCAL, CENTRAL, END = b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06"

# Names a damaged record may carry instead of its own: ways out of the folder, into a stream, onto
# a device, through Windows' trimming of trailing dots and blanks, or over another entry's name.
ODD_NAMES = [b"../x.txt", b"a/../../x.txt", b"/x.txt", b"\\x.txt", b"C:/x.txt", b"C:x.txt", b"//srv/share/x.txt",
             b"a/.../x.txt", b"a/.. /x.txt", b"..", b".", b"./", b"a//b.txt", b"a/./b.txt", b"a.txt:s", b"CON",
             b"aux.txt", b"a/NUL/b", b"*.txt", b"a?b", b"sub. /c.txt", b"readme.txt.", b"README.TXT", b"Sub/",
             b"sub", b"sub/deep/more/x", b"", b"/", b"x" * 259, b"\xff\xfe\xfd", "\u6a21\u62df/\u5668".encode()]


def entry(z, name, data, method=zipfile.ZIP_DEFLATED, folder=False, extra=b"", utf8=False):
    info = zipfile.ZipInfo(name, date_time=STAMP)
    info.compress_type = zipfile.ZIP_STORED if folder else method
    info.external_attr = 0x10 if folder else 0x20
    info.extra = extra
    if utf8:
        info.flag_bits |= 0x800
    z.writestr(info, data)


def well_formed():
    """The archives the damage starts from, as bytes."""
    bases = []
    # The sample payload's shape: a top-level file first, folders before their contents.
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        entry(z, "ZavozidaDedor.exe", b"MZ" + bytes(range(256)) * 4)
        entry(z, "sub/", b"", folder=True)
        entry(z, "sub/deep/", b"", folder=True)
        entry(z, "sub/deep/c.txt", b"deep text\n" * 40)
        entry(z, "sub/b.bin", bytes(range(256)) * 3, zipfile.ZIP_STORED)
        entry(z, "readme.txt", b"hello\n" * 100)
    bases.append(out.getvalue())
    # Stored and deflated files at the top, with extended times and a UTF-8 name.
    ut = struct.pack("<HHBiii", 0x5455, 13, 7, 1700000000, 1700000100, 1700000200)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for i in range(6):
            method = zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED
            entry(z, f"f{i}.txt", f"file {i}\n".encode() * (i * 20 + 1), method, extra=ut)
        entry(z, "\u6a21\u62df\u5668.txt", "\u6587\u5b57".encode() * 30, utf8=True)
    bases.append(out.getvalue())
    # Written to a stream that cannot seek: sizes and CRCs follow the data (flag bit 3).
    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    sink = Unseekable()
    with zipfile.ZipFile(sink, "w") as z:
        entry(z, "a/", b"", folder=True)
        for name in ("a/one.txt", "a/two.txt", "three.txt"):
            with z.open(zipfile.ZipInfo(name, date_time=STAMP), "w") as f:
                f.write(name.encode() * 50)
    bases.append(bytes(sink.data))
    return bases


HEADER_SIZE = {LOCAL: 30, CENTRAL: 46, END: 22}


def records(data):
    """Offsets of the whole local headers, central headers and end records (damage may have made
    more, or fewer, than the archive had)."""
    found = {}
    for sig, size in HEADER_SIZE.items():
        found[sig] = []
        at = data.find(sig)
        while at != -1 and at + size <= len(data):
            found[sig].append(at)
            at = data.find(sig, at + 1)
    return found


def central_span(data, at):
    name, extra, comment = struct.unpack_from("<HHH", data, at + 28)
    return at, min(len(data), at + 46 + name + extra + comment)


def local_span(data, at, central_at):
    """A local header through its data, sized from its central header (which knows the sizes)."""
    comp = struct.unpack_from("<I", data, central_at + 20)[0]
    name, extra = struct.unpack_from("<HH", data, at + 26)
    end = at + 30 + name + extra + comp
    if struct.unpack_from("<H", data, at + 6)[0] & 8:  # a data descriptor follows
        end += 16 if data[end:end + 4] == b"PK\x07\x08" else 12
    return at, min(len(data), end)


def end_record(data):
    end = data.rfind(END)
    return end if 0 <= end and end + 22 <= len(data) else None


def set_count(data, count):
    end = end_record(data)
    if end is not None:
        struct.pack_into("<HH", data, end + 8, count & 0xFFFF, count & 0xFFFF)


def add_to_field(data, offset, delta):
    """Adds to the end record's 32-bit field at offset (the directory's size or start)."""
    end = end_record(data)
    if end is not None:
        value = struct.unpack_from("<I", data, end + offset)[0]
        struct.pack_into("<I", data, end + offset, (value + delta) & 0xFFFFFFFF)


def shift_directory(data, delta):
    add_to_field(data, 16, delta)


def mutate(rng, data):
    """One damage; returns the new bytes and what was done."""
    data = bytearray(data)
    rec = records(bytes(data))
    kind = rng.choice(["flip", "flip", "flip-header", "flip-header", "cut", "cut-middle", "repeat-bytes",
                       "repeat-central", "drop-central", "swap-central", "repeat-local", "rename", "rename",
                       "field", "count"])
    if kind == "flip" or (kind in ("flip-header", "field", "rename", "count") and not rec[CENTRAL]):
        n = rng.randrange(1, 9)
        for _ in range(n):
            data[rng.randrange(len(data))] ^= rng.randrange(1, 256)
        return bytes(data), f"flip {n} bytes"
    if kind == "flip-header":
        at = rng.choice(rec[CENTRAL] + rec[LOCAL] + rec[END])
        span = 46 if data[at:at + 4] == CENTRAL else 30 if data[at:at + 4] == LOCAL else 22
        pos = at + rng.randrange(4, span)
        if pos < len(data):
            data[pos] ^= 1 << rng.randrange(8)
        return bytes(data), f"flip a bit at {pos} (header at {at})"
    if kind == "cut":
        n = rng.randrange(1, len(data))
        return bytes(data[:n]), f"cut to {n} bytes"
    if kind == "cut-middle":
        a = rng.randrange(len(data))
        b = min(len(data), a + rng.randrange(1, 200))
        return bytes(data[:a] + data[b:]), f"cut bytes {a}..{b}"
    if kind == "repeat-bytes":
        a = rng.randrange(len(data))
        b = min(len(data), a + rng.randrange(1, 300))
        at = rng.randrange(len(data) + 1)
        return bytes(data[:at] + data[a:b] + data[at:]), f"repeat bytes {a}..{b} at {at}"
    centrals = [central_span(data, at) for at in rec[CENTRAL]]
    if kind == "repeat-central" and centrals:
        # Kept consistent: the end record counts the copies, so the reader walks them.
        a, b = rng.choice(centrals)
        times = rng.choice([1, 2, 5, 50])
        data[b:b] = data[a:b] * times
        set_count(data, len(centrals) + times)
        add_to_field(data, 12, (b - a) * times)
        return bytes(data), f"repeat central record at {a} {times} times"
    if kind == "drop-central" and centrals:
        a, b = rng.choice(centrals)
        del data[a:b]
        set_count(data, len(centrals) - 1)
        add_to_field(data, 12, a - b)
        return bytes(data), f"drop central record at {a}"
    if kind == "swap-central" and len(centrals) >= 2:
        (a1, b1), (a2, b2) = sorted(rng.sample(centrals, 2))
        data[a1:b2] = data[a2:b2] + data[b1:a2] + data[a1:b1]
        return bytes(data), f"swap central records at {a1} and {a2}"
    if kind == "repeat-local" and rec[LOCAL] and centrals:
        k = rng.randrange(min(len(rec[LOCAL]), len(centrals)))
        a, b = local_span(data, rec[LOCAL][k], centrals[k][0])
        data[b:b] = data[a:b]
        shift_directory(data, b - a)
        return bytes(data), f"repeat local record {k}"
    if kind == "rename" and centrals:
        # The central name and the local one alike, so the entry is still read.
        k = rng.randrange(len(centrals))
        name = rng.choice(ODD_NAMES)
        a, b = centrals[k]
        old = struct.unpack_from("<H", data, a + 28)[0]
        local = struct.unpack_from("<I", data, a + 42)[0]
        data[a + 46:a + 46 + old] = name
        struct.pack_into("<H", data, a + 28, len(name))
        add_to_field(data, 12, len(name) - old)
        if local + 30 <= len(data) and data[local:local + 4] == LOCAL and local < a:
            lold = struct.unpack_from("<H", data, local + 26)[0]
            data[local + 30:local + 30 + lold] = name
            struct.pack_into("<H", data, local + 26, len(name))
            shift = len(name) - lold
            # Later local headers and the directory move by the difference.
            for c_at, _ in [central_span(data, x) for x in records(bytes(data))[CENTRAL]]:
                off = struct.unpack_from("<I", data, c_at + 42)[0]
                if off > local:
                    struct.pack_into("<I", data, c_at + 42, off + shift)
            shift_directory(data, shift)
        return bytes(data), f"rename entry {k} to {name!r}"
    if kind == "field" and centrals:
        # A size, offset, attribute or length field set to an edge value.
        a, _ = rng.choice(centrals)
        field = rng.choice([(10, "H"), (20, "I"), (24, "I"), (28, "H"), (30, "H"), (38, "I"), (42, "I")])
        value = rng.choice([0, 1, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x40000000, 0x10, len(data)])
        struct.pack_into("<" + field[1], data, a + field[0], value & (0xFFFF if field[1] == "H" else 0xFFFFFFFF))
        return bytes(data), f"set field +{field[0]} of central record at {a} to {value:#x}"
    if kind == "count" and end_record(data) is not None:
        count = rng.choice([0, 1, len(centrals) + 1, 0xFFFF])
        set_count(data, count)
        return bytes(data), f"set the entry count to {count}"
    return bytes(data), "none"


def make(seed, index, bases):
    rng = random.Random(seed * 1000003 + index)
    data = bases[rng.randrange(len(bases))]
    done = []
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        if not data:
            break
        data, what = mutate(rng, data)
        done.append(what)
    return data, "; ".join(done)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, required=True)
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--count", type=int)
    group.add_argument("--index", type=int)
    ap.add_argument("out")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    bases = well_formed()
    for index in ([args.index] if args.index is not None else range(args.count)):
        data, what = make(args.seed, index, bases)
        with open(os.path.join(args.out, f"{index:04d}.zip"), "wb") as f:
            f.write(data)
        if args.index is not None:
            print(f"{index:04d}.zip: {what}")


if __name__ == "__main__":
    main()
