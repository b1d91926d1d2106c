"""The payload packer: archive order, headers and refusals; the check mode against archives the
installer would fail on. VEXO_SAMPLE_PAYLOAD names the built platform.zip."""
import contextlib
import io
import os
import shutil
import struct
import sys
import tempfile
import unittest
from unittest import mock
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "packer"))
import pack_payload  # noqa: E402

STAMP = 1_600_000_000


def make_tree(root, files):
    """files: {relative path: bytes}; a path ending in "/" is an empty folder. Listed order is creation order."""
    for rel, data in files.items():
        path = os.path.join(root, rel)
        if rel.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for dirpath, dirs, names in os.walk(root):
        for n in dirs + names:
            os.utime(os.path.join(dirpath, n), (STAMP, STAMP))


def local_ut_mtime(archive, info):
    """The modification time of the entry's "UT" block in its local header (what the installer reads)."""
    with open(archive, "rb") as f:
        f.seek(info.header_offset + 26)
        nlen, xlen = struct.unpack("<HH", f.read(4))
        f.seek(nlen, 1)
        extra = f.read(xlen)
    at = extra.find(b"UT")
    return struct.unpack_from("<l", extra, at + 5)[0] if at >= 0 and extra[at + 4] & 1 else None


class PackTest(unittest.TestCase):
    TREE = {
        "a_first_folder/deep/er/file.bin": bytes(range(256)) * 40,
        "a_first_folder/note.txt": b"note",
        "b_empty/": None,
        "z_top.txt": b"top level",
        "资源/说明.txt": "中文".encode("utf-8"),
        "Empty.dat": b"",
    }

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def pack(self, tree, name="out.zip"):
        src = os.path.join(self.dir, name + ".src")
        make_tree(src, tree)
        out = os.path.join(self.dir, name)
        pack_payload.pack(src, out)
        return src, out

    def test_order_headers_and_content(self):
        src, out = self.pack(self.TREE)
        with zipfile.ZipFile(out) as zf:
            infos = zf.infolist()
            names = [i.filename for i in infos]
            self.assertNotIn("/", names[0], "first entry must be a top-level file")
            seen = set()
            for name in names:
                parts = name.rstrip("/").split("/")
                for depth in range(1, len(parts)):
                    self.assertIn("/".join(parts[:depth]) + "/", seen, f"{name} before its folder")
                seen.add(name)
            expected = {k for k in self.TREE} | {"a_first_folder/", "a_first_folder/deep/",
                                                 "a_first_folder/deep/er/", "资源/"}
            self.assertEqual(set(names), expected)
            for info in infos:
                self.assertEqual(local_ut_mtime(out, info), STAMP, info.filename)
                self.assertEqual(bool(info.flag_bits & 0x800), not info.filename.isascii(), info.filename)
                self.assertEqual(info.external_attr & 0x10, 0x10 if info.is_dir() else 0, info.filename)
                if not info.is_dir():
                    with open(os.path.join(src, info.filename), "rb") as f:
                        self.assertEqual(zf.read(info), f.read(), info.filename)
            self.assertEqual(zf.getinfo("a_first_folder/deep/er/file.bin").compress_type, zipfile.ZIP_DEFLATED)
        self.assertEqual(pack_payload.check(out), ([], len(expected)))

    def test_same_tree_gives_same_bytes(self):
        # The second time the folders list in the opposite order: listing order must not leak into the archive.
        _, one = self.pack(self.TREE, "one.zip")
        listdir = os.listdir
        with mock.patch.object(pack_payload.os, "listdir", lambda p: list(reversed(sorted(listdir(p))))):
            _, two = self.pack(self.TREE, "two.zip")
        with open(one, "rb") as a, open(two, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_refusals_leave_no_output(self):
        outside = os.path.join(self.dir, "outside.txt")
        open(outside, "w").close()
        cases = {
            "no top-level file": ({"only/in/folders.txt": b"x"}, None),
            "longer than 258": ({"top.txt": b"", ("d" * 200 + "/") + "f" * 58 + ".t": b""}, None),
            "leads out of the folder": ({"top.txt": b""}, lambda src: os.symlink(outside, os.path.join(src, "link"))),
            "not a valid Windows file name": ({"top.txt": b"", "a\\b.txt": b""}, None),
            "a device name on Windows": ({"top.txt": b"", "sub/Nul.txt": b""}, None),
            "over the limit": ({"top.txt": b""}, lambda src: os.truncate(os.path.join(src, "top.txt"), 1 << 31)),
        }
        for reason, (tree, extra) in cases.items():
            with self.subTest(reason):
                src = os.path.join(self.dir, "refuse")
                out = os.path.join(self.dir, "refused.zip")
                make_tree(src, tree)
                if extra:
                    extra(src)
                with self.assertRaisesRegex(pack_payload.PackError, reason):
                    pack_payload.pack(src, out)
                self.assertEqual(sorted(f for f in os.listdir(self.dir) if f.endswith(".zip")), [])
                shutil.rmtree(src)


def build_zip(entries, patch=None):
    """entries: (name, data, method) or a ZipInfo-ready tuple; patch(bytearray, infos) edits the bytes."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = method
            info.external_attr = 0x10 if name.endswith("/") else 0x20
            zf.writestr(info, data)
        infos = zf.infolist()
    raw = bytearray(buf.getvalue())
    if patch:
        patch(raw, infos)
    return bytes(raw)


def central_at(raw, index):
    at = struct.unpack_from("<I", raw, len(raw) - 6)[0]
    for _ in range(index):
        nlen, xlen, clen = struct.unpack_from("<HHH", raw, at + 28)
        at += 46 + nlen + xlen + clen
    return at


def set_central(offset, fmt, value, index=1):
    return lambda raw, _: struct.pack_into(fmt, raw, central_at(raw, index) + offset, value)


D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
TOP = ("top.txt", b"top", D)


class CheckTest(unittest.TestCase):
    def problems(self, raw):
        with tempfile.NamedTemporaryFile(suffix=".zip") as f:
            f.write(raw)
            f.flush()
            return pack_payload.check(f.name)[0]

    def test_archives_the_installer_extracts(self):
        cases = {
            "stored and deflated": [TOP, ("a/", b"", S), ("a/s.txt", b"s" * 100, S), ("a/d.txt", b"d" * 100, D)],
            "folder made by the file entry's own folder entry only": [TOP, ("a/", b"", S), ("a/b/", b"", S),
                                                                      ("a/b/c", b"", D)],
            "case-insensitive folders": [TOP, ("Assets/", b"", S), ("assets/b/x.txt", b"x", D)],
            "name of 258 bytes": [TOP, ("n" * 258, b"", D)],
            "'.' components, dropped": [TOP, ("./a/", b"", S), ("a/./b.txt", b"b", D), ("./c.txt", b"c", D)],
            "names starting with '..'": [TOP, ("..a.txt", b"a", D), ("..d/", b"", S), ("..d/...x", b"x", D)],
            "names like devices but longer": [TOP, ("console.txt", b"", D), ("com10", b"", D), ("nullable", b"", D)],
        }
        for what, entries in cases.items():
            with self.subTest(what):
                self.assertEqual(self.problems(build_zip(entries)), [])

    def test_each_fault_is_named_at_its_entry(self):
        def flip_data(raw, infos):
            raw[infos[1].header_offset + 30 + len(infos[1].filename) + 2] ^= 0xFF

        cases = [
            ("first entry in a sub-folder", [("a/x.txt", b"x", D), TOP], None, 0, "not a top-level file"),
            ("first entry a folder", [("a/", b"", S), TOP], None, 0, "not a top-level file"),
            ("folder skipped", [TOP, ("a/b/x.txt", b"x", D)], None, 1, "folder 'a' is not made"),
            ("parent traversal", [TOP, ("../x", b"x", D)], None, 1, "'..' component"),
            ("nested traversal", [TOP, ("a/../../b", b"x", D)], None, 1, "'..' component"),
            ("absolute", [TOP, ("/abs", b"x", D)], None, 1, "absolute path"),
            ("drive", [TOP, ("C:\\x", b"x", D)], None, 1, "drive prefix"),
            ("UNC", [TOP, ("\\\\server\\share\\x", b"x", D)], None, 1, "UNC path"),
            ("stream", [TOP, ("x.txt:hidden", b"x", D)], None, 1, "alternate data stream"),
            ("dots read as '..'", [TOP, ("a/", b"", S), ("a/.../x", b"x", D)], None, 2, "'..' component"),
            ("wildcard", [TOP, ("a*.txt", b"x", D)], None, 1, "wildcard"),
            ("device", [TOP, ("NUL", b"x", D)], None, 1, "device name"),
            ("device with an extension and dots", [TOP, ("Com1.tar.gz. ", b"x", D)], None, 1, "device name"),
            ("device folder", [TOP, ("aux/", b"", S)], None, 1, "device name"),
            ("device with a superscript digit", [TOP, ("lpt¹.txt", b"x", D)], None, 1, "device name"),
            ("no file", [TOP, ("./.", b"x", D)], None, 1, "names no file"),
            ("method 12", [TOP, ("b.bin", b"b" * 50, zipfile.ZIP_BZIP2)], None, 1, "compression method 12"),
            ("name too long", [TOP, ("n" * 259, b"", D)], None, 1, "longer than 258"),
            ("encrypted", [TOP, ("e.txt", b"e", D)], set_central(8, "<H", 1), 1, "encrypted"),
            ("size", [TOP, ("s.txt", b"s", S)], set_central(24, "<I", 0x80000000), 1, "signed 32-bit"),
            ("zip64 marker", [TOP, ("s.txt", b"s", S)], set_central(20, "<I", 0xFFFFFFFF), 1, "ZIP64"),
            ("local CRC", [TOP, ("c.txt", b"c", D)],
             lambda raw, infos: struct.pack_into("<I", raw, infos[1].header_offset + 14, 0), 1,
             "local/central mismatch: CRC-32"),
            ("damaged deflate data", [TOP, ("d.txt", bytes(range(256)) * 8, D)], flip_data, 1,
             "damaged|CRC-32 mismatch|gives"),
            ("damaged stored data", [TOP, ("d.txt", b"stored bytes", S)], flip_data, 1, "CRC-32 mismatch"),
            ("no UTF-8 flag", [TOP, ("模拟.txt", b"", D)], set_central(8, "<H", 0), 1, "without the UTF-8 flag"),
            ("folder entry as a file", [TOP, ("a/", b"", S)], set_central(38, "<I", 0x20), 1,
             "without the directory attribute"),
            ("a file, then a folder below it", [TOP, ("a", b"x", S), ("A/b.txt", b"x", S)], None, 2,
             "is a file of an earlier entry"),
            ("a folder, then a file of its name", [TOP, ("a/", b"", S), ("a.", b"x", S)], None, 2,
             "has a folder of this name"),
        ]
        for what, entries, patch, index, reason in cases:
            with self.subTest(what):
                problems = self.problems(build_zip(entries, patch))
                self.assertTrue(problems, "no problem found")
                self.assertRegex(problems[0], rf"^entry {index} '[^\n]*': .*({reason})")

    def test_archive_level_faults(self):
        def eocd(offset, fmt, value):
            return lambda raw, _: struct.pack_into(fmt, raw, len(raw) - 22 + offset, value)

        two = [TOP, ("b.txt", b"b", D)]
        cases = [
            ("multi-disk", two, eocd(4, "<H", 1), "multi-disk"),
            ("counts differ", two, eocd(8, "<H", 1), "entry counts differ"),
            ("no entries", [], None, "no entries|no end"),
            ("not a zip", None, None, "no end-of-central-directory"),
            ("central directory cut", two, lambda raw, i: (eocd(8, "<H", 3)(raw, i), eocd(10, "<H", 3)(raw, i)),
             "cannot be walked"),
        ]
        for what, entries, patch, reason in cases:
            with self.subTest(what):
                raw = b"plain text" * 10 if entries is None else build_zip(entries, patch)
                problems = self.problems(raw)
                self.assertTrue(problems)
                self.assertRegex(problems[0], reason)

    def test_command_line_verdict(self):
        with tempfile.NamedTemporaryFile(suffix=".zip") as f, contextlib.redirect_stdout(io.StringIO()) as out:
            f.write(build_zip([("a/x.txt", b"x", D)]))
            f.flush()
            self.assertEqual(pack_payload.main(["check", f.name]), 1)
        self.assertRegex(out.getvalue(), r"entry 0 'a/x.txt': .*\n.*: 1 entries, 1 problem")

    def test_sample_payload_passes(self):
        sample = os.environ.get("VEXO_SAMPLE_PAYLOAD")
        if not sample:
            self.skipTest("VEXO_SAMPLE_PAYLOAD not set")
        problems, total = pack_payload.check(sample)
        self.assertEqual(problems, [])
        with zipfile.ZipFile(sample) as zf:
            names = set(zf.namelist())
        self.assertEqual(len(names), total)
        self.assertLessEqual({"ZavozidaDedor.exe", "Uninstaller.exe", "assets/software/vc.exe"}, names)


if __name__ == "__main__":
    unittest.main()
