#!/usr/bin/env python3
"""Builds the archives the archive tests read: real ones from Info-ZIP zip and Python's
zipfile, and damaged ones patched by hand. Usage: make_zip_fixtures.py <out-dir>"""
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

OUT = os.path.abspath(sys.argv[1])
DATA = os.path.join(OUT, "data")
MTIME = 1600000000  # 2020-09-13 12:26:40 UTC, an even second so the DOS stamp is exact
ATIME = 1500000000
rng = random.Random(20240601)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def text(n):
    words = [b"alpha", b"beta", b"gamma", b"delta", b"install", b"folder", b"\n"]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) + b" "
    return bytes(out[:n])


def mixed(n):
    out = bytearray()
    while len(out) < n:
        kind = rng.randrange(3)
        size = rng.randrange(1000, 40000)
        if kind == 0:
            out += bytes(size)
        elif kind == 1:
            out += text(size)
        else:
            out += rng.randbytes(size)
    return bytes(out[:n])


def zip_bytes(entries, comment=b""):
    """entries: (ZipInfo or name, data, compress_type)"""
    path = os.path.join(OUT, "tmp.zip")
    with zipfile.ZipFile(path, "w") as z:
        for info, data, method in entries:
            if isinstance(info, str):
                info = zipfile.ZipInfo(info, date_time=(2020, 9, 13, 12, 26, 40))
            info.compress_type = method
            z.writestr(info, data)
        z.comment = comment
    with open(path, "rb") as f:
        buf = f.read()
    os.remove(path)
    return bytearray(buf)


def end_record(buf):
    return buf.rfind(b"PK\x05\x06")


def central_headers(buf):
    end = end_record(buf)
    count, size, offset = struct.unpack_from("<HII", buf, end + 10)
    out, pos = [], offset
    for _ in range(count):
        out.append(pos)
        n, e, c = struct.unpack_from("<HHH", buf, pos + 28)
        pos += 46 + n + e + c
    return out


def local_header(buf, index):
    return struct.unpack_from("<I", buf, central_headers(buf)[index] + 42)[0]


def put(buf, offset, fmt, value):
    struct.pack_into(fmt, buf, offset, value)
    return buf


def save(name, buf):
    write(os.path.join(OUT, name), bytes(buf))


def run(args, **kw):
    env = dict(os.environ, TZ="UTC")
    subprocess.run(args, check=True, env=env, **kw)


class Bits:
    """A deflate bit stream: fields least significant bit first, Huffman codes most significant first."""

    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, value, count):
        self.acc |= value << self.n
        self.n += count
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def code(self, code, length):
        self.put(int(format(code, f"0{length}b")[::-1], 2), length)

    def done(self):
        if self.n:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


def canonical(lengths):
    """Codes of a canonical Huffman code of these lengths, by symbol."""
    codes, code = {}, 0
    for length in range(1, 16):
        for symbol, n in enumerate(lengths):
            if n == length:
                codes[symbol] = (code, length)
                code += 1
        code <<= 1
    return codes


