#!/usr/bin/env python3
"""Packs the product folder into the installer's payload archive, and checks an archive against
what the installer's reader and unzip task accept.

usage: pack_payload.py pack <folder> <out.zip>
       pack_payload.py check <archive.zip>

The installer creates folders one level per entry and starts from a missing install folder, so
the first entry must be a top-level file and every folder's entry must precede what lies in it."""
import os
import stat
import struct
import sys
import tempfile
import time
import zipfile
import zlib

MAX_NAME_BYTES = 258          # the reader offers 259 characters, terminator included
MAX_SIZE = 0x7FFFFFFF         # the reader's sizes are signed 32-bit
MAX_ENTRIES = 0xFFFF          # classic end record
MAX_OFFSET = 0xFFFFFFFF
EOCD_SEARCH = 0xFFFF
FLAG_ENCRYPTED = 0x0001
FLAG_DESCRIPTOR = 0x0008
FLAG_STRONG_ENCRYPTION = 0x0040
FLAG_UTF8 = 0x0800
ATTR_DIRECTORY = 0x10
ATTR_ARCHIVE = 0x20
ATTR_UNIX_DIRECTORY = 0x40000000
# Characters Windows does not allow in a file name; "\" and ":" would also change the path's meaning.
WINDOWS_BAD_CHARS = set('\\:*?"<>|') | {chr(c) for c in range(32)}
# Names Windows reads as devices whatever their extension; COM and LPT take a digit, or "¹²³".
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}


class PackError(Exception):
    pass


def _is_device_name(part):
    """Whether Windows reads a name as a device: trailing dots and blanks dropped, then the extension."""
    base = part.rstrip(". ").split(".", 1)[0].rstrip(" ")
    base = "".join(c.upper() if c.isascii() else c for c in base)
    return base in DEVICE_NAMES or (len(base) == 4 and base[:3] in ("COM", "LPT") and base[3] in "0123456789¹²³")


# ---- pack ----

def _ut_extra(mtime, where):
    if not -0x80000000 <= mtime <= 0x7FFFFFFF:
        raise PackError(f"{where}: modification time {mtime} does not fit the 32-bit zip time")
    return struct.pack("<HHBl", 0x5455, 5, 1, mtime)


def _dos_time(mtime):
    t = time.localtime(max(mtime, 0))
    if t.tm_year < 1980:
        return (1980, 1, 1, 0, 0, 0)
    if t.tm_year > 2107:
        return (2107, 12, 31, 23, 59, 58)
    return t[:6]


def _within(path, root):
    return path == root or path.startswith(root + os.sep)


def _walk(folder, real_root, rel, ancestors):
    """Yields (archive name, disk path, stat, is_dir) below folder, parents before children,
    siblings sorted by name."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as e:
        raise PackError(f"{folder}: cannot list: {e.strerror}")
    for name in names:
        arc = rel + name
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            raise PackError(f"{arc!r}: name is not valid UTF-8")
        if WINDOWS_BAD_CHARS.intersection(name) or name.endswith((" ", ".")):
            raise PackError(f"{arc}: not a valid Windows file name")
        if _is_device_name(name):
            raise PackError(f"{arc}: a device name on Windows")
        path = os.path.join(folder, name)
        if os.path.islink(path):
            real = os.path.realpath(path)
            if not _within(real, real_root):
                raise PackError(f"{arc}: symbolic link leads out of the folder")
            if not os.path.exists(real):
                raise PackError(f"{arc}: broken symbolic link")
        try:
            st = os.stat(path)
        except OSError as e:
            raise PackError(f"{arc}: {e.strerror}")
        if stat.S_ISDIR(st.st_mode):
            real = os.path.realpath(path)
            if real in ancestors:
                raise PackError(f"{arc}: symbolic link loop")
            yield arc + "/", path, st, True
            yield from _walk(path, real_root, arc + "/", ancestors | {real})
        elif stat.S_ISREG(st.st_mode):
            if st.st_size > MAX_SIZE:
                raise PackError(f"{arc}: {st.st_size} bytes, over the limit of {MAX_SIZE}")
            yield arc, path, st, False
        else:
            raise PackError(f"{arc}: neither a file nor a folder")


def ordered_entries(folder):
    """The folder's entries in archive order: its first top-level file, then the rest depth-first."""
    real_root = os.path.realpath(folder)
    if not os.path.isdir(real_root):
        raise PackError(f"{folder}: not a folder")
    entries = list(_walk(real_root, real_root, "", frozenset({real_root})))
    first = next((i for i, e in enumerate(entries) if not e[3] and "/" not in e[0]), None)
    if first is None:
        raise PackError(f"{folder}: no top-level file (the installer needs one to make the install folder)")
    entries.insert(0, entries.pop(first))
    for arc, _, _, _ in entries:
        if len(arc.encode("utf-8")) > MAX_NAME_BYTES:
            raise PackError(f"{arc}: name longer than {MAX_NAME_BYTES} bytes")
    return entries


