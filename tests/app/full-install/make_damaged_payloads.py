#!/usr/bin/env python3
"""Payloads damaged near their end, made from a good one at test time:
damaged-entry.zip (a byte of the last file's data changed), truncated.zip (cut in half),
unsafe-name.zip (the last entry's name climbs out of the folder), overlapping.zip (the last
central record points at the first entry's data).
Usage: make_damaged_payloads.py GOOD.zip OUT_DIR"""
import os
import struct
import sys


def records(buf):
    """(offset of each central record, its local header offset, name length), in order."""
    end = buf.rfind(b"PK\x05\x06")
    count, _, central = struct.unpack_from("<HII", buf, end + 10)
    out, pos = [], central
    for _ in range(count):
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", buf, pos + 28)
        out.append((pos, struct.unpack_from("<I", buf, pos + 42)[0], name_len))
        pos += 46 + name_len + extra_len + comment_len
    return out


def main(good, out):
    os.makedirs(out, exist_ok=True)
    data = open(good, "rb").read()
    recs = records(data)
    # The last entry with data, and the last entry of all.
    last_file = max((r for r in recs if struct.unpack_from("<I", data, r[0] + 20)[0] > 0), key=lambda r: r[1])
    last = recs[-1]

    buf = bytearray(data)
    local = last_file[1]
    name_len, extra_len = struct.unpack_from("<HH", buf, local + 26)
    buf[local + 30 + name_len + extra_len] ^= 0xFF
    open(os.path.join(out, "damaged-entry.zip"), "wb").write(buf)

    open(os.path.join(out, "truncated.zip"), "wb").write(data[: len(data) // 2])

    buf = bytearray(data)
    for name_at in (last[0] + 46, last[1] + 30):
        buf[name_at:name_at + 3] = b"../"
    open(os.path.join(out, "unsafe-name.zip"), "wb").write(buf)

    buf = bytearray(data)
    struct.pack_into("<I", buf, last[0] + 42, recs[0][1])
    open(os.path.join(out, "overlapping.zip"), "wb").write(buf)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