FIXED_LITLEN = canonical([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8)
FIXED_DIST = canonical([5] * 32)


def fixed_block(ops):
    """A final fixed block of ops: (literal,), (length symbol, extra, extra bits, distance symbol,
    extra, extra bits)."""
    bits = Bits()
    bits.put(1, 1)
    bits.put(1, 2)
    for op in ops:
        bits.code(*FIXED_LITLEN[op[0]])
        if len(op) > 1:
            bits.put(op[1], op[2])
            bits.code(*FIXED_DIST[op[3]])
            bits.put(op[4], op[5])
    bits.code(*FIXED_LITLEN[256])
    return bits.done()


def dynamic_block(litlen, dist, data):
    """A final dynamic block of literals with these code lengths, each length sent as itself."""
    used = sorted(set(litlen + dist))
    order = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
    cl = [0] * 19
    for symbol, n in zip(used, {4: (2, 2, 2, 2), 5: (2, 2, 2, 3, 3)}[len(used)]):
        cl[symbol] = n
    count = max(order.index(s) for s in used) + 1
    bits = Bits()
    bits.put(1, 1)
    bits.put(2, 2)
    bits.put(len(litlen) - 257, 5)
    bits.put(len(dist) - 1, 5)
    bits.put(count - 4, 4)
    for symbol in order[:count]:
        bits.put(cl[symbol], 3)
    lengths = canonical(cl)
    for n in litlen + dist:
        bits.code(*lengths[n])
    codes = canonical(litlen)
    for byte in data:
        bits.code(*codes[byte])
    bits.code(*codes[256])
    return bits.done()


def deflated_zip(name, stream, data):
    """One deflated entry of this raw stream, its headers declaring `data`."""
    buf = zip_bytes([(name, data, zipfile.ZIP_DEFLATED)])
    start = 30 + len(name)
    old = struct.unpack_from("<I", buf, 18)[0]
    buf[start:start + old] = stream
    delta = len(stream) - old
    end = end_record(buf)
    put(buf, end + 16, "<I", struct.unpack_from("<I", buf, end + 16)[0] + delta)
    put(buf, central_headers(buf)[0] + 20, "<I", len(stream))
    put(buf, local_header(buf, 0) + 18, "<I", len(stream))
    return buf


def crafted_deflate():
    """Deflate data one decoder may take and another refuse: more length or distance codes than
    the format has, and the fixed codes' reserved symbols. Each entry declares what a lenient
    decoder makes of it, so only the decoder tells."""
    line = b"crafted entry\n"
    # Complete codes: the fixed lengths for 288 symbols; for 286, two symbols a bit shorter.
    lit288 = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
    lit286 = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 4 + [7] * 2
    dist30 = [5] * 28 + [4] * 2
    save("deflate_288_lengths.zip", deflated_zip("lengths.txt", dynamic_block(lit288, dist30, line * 20), line * 20))
    save("deflate_32_distances.zip", deflated_zip("distances.txt", dynamic_block(lit286, [5] * 32, line * 20),
                                                  line * 20))
    head = b"0123456789"
    for symbol in (286, 287):
        ops = [(c,) for c in head] + [(symbol, 0, 0, 0, 0, 0)]
        save(f"deflate_length_{symbol}.zip",
             deflated_zip("length.txt", fixed_block(ops), head + head[-1:] * 258))
    # Distances 30 and 31 need 24,577 bytes behind them: ten literals, then copies of them.
    for symbol in (30, 31):
        data = bytearray(head)
        ops = [(c,) for c in head]
        while len(data) < 30000:
            ops.append((285, 0, 0, 6, 1, 2))  # length 258, distance 10
            data += data[-10:] * 26
            del data[len(data) - 2:]
        ops.append((257, 0, 0, symbol, 0, 13))  # length 3, distance 24,577
        data += bytes(data[len(data) - 24577 + k] for k in range(3))
        save(f"deflate_distance_{symbol}.zip", deflated_zip("distance.txt", fixed_block(ops), bytes(data)))


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(DATA)

    # Source tree: the tests compare extracted bytes with these files.
    files = {
        "hello.txt": text(50000),
        "random.bin": rng.randbytes(200000),
        "big.dat": mixed(3 * 1024 * 1024),
        "empty.txt": b"",
        "ro.txt": b"read only\n",
        "dir/sub/c.txt": text(3000),
    }
    for name, data in files.items():
        write(os.path.join(DATA, name), data)
    os.chmod(os.path.join(DATA, "ro.txt"), 0o444)
    for root, dirs, names in os.walk(DATA):
        for n in names + dirs:
            os.utime(os.path.join(root, n), (ATIME, MTIME))

    members = ["hello.txt", "random.bin", "big.dat", "empty.txt", "ro.txt", "dir"]
    # .bin stored, the rest deflated; folders with Unix attributes; "UT" blocks by default.
    run(["zip", "-q", "-r", "-n", ".bin", os.path.join(OUT, "infozip.zip")] + members, cwd=DATA)
    run(["zip", "-q", "-r", "-X", os.path.join(OUT, "noextra.zip"), "hello.txt", "dir"], cwd=DATA)
    # Written to a pipe, zip cannot seek back: sizes and CRC go to data descriptors (flag bit 3).
    piped = subprocess.run(["zip", "-q", "-", "hello.txt", "big.dat", "random.bin"], cwd=DATA, check=True,
                           env=dict(os.environ, TZ="UTC"), stdout=subprocess.PIPE).stdout
    write(os.path.join(OUT, "pipe.zip"), piped)

    with open(os.path.join(OUT, "infozip.zip"), "rb") as f:
        infozip = f.read()
    # A self-extractor stub in front, offsets left as they were.
    save("sfx.zip", b"MZ" + rng.randbytes(5000) + infozip)

    # Small sound archives for the hostile-bytes test to mutate.
    small_dir = os.path.join(OUT, "small")
    for name, data in {"a.txt": text(2000), "r.bin": rng.randbytes(700), "e.txt": b"",
                       "d/x/y.txt": text(900), "d/z.dat": mixed(20000)}.items():
        write(os.path.join(small_dir, name), data)
    for root, dirs, names in os.walk(small_dir):
        for n in names + dirs:
            os.utime(os.path.join(root, n), (ATIME, MTIME))
    run(["zip", "-q", "-r", "-n", ".bin", os.path.join(OUT, "fuzz_infozip.zip"), "."], cwd=small_dir)
    piped = subprocess.run(["zip", "-q", "-", "a.txt", "r.bin", "d/z.dat"], cwd=small_dir, check=True,
                           stdout=subprocess.PIPE).stdout
    write(os.path.join(OUT, "fuzz_pipe.zip"), piped)
    with open(os.path.join(OUT, "fuzz_infozip.zip"), "rb") as f:
        save("fuzz_sfx.zip", rng.randbytes(300) + f.read())

    # End record behind the longest comment that still fits the search, and one byte more.
    small = [("small.txt", b"small entry\n", zipfile.ZIP_DEFLATED)]
    comment = bytes(rng.choice(b"abcdefghij") for _ in range(0xFFFF - 22))
    save("comment_max.zip", zip_bytes(small, comment))
    save("comment_over.zip", zip_bytes(small, comment + b"x"))

    # Attributes as written by various hosts.
    attrs = [
        ("windir/", 0x10),
        ("unixdir/", 0x41ED0000),
        ("readonly.txt", 0x01),
        ("hidden.txt", 0x22),
        ("system.txt", 0x04),
        ("unixfile.txt", 0x81A40000),
    ]
    entries = []
    for name, ext in attrs:
        info = zipfile.ZipInfo(name, date_time=(2020, 9, 13, 12, 26, 40))
        info.external_attr = ext
        entries.append((info, b"" if name.endswith("/") else name.encode() * 3, zipfile.ZIP_STORED))
    save("attrs.zip", zip_bytes(entries))

    # "UT" block with a modification time only; the DOS stamp says otherwise.
    info = zipfile.ZipInfo("ut.txt", date_time=(2001, 2, 3, 4, 5, 6))
    info.extra = b"UT" + struct.pack("<HBi", 5, 1, MTIME)
    save("ut_mtime.zip", zip_bytes([(info, b"ut\n", zipfile.ZIP_DEFLATED)]))

    save("utf8.zip", zip_bytes([("数据/文件ü.txt", b"utf8\n", zipfile.ZIP_STORED)]))
    save("longnames.zip", zip_bytes([(c * n, c.encode() * 4, zipfile.ZIP_STORED)
                                     for c, n in (("a", 258), ("b", 259), ("c", 300))]))

    # More entries than a reader walks between its checkpoints, to be asked for out of order.
    save("many.zip", zip_bytes([(f"e{i:03}.txt", str(i).encode(), zipfile.ZIP_STORED) for i in range(700)]))

    save("empty.zip", zip_bytes([]))
    save("notzip.bin", rng.randbytes(3000))

    # Damaged archives, each patched from a sound one.
    payload = text(40000)
    base = [("first.txt", payload, zipfile.ZIP_DEFLATED), ("second.bin", payload[:5000], zipfile.ZIP_STORED)]

    buf = zip_bytes(base)
    put(buf, end_record(buf) + 4, "<H", 1)
    save("multidisk.zip", buf)
    buf = zip_bytes(base)
    put(buf, end_record(buf) + 8, "<H", 1)
    save("counts.zip", buf)
    buf = zip_bytes(base)
    put(buf, end_record(buf) + 16, "<I", end_record(buf))  # central directory would end past the record
    save("cd_beyond.zip", buf)

    # CRC fields of both headers changed: only the CRC check sees it.
    buf = zip_bytes(base)
    for i in (0, 1):
        crc = struct.unpack_from("<I", buf, central_headers(buf)[i] + 16)[0] ^ 0x5A5A
        put(buf, central_headers(buf)[i] + 16, "<I", crc)
        put(buf, local_header(buf, i) + 14, "<I", crc)
    save("badcrc.zip", buf)

    # Two damaged entries, one large (read long before its CRC fails) and one small, in both orders:
    # checked on several threads, the failure found first in time is not the first in archive
    # order for one of them, whichever way a wrong check goes.
    # (The generator's state is put back: the fixtures after these stay as they were.)
    state = rng.getstate()
    small = ("small.txt", payload[:3000], zipfile.ZIP_DEFLATED)
    large = ("large.bin", mixed(12 * 1024 * 1024), zipfile.ZIP_DEFLATED)
    rng.setstate(state)
    for name, entries in (("badcrc_small_large.zip", [small, large]), ("badcrc_large_small.zip", [large, small])):
        buf = zip_bytes(entries)
        for i in (0, 1):
            crc = struct.unpack_from("<I", buf, central_headers(buf)[i] + 16)[0] ^ 0x5A5A
            put(buf, central_headers(buf)[i] + 16, "<I", crc)
            put(buf, local_header(buf, i) + 14, "<I", crc)
        save(name, buf)

    # Damaged deflate data: inflate itself fails.
    buf = zip_bytes(base)
    start = local_header(buf, 0) + 30 + len("first.txt")
    for k in range(start + 2, start + 40):
        buf[k] ^= 0xFF
    save("baddeflate.zip", buf)

    # Declared uncompressed size larger than the data holds, CRC of the real data: truncated.
    buf = zip_bytes(base)
    for i in (0, 1):
        size = struct.unpack_from("<I", buf, central_headers(buf)[i] + 24)[0] + 100
        put(buf, central_headers(buf)[i] + 24, "<I", size)
        put(buf, local_header(buf, i) + 22, "<I", size)
    save("shortdata.zip", buf)

    # Compressed size running past the end of the file.
    buf = zip_bytes(base)
    for i in (0, 1):
        put(buf, central_headers(buf)[i] + 20, "<I", 10000000)
        put(buf, local_header(buf, i) + 18, "<I", 10000000)
    save("pastend.zip", buf)

    # Two central records sharing one entry's local data; and an entry whose data runs into the
    # central directory (both within the file).
    buf = zip_bytes(base)
    put(buf, central_headers(buf)[1] + 42, "<I", struct.unpack_from("<I", buf, central_headers(buf)[0] + 42)[0])
    save("overlap.zip", buf)
    buf = zip_bytes(base)
    size = central_headers(buf)[0] - local_header(buf, 1)
    put(buf, central_headers(buf)[1] + 20, "<I", size)
    put(buf, local_header(buf, 1) + 18, "<I", size)
    save("into_central.zip", buf)

    # Local headers that disagree with the central directory.
    buf = zip_bytes(base)
    put(buf, local_header(buf, 0) + 8, "<H", 0)   # method
    put(buf, local_header(buf, 1) + 26, "<H", 3)  # name length
    save("mismatch.zip", buf)
    buf = zip_bytes(base)
    put(buf, local_header(buf, 0), "<I", 0x12345678)
    put(buf, local_header(buf, 1) + 8, "<H", 12)  # a method this reader does not know, in both headers
    put(buf, central_headers(buf)[1] + 10, "<H", 12)
    save("badlocal.zip", buf)

    # Second central header broken: the walk stops there.
    buf = zip_bytes(base + [("third.txt", b"third\n", zipfile.ZIP_STORED)])
    put(buf, central_headers(buf)[1], "<I", 0x0)
    save("badcentral.zip", buf)

    # Local extra field running past the end of the file.
    buf = zip_bytes([("tail.txt", b"tail\n", zipfile.ZIP_STORED)])
    put(buf, local_header(buf, 0) + 28, "<H", 0xFFFF)
    save("badextra.zip", buf)

    crafted_deflate()

    # Entries each read whole, that two buffers (one for input, one for output) would take about
    # 3 MB for: large stored, then large on both sides, then large output only.
    save("whole_budget.zip", zip_bytes([("stored.bin", rng.randbytes(1000000), zipfile.ZIP_STORED),
                                        ("random.bin", rng.randbytes(1000000), zipfile.ZIP_DEFLATED),
                                        ("zeros.bin", bytes(2000000), zipfile.ZIP_DEFLATED)]))


if __name__ == "__main__":
    main()