def _zipinfo(arc, st, is_dir):
    mtime = int(st.st_mtime)
    info = zipfile.ZipInfo(arc, date_time=_dos_time(mtime))
    info.create_system = 0  # Windows attributes, whatever the packing host
    info.external_attr = ATTR_DIRECTORY if is_dir else ATTR_ARCHIVE
    info.extra = _ut_extra(mtime, arc)
    info.compress_type = zipfile.ZIP_STORED if is_dir or st.st_size == 0 else zipfile.ZIP_DEFLATED
    return info


def pack(folder, out):
    entries = ordered_entries(folder)
    out_dir = os.path.dirname(os.path.abspath(out))
    fd, tmp = tempfile.mkstemp(prefix=".pack-", suffix=".zip", dir=out_dir)
    try:
        with os.fdopen(fd, "wb") as raw:
            try:
                with zipfile.ZipFile(raw, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=9,
                                     allowZip64=False) as zf:
                    for arc, path, st, is_dir in entries:
                        info = _zipinfo(arc, st, is_dir)
                        if is_dir:
                            zf.writestr(info, b"")
                            continue
                        info.file_size = st.st_size
                        with open(path, "rb") as src, zf.open(info, "w") as dst:
                            while chunk := src.read(1 << 20):
                                dst.write(chunk)
            except zipfile.LargeZipFile:
                raise PackError(f"{out}: the archive would need ZIP64 (over 4 GiB or {MAX_ENTRIES} entries)")
        # The archive is what the installer will read: hold it to the same rules before it counts.
        problems, _ = check(tmp)
        if problems:
            raise PackError("; ".join(problems))
        os.chmod(tmp, 0o644)
        os.replace(tmp, out)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    return len(entries)


# ---- check ----

def _read_at(f, offset, n):
    f.seek(offset)
    return f.read(n)


def _find_end_record(f, size):
    span = min(EOCD_SEARCH, size)
    tail = _read_at(f, size - span, span)
    at = tail.rfind(b"PK\x05\x06")
    if at < 0:
        return None
    pos = size - span + at
    return pos if pos > 0 else None


# Windows up to 10 takes these, with any extension, for devices in every folder; the installer
# refuses an entry that would land on one.
RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL"} | {f"{port}{n}" for port in ("COM", "LPT") for n in range(1, 10)}


def _unsafe_reason(name):
    win = name.replace("/", "\\")
    if "\0" in win:
        return "unsafe name: contains a NUL character"
    if win.startswith("\\\\"):
        return "unsafe name: UNC path"
    if win.startswith("\\"):
        return "unsafe name: absolute path"
    if len(win) >= 2 and win[1] == ":":
        return "unsafe name: drive prefix"
    if ":" in win:
        return "unsafe name: ':' (alternate data stream)"
    if WINDOWS_BAD_CHARS.intersection(win.replace("\\", "")):
        return "unsafe name: a wildcard or control character"
    parts = [part for part in win.split("\\") if part not in ("", ".")]
    # Windows drops trailing dots and blanks, so "..." and ".. " are ".." too.
    if any(not part.rstrip(". ") for part in parts):
        return "unsafe name: '..' component"
    if any(_is_device_name(part) for part in parts):
        return "unsafe name: a device name (like CON, NUL, COM1)"
    if not parts and not win.endswith("\\"):
        return "unsafe name: names no file"
    return None


def _mapped(name):
    """The name as the installer maps it below the install folder, "/"-separated: "." and empty
    components dropped, trailing dots and blanks removed; a folder entry keeps its "/"."""
    win = name.replace("\\", "/")
    path = "/".join(part.rstrip(". ") for part in win.split("/") if part not in ("", "."))
    return path + "/" if path and win.endswith("/") else path


def _decode_name(raw, flags):
    """(name, problem): the name as the installer will see it."""
    if flags & FLAG_UTF8:
        try:
            return raw.decode("utf-8"), None
        except UnicodeDecodeError:
            return raw.decode("utf-8", "replace"), "name marked UTF-8 is not valid UTF-8"
    try:
        return raw.decode("ascii"), None
    except UnicodeDecodeError:
        return (raw.decode("cp437"),
                "non-ASCII name without the UTF-8 flag (read in the system's ANSI code page)")


def _verify_data(f, offset, method, comp_size, uncomp_size, crc):
    f.seek(offset)
    inflater = zlib.decompressobj(-15) if method == 8 else None
    left, produced, running = comp_size, 0, 0
    try:
        while left > 0:
            chunk = f.read(min(left, 1 << 16))
            if not chunk:
                return "data runs past the end of the archive"
            left -= len(chunk)
            out = inflater.decompress(chunk) if inflater else chunk
            produced += len(out)
            running = zlib.crc32(out, running)
        if inflater:
            out = inflater.flush()
            produced += len(out)
            running = zlib.crc32(out, running)
    except zlib.error as e:
        return f"damaged deflate data ({e})"
    if produced != uncomp_size:
        return f"data gives {produced} bytes, the header says {uncomp_size}"
    if running != crc:
        return "CRC-32 mismatch"
    return None


class _FolderTracker:
    """Which folders exist as the installer works through the entries (Windows: case-insensitive)."""

    def __init__(self):
        self.made = set()
        self.files = set()

    def clash(self, norm):
        """Why a name cannot be used both as a file and as a folder on a way, or None; records a file."""
        path = norm[:-1] if norm.endswith("/") else norm
        key = path.casefold()
        way = key if norm.endswith("/") else key.rpartition("/")[0]
        for at in range(len(way), 0, -1):
            if (at == len(way) or way[at] == "/") and way[:at] in self.files:
                return f"'{path[:at]}' is a file of an earlier entry, and on this entry's way"
        if not norm.endswith("/"):
            if key in self.made:
                return "an earlier entry's way has a folder of this name"
            self.files.add(key)
        return None

    def need(self, folder):
        """None when the folder exists or is made now, else the missing parent."""
        key = folder.casefold()
        if key in self.made:
            return None
        ok = key == "" or key.rpartition("/")[0] in self.made
        # Record it either way: one missing folder is reported once, not for everything inside it.
        while True:
            self.made.add(key)
            if key == "":
                break
            key = key.rpartition("/")[0]
        return None if ok else folder.rpartition("/")[0]


def _entry_problems(f, size, bb, index, hdr, raw_name, tracker):
    (_, _, _, flags, method, _, crc, comp, uncomp, nlen, _, _, disk, _, ext_attr, local_off) = hdr
    name, name_problem = _decode_name(raw_name, flags)
    problems = []
    if name_problem:
        problems.append(name_problem)
    if len(raw_name) > MAX_NAME_BYTES:
        problems.append(f"name of {len(raw_name)} bytes, longer than {MAX_NAME_BYTES}")
    unsafe = _unsafe_reason(name)
    if unsafe:
        problems.append(unsafe)
    if flags & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION):
        problems.append("encrypted")
    if method not in (0, 8):
        problems.append(f"unsupported compression method {method}")
    zip64 = MAX_OFFSET in (comp, uncomp, local_off) or disk == 0xFFFF
    if zip64:
        problems.append("ZIP64 fields (not supported)")
    elif comp > MAX_SIZE or uncomp > MAX_SIZE:
        problems.append("size over the signed 32-bit range")

    norm = _mapped(name)
    is_dir_attr = bool(ext_attr & (ATTR_UNIX_DIRECTORY | ATTR_DIRECTORY))
    if norm.endswith("/") and not is_dir_attr:
        problems.append("folder entry without the directory attribute (its extraction would fail)")
    if not unsafe:
        clash = tracker.clash(norm)
        if clash:
            problems.append(clash)
        folder = norm[:-1] if norm.endswith("/") else norm.rpartition("/")[0]
        missing = tracker.need(folder)
        if missing is not None:
            if index == 0:
                problems.append("first entry is not a top-level file (the install folder does not exist yet)")
            else:
                problems.append(f"folder '{missing}' is not made by an earlier entry")

    if zip64:
        return name, problems
    local = _read_at(f, local_off + bb, 30)
    if len(local) < 30 or local[:4] != b"PK\x03\x04":
        problems.append("local header missing (central directory points elsewhere)")
        return name, problems
    (_, _, l_flags, l_method, _, l_crc, l_comp, l_uncomp, l_nlen, l_xlen) = struct.unpack("<IHHHIIIIHH", local)
    mismatch = []
    if l_method != method:
        mismatch.append("method")
    if not (flags & FLAG_DESCRIPTOR):
        for what, a, b in (("CRC-32", l_crc, crc), ("compressed size", l_comp, comp),
                           ("uncompressed size", l_uncomp, uncomp)):
            if a != b:
                mismatch.append(what)
    if l_nlen != nlen:
        mismatch.append("name length")
    if mismatch:
        problems.append("local/central mismatch: " + ", ".join(mismatch))
        return name, problems
    data_at = local_off + bb + 30 + l_nlen + l_xlen
    if data_at > size:
        problems.append("local extra field runs past the end of the archive")
        return name, problems
    if method in (0, 8) and not (flags & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION)) and not is_dir_attr:
        bad = _verify_data(f, data_at, method, comp, uncomp, crc)
        if bad:
            problems.append(bad)
    return name, problems


def check(path):
    """(problem lines, entry count) for the archive at path."""
    out = []
    try:
        f = open(path, "rb")
    except OSError as e:
        return [f"archive: cannot open: {e.strerror}"], 0
    with f:
        size = os.fstat(f.fileno()).st_size
        pos = _find_end_record(f, size)
        if pos is None:
            return ["archive: no end-of-central-directory record (not a zip, empty, or a comment over 64 KiB)"], 0
        rec = _read_at(f, pos, 22)
        if len(rec) < 22:
            return ["archive: end record cut short"], 0
        (_, disk, cd_disk, on_disk, total, cd_size, cd_off, _) = struct.unpack("<IHHHHIIH", rec)
        if pos >= 20 and _read_at(f, pos - 20, 4) == b"PK\x06\x07":
            return ["archive: ZIP64 archive (not supported)"], total
        if disk or cd_disk:
            return ["archive: multi-disk archive (not supported)"], total
        if on_disk != total:
            return [f"archive: entry counts differ ({on_disk} on this disk, {total} in all)"], total
        if pos < cd_off + cd_size:
            return ["archive: end record lies inside the central directory"], total
        if total == 0:
            return ["archive: no entries"], 0
        bb = pos - (cd_off + cd_size)
        tracker = _FolderTracker()
        at = cd_off + bb
        for index in range(total):
            fixed = _read_at(f, at, 46)
            if len(fixed) < 46 or fixed[:4] != b"PK\x01\x02":
                out.append(f"entry {index}: central directory cannot be walked to this entry")
                break
            hdr = struct.unpack("<IHHHHIIIIHHHHHII", fixed)
            nlen, xlen, clen = hdr[9], hdr[10], hdr[11]
            raw_name = _read_at(f, at + 46, nlen)
            name, problems = _entry_problems(f, size, bb, index, hdr, raw_name, tracker)
            out.extend(f"entry {index} '{name}': {p}" for p in problems)
            at += 46 + nlen + xlen + clen
    return out, total


def main(argv):
    if len(argv) == 3 and argv[0] == "pack":
        try:
            n = pack(argv[1], argv[2])
        except PackError as e:
            print(f"pack: {e}", file=sys.stderr)
            return 1
        print(f"{argv[2]}: {n} entries")
        return 0
    if len(argv) == 2 and argv[0] == "check":
        problems, total = check(argv[1])
        for p in problems:
            print(p)
        verdict = f"{len(problems)} problem(s)" if problems else "no problems"
        print(f"{argv[1]}: {total} entries, {verdict}")
        return 1 if problems else 0
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
