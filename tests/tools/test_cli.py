"""Tests of lzhsfx, the packager's command-line tool, driving the built binary.

Installers are built with a small stand-in stub (a DOS header whose PE header lies behind
the settings record), so the host tree alone runs them; the archive part of each is checked
with the LHA peers of the machine (lhasa, 7z, lsar) and archives made by jlha are read back.

    LZHSFX=build/host/lzhsfx python3 tests/tools/test_cli.py [-v]
"""

import os
import pty
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from xml.etree import ElementTree

import lh1_encoder
import lzh_craft
from lzh_craft import crc16

ROOT = Path(__file__).resolve().parents[2]
LZHSFX = Path(os.environ.get("LZHSFX", ROOT / "build" / "host" / "lzhsfx"))

SETTINGS_OFFSET, SETTINGS_SIZE = 512, 603
FLAGS_AT, RESTORE_AT = SETTINGS_OFFSET + 601, SETTINGS_OFFSET + 602
TIME = 1600000000  # a fixed time stamp for the inputs
# jlha stores names in the locale's Japanese code page; UTC keeps level-0/1 times plain.
JAPANESE = dict(os.environ, LC_ALL="ja_JP.UTF-8", TZ="UTC")


MANIFEST = (ROOT / "src" / "ui" / "sfxstub.manifest").read_bytes()
RESOURCES_AT, RESOURCES_RVA = 0x600, 0x1000


def resource_tree(manifest, rva):
    """A resource section at `rva` holding one resource, type 24, id 1, language 0: the root,
    name and language directories, each with one entry, then the data entry and the data."""
    def directory(ident, target):
        return struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, ident, target)

    tree = directory(24, 0x80000018) + directory(1, 0x80000030) + directory(0, 0x48)
    tree += struct.pack("<IIII", rva + 0x58, len(manifest), 0, 0)
    return tree + manifest


def fake_stub(size=3000, manifest=MANIFEST, directories=3, image_version=(0, 0)):
    """A stand-in for sfxstub.exe: "MZ", the PE header at 0x4D0 with one section, which holds
    the resources with the stub's manifest, an empty settings area. With `manifest` None, no
    resources. The image version 1.0 or later is a stub that knows the silent switch."""
    stub = bytearray(size)
    stub[0:2] = b"MZ"
    struct.pack_into("<I", stub, 0x3C, 0x4D0)
    for i in range(0x4D0, size):
        stub[i] = (i * 7) & 0xFF
    optional_size = 96 + 8 * directories
    stub[0x4D0:0x4E8] = b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, optional_size, 2)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x10B)
    struct.pack_into("<I", optional, 92, directories)
    struct.pack_into("<HH", optional, 44, *image_version)
    tree = b"" if manifest is None else resource_tree(manifest, RESOURCES_RVA)
    if manifest is not None and directories > 2:
        struct.pack_into("<II", optional, 96 + 16, RESOURCES_RVA, len(tree))
    table = 0x4E8 + optional_size
    stub[0x4E8:table] = optional
    stub[table:table + 40] = struct.pack("<8sIIIIIIHHI", b".rsrc", len(tree), RESOURCES_RVA,
                                         len(tree), RESOURCES_AT, 0, 0, 0, 0, 0x40000040)
    stub[RESOURCES_AT:RESOURCES_AT + len(tree)] = tree
    assert RESOURCES_AT + len(tree) <= size
    return bytes(stub)


def manifest_of(installer):
    """The manifest the fake stub placed, as the installer carries it."""
    at = RESOURCES_AT + 0x58
    return installer[at:at + len(MANIFEST)]


def text_like(size, seed):
    """Words and lines, compressible like a text file."""
    rng = random.Random(seed)
    words = ("the archive member header install program folder file window setup copy data "
             "code block table of and to a is with for on that Windows LZH").split()
    out, n = [], 0
    while n < size:
        w = rng.choice(words[:8]) if rng.random() < 0.7 else rng.choice(words)
        w += "\n" if rng.random() < 0.08 else " "
        out.append(w)
        n += len(w)
    return "".join(out).encode()[:size]


def lzh_member(name, data=b"", method=b"-lh0-", time=TIME, unpacked=None):
    """A level-2 member with the whole path, "/" included, in its file-name record."""
    return lzh_craft.level2(data, name=name, method=method, os_id=b"W", time=time,
                            unpacked=unpacked)


def members_of(archive):
    """Every level-2 member of an archive: offsets, method, sizes, CRC, names (raw bytes)."""
    found, at = [], 0
    while at + 2 <= len(archive):
        size, = struct.unpack_from("<H", archive, at)
        if size == 0:
            break
        method = archive[at + 2:at + 7]
        packed, unpacked, time = struct.unpack_from("<III", archive, at + 7)
        attribute, level, crc = archive[at + 19], archive[at + 20], \
            struct.unpack_from("<H", archive, at + 21)[0]
        names, record = {}, at + 24
        while True:
            record_size, = struct.unpack_from("<H", archive, record)
            if record_size == 0:
                break
            names[archive[record + 2]] = archive[record + 3:record + record_size]
            record += record_size
        found.append(dict(header=at, data=at + size, method=method, packed=packed,
                          size=unpacked, time=time, attribute=attribute, level=level, crc=crc,
                          name=names.get(0x01, b""), dir=names.get(0x02, b"")))
        at += size + packed
    return found


def archive_part(installer):
    """The archive behind the stub: from ArchiveOffset, past the checksum when there is one."""
    offset, = struct.unpack_from("<I", installer, SETTINGS_OFFSET)
    return installer[offset + (2 if installer[FLAGS_AT] & 0x04 else 0):]


def run(*args, cwd=None, env=None):
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True)


def lzhsfx(*args, **kw):
    return run(LZHSFX, *args, **kw)


def tree_files(folder):
    """{relative path: (bytes, mtime)} of the files and {relative path} of the folders."""
    files, folders = {}, set()
    for p in sorted(Path(folder).rglob("*")):
        rel = p.relative_to(folder).as_posix()
        if p.is_dir():
            folders.add(rel)
        else:
            files[rel] = (p.read_bytes(), int(p.stat().st_mtime))
    return files, folders


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="lzhsfx-cli-"))
        self.stub = self.tmp / "stub.exe"
        self.stub.write_bytes(fake_stub())

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def write(self, rel, data, time=TIME):
        p = self.tmp / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data if isinstance(data, bytes) else data.encode())
        os.utime(p, (time, time))
        return p

    def build(self, out, *args, ok=True):
        r = lzhsfx("build", "--stub", self.stub, "-o", out, *args)
        if ok:
            self.assertEqual(r.returncode, 0, r.stderr.decode())
        return r

    def assert_refused(self, r, *phrases, out=None, status=1):
        """A failed command: its status, its message, and no output or temporary left."""
        err = r.stderr.decode()
        self.assertEqual(r.returncode, status, err)
        for phrase in phrases:
            self.assertIn(phrase, err)
        if out is not None:
            self.assertFalse(Path(out).exists(), f"{out} was written")
            leftovers = [p.name for p in Path(out).parent.glob(Path(out).name + ".tmp-*")]
            self.assertEqual(leftovers, [])

    def assert_peers_pass(self, archive_file):
        for command in (["lhasa", "t"], ["7z", "t"], ["lsar", "-t"]):
            r = run(*command, archive_file)
            self.assertEqual(r.returncode, 0, f"{command[0]}: {r.stdout.decode()} "
                                              f"{r.stderr.decode()}")


class RoundTrip(ToolTest):
    """Every installer the tool builds is a sound archive for the peers, the tool's own test
    and its extraction, at the sizes where the encoder and the decoder change gear."""

    def sample_tree(self, big=False):
        root = self.tmp / "in" / "payload"
        self.write("in/payload/empty.bin", b"")
        self.write("in/payload/one.bin", b"x")
        for n in (65535, 65536, 65537):
            self.write(f"in/payload/text{n}.txt", text_like(n, n))
        self.write("in/payload/noise.bin", random.Random(7).randbytes(150000))
        self.write("in/payload/docs/説明.txt", "日本語のテキストです。\n".encode("utf-8") * 40)
        (root / "nested" / "deeper" / "empty").mkdir(parents=True)
        if big:
            self.write("in/payload/big.txt", text_like(2 << 20, 99))
        for folder in sorted(root.rglob("*"), reverse=True) + [root]:
            if folder.is_dir():
                os.utime(folder, (TIME - 60, TIME - 60))
        return root

    def test_every_method_passes_the_peers_and_extracts_back(self):
        for method in ("lh0", "lh5", "lh6", "lh7"):
            with self.subTest(method=method):
                work = self.tmp / method
                work.mkdir()
                root = self.sample_tree(big=method == "lh7")
                out = work / "setup.exe"
                extra = ["--checksum"] if method in ("lh5", "lh7") else []
                self.build(out, "--method", method, *extra, root)
                installer = out.read_bytes()
                part = work / "part.lzh"
                part.write_bytes(archive_part(installer))
                self.assert_peers_pass(part)
                self.assertEqual(lzhsfx("test", out).returncode, 0)

                methods = {m["method"] for m in members_of(part.read_bytes())}
                if method == "lh0":
                    self.assertEqual(methods, {b"-lh0-", b"-lhd-"})
                else:
                    self.assertIn(f"-{method}-".encode(), methods)

                r = lzhsfx("extract", out, "-d", work / "x")
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                want_files, want_folders = tree_files(root.parent)
                got_files, got_folders = tree_files(work / "x")
                self.assertEqual(got_files, want_files)
                self.assertEqual(got_folders, want_folders)
                self.assertEqual(int((work / "x" / "payload" / "nested").stat().st_mtime),
                                 TIME - 60)
                shutil.rmtree(self.tmp / "in")

    def test_incompressible_and_empty_files_are_stored(self):
        root = self.sample_tree()
        # Files from 4 MiB on are packed as they are read and written as they are packed;
        # one that does not shrink is then copied over what was packed, and the member
        # after it follows its stored data.
        noise = random.Random(8).randbytes(5 << 20)
        self.write("in/payload/large/noise.bin", noise)
        self.write("in/payload/large/z.txt", b"after the large file")
        text = text_like((4 << 20) + 12345, 5)
        self.write("in/payload/large/text.txt", text)
        out = self.tmp / "setup.exe"
        self.build(out, root)
        members = members_of(archive_part(out.read_bytes()))
        by_name = {m["name"]: m for m in members}
        self.assertEqual(by_name[b"noise.bin"]["method"], b"-lh0-")
        self.assertEqual(by_name[b"empty.bin"]["method"], b"-lh0-")
        self.assertEqual(by_name[b"empty.bin"]["packed"], 0)
        self.assertEqual(by_name[b"text65536.txt"]["method"], b"-lh7-")
        self.assertEqual(by_name[b"text65537.txt"]["crc"],
                         crc16((root / "text65537.txt").read_bytes()))
        large = [m for m in members if m["dir"] == b"payload\xfflarge\xff" and m["name"]]
        self.assertEqual([(m["name"], m["method"], m["packed"], m["crc"]) for m in large],
                         [(b"noise.bin", b"-lh0-", len(noise), crc16(noise)),
                          (b"text.txt", b"-lh7-", large[1]["packed"], crc16(text)),
                          (b"z.txt", b"-lh0-", 20, crc16(b"after the large file"))])
        self.assertEqual(large[0]["data"] + len(noise), large[1]["header"])
        self.assertLess(large[1]["packed"], len(text) // 2)
        self.assertEqual(lzhsfx("test", out).returncode, 0)

    def test_lhasa_extracts_what_the_tool_extracts(self):
        root = self.sample_tree()
        out = self.tmp / "setup.exe"
        self.build(out, root)
        part = self.tmp / "part.lzh"
        part.write_bytes(archive_part(out.read_bytes()))
        (self.tmp / "lhasa").mkdir()
        self.assertEqual(run("lhasa", f"xfqw={self.tmp / 'lhasa'}", part).returncode, 0)
        self.assertEqual(lzhsfx("extract", out, "-d", self.tmp / "ours").returncode, 0)
        theirs = {k.encode("utf-8", "surrogateescape").decode("cp932"): v
                  for k, v in tree_files(self.tmp / "lhasa")[0].items()}
        self.assertEqual(tree_files(self.tmp / "ours")[0], theirs)

    def test_list_shows_names_in_utf8_with_method_size_and_crc(self):
        self.write("in/日本語/ファイル.txt", text_like(5000, 3))
        out = self.tmp / "setup.exe"
        self.build(out, self.tmp / "in" / "日本語")
        r = lzhsfx("list", out)
        self.assertEqual(r.returncode, 0)
        listing = r.stdout.decode()
        crc = f"{crc16(text_like(5000, 3)):04X}"
        line = next(l for l in listing.splitlines() if l.endswith("日本語/ファイル.txt"))
        self.assertTrue(line.startswith("-lh7-"), line)
        self.assertIn(" 5000 ", line)
        self.assertIn(crc, line)
        self.assertIn("2020-09-13 12:26:40", line)  # TIME, in UTC
        self.assertIn("日本語/", listing)


class JlhaArchives(ToolTest):
    """`lzhsfx test` and `extract` agree with lhasa on archives jlha made."""

    def jlha(self, options, folder, name):
        target = self.tmp / name
        r = run("jlha", options, target, folder.name, cwd=folder.parent, env=JAPANESE)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return target

    def source(self):
        self.write("src/d/テキスト.txt", text_like(80000, 5))
        self.write("src/d/sub/noise.bin", random.Random(3).randbytes(20000))
        self.write("src/d/sub/a.txt", b"a\n")
        return self.tmp / "src" / "d"

    def test_test_and_extract_agree_with_lhasa(self):
        folder = self.source()
        for method in ("co5", "co6", "co7"):
            with self.subTest(method=method):
                archive = self.jlha(method, folder, f"{method}.lzh")
                self.assertEqual(run("lhasa", "t", archive).returncode, 0)
                r = lzhsfx("test", archive)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                ours, theirs = self.tmp / f"ours-{method}", self.tmp / f"lhasa-{method}"
                theirs.mkdir()
                self.assertEqual(run("lhasa", f"xfqw={theirs}", archive).returncode, 0)
                self.assertEqual(lzhsfx("extract", archive, "-d", ours).returncode, 0)
                lhasa_files = {k.encode("utf-8", "surrogateescape").decode("cp932"): v
                               for k, v in tree_files(theirs)[0].items()}
                self.assertEqual(tree_files(ours)[0], lhasa_files)
                self.assertIn("d/テキスト.txt", tree_files(ours)[0])

    def test_damaged_packed_data_fails_for_both(self):
        archive = self.jlha("co7", self.source(), "x.lzh")
        data = bytearray(archive.read_bytes())
        victim = next(m for m in members_of(bytes(data)) if m["method"] == b"-lh7-")
        data[victim["data"] + victim["packed"] // 2] ^= 0x55
        archive.write_bytes(bytes(data))
        self.assertNotEqual(run("lhasa", "t", archive).returncode, 0)
        r = lzhsfx("test", archive)
        self.assertEqual(r.returncode, 1)
        self.assertIn("テキスト.txt", r.stderr.decode())


class FromArchive(ToolTest):
    """--from-archive wraps level-2 archives as they are and rewrites level-0/1 headers."""

    def jlha_level(self, level):
        self.write("src/d/テキスト.txt", text_like(50000, 8))
        self.write("src/d/sub/b.txt", b"b" * 300)
        target = self.tmp / f"level{level}.lzh"
        options = "co5" if level == 2 else f"a{level}o5"
        r = run("jlha", options, target, "d", cwd=self.tmp / "src", env=JAPANESE)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(target.read_bytes()[20], level)
        return target

    def test_a_level2_archive_is_wrapped_byte_for_byte(self):
        source = self.jlha_level(2)
        out = self.tmp / "setup.exe"
        self.build(out, "--from-archive", source)
        self.assertEqual(archive_part(out.read_bytes()), source.read_bytes())
        self.assertEqual(lzhsfx("test", out).returncode, 0)

    def test_level0_and_level1_headers_become_level2_with_the_data_unchanged(self):
        for level in (0, 1):
            with self.subTest(level=level):
                source = self.jlha_level(level)
                out = self.tmp / f"setup{level}.exe"
                self.build(out, "--from-archive", source, "--checksum",
                           "--notice", self.write("notice.txt", "ok?\n"))
                part = archive_part(out.read_bytes())
                members = members_of(part)
                self.assertEqual({m["level"] for m in members}, {2})
                original = source.read_bytes()
                for m in members[1:]:
                    self.assertIn(part[m["data"]:m["data"] + m["packed"]], original)
                (self.tmp / "part.lzh").write_bytes(part)
                self.assert_peers_pass(self.tmp / "part.lzh")
                r = lzhsfx("extract", out, "-d", self.tmp / f"x{level}", env=JAPANESE)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                self.assertEqual((self.tmp / f"x{level}" / "d" / "テキスト.txt").read_bytes(),
                                 text_like(50000, 8))
                shutil.rmtree(self.tmp / "src")

    def test_plain_level0_archives_are_listed_and_tested(self):
        source = self.jlha_level(0)
        r = lzhsfx("list", source, env=JAPANESE)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertIn("d/テキスト.txt", r.stdout.decode())
        self.assertEqual(lzhsfx("test", source, env=JAPANESE).returncode, 0)

    def test_a_member_the_installer_cannot_extract_is_refused_and_the_old_output_kept(self):
        archive = self.tmp / "lh1.lzh"
        archive.write_bytes(lzh_member(b"ok.txt", b"fine") +
                            lzh_member(b"old.txt", b"\x12\x34", method=b"-lh2-") + b"\0")
        out = self.write("setup.exe", b"the previous installer")
        r = self.build(out, "--from-archive", archive, ok=False)
        self.assert_refused(r, "old.txt", "-lh2-")
        self.assertEqual(out.read_bytes(), b"the previous installer")
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir()),
                         ["lh1.lzh", "setup.exe", "stub.exe"])

    def test_an_installer_or_a_second_notice_is_refused(self):
        out = self.tmp / "setup.exe"
        self.build(out, self.write("a.txt", "a"))
        self.assert_refused(self.build(self.tmp / "again.exe", "--from-archive", out, ok=False),
                            "not an LZH archive", out=self.tmp / "again.exe")
        archive = self.tmp / "notice.lzh"
        archive.write_bytes(lzh_member(b"!", b"hello") + b"\0")
        notice = self.write("n.txt", "n")
        r = self.build(self.tmp / "two.exe", "--from-archive", archive, "--notice", notice,
                       ok=False)
        self.assert_refused(r, "already holds the installer's notice", out=self.tmp / "two.exe")


class ForeignArchives(ToolTest):
    """Archives as the LHA tools of other systems write them: read as lhasa reads them, and
    wrapped so that the installer writes what `lzhsfx extract` and lhasa write."""

    def craft(self, name, *members, end=b"\0"):
        path = self.tmp / name
        path.write_bytes(lzh_craft.archive(*members, end=end))
        return path

    def lhasa_tree(self, archive):
        folder = self.tmp / (archive.stem + ".lhasa")
        folder.mkdir()
        run("lhasa", "x", archive.resolve(), cwd=folder)
        return tree_files(folder)

    def extracted(self, source, folder, *expected_warnings):
        r = lzhsfx("extract", source, "-d", self.tmp / folder)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        for warning in expected_warnings:
            self.assertIn(warning, r.stderr.decode())
        return tree_files(self.tmp / folder)

    def assert_read_as_lhasa_reads(self, archive, *build_options, folders=None, warnings=()):
        """lhasa t and lzhsfx test agree; lhasa x, lzhsfx extract and extract of the installer
        built from the archive write the same files (and folders, unless lhasa's are given
        as a subset of `folders`, the tool's)."""
        self.assertEqual(run("lhasa", "t", archive).returncode, 0)
        r = lzhsfx("test", archive)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        peer_files, peer_folders = self.lhasa_tree(archive)
        files, tool_folders = self.extracted(archive, archive.stem + ".tool", *warnings)
        self.assertEqual(files, peer_files)
        if folders is None:
            self.assertEqual(tool_folders, peer_folders)
        else:
            self.assertEqual(tool_folders, folders)
            self.assertLessEqual(peer_folders, folders)
        setup = self.tmp / (archive.stem + ".exe")
        r = self.build(setup, "--from-archive", archive, *build_options)
        self.assertEqual(lzhsfx("test", setup).returncode, 0)
        installed = self.extracted(setup, archive.stem + ".installer")
        self.assertEqual(installed, (files, tool_folders))
        # The installer's own headers, with their CRCs, whatever the archive had.
        self.assert_peers_pass_archive_part(setup)
        return r

    def assert_peers_pass_archive_part(self, setup):
        part = self.tmp / (setup.stem + ".part.lzh")
        part.write_bytes(archive_part(setup.read_bytes()))
        self.assertEqual(run("lhasa", "t", part).returncode, 0)
        for m in members_of(part.read_bytes()):
            self.assertTrue(m["dir"] == b"" or m["dir"].endswith(b"\xff"), m)

    def test_level2_headers_of_amiga_atari_and_os9_tools(self):
        # Amiga LhA: a directory name with no separator at its end; Atari LHarc and OS-9 LHa:
        # no common record; OS-9/68k: a header size 2 short of its records.
        cases = {
            "amiga": [lzh_craft.level2(b"hello\n", name=b"hello.txt",
                                       directory=b"subdir\xffsubdir2", os_id=b"A")],
            "atari": [lzh_craft.level2(b"no crc", name=b"a.txt", directory=b"d\xff",
                                       common=False, os_id=b"a"),
                      lzh_craft.level2(b"second", name=b"b.txt", common=False, os_id=b"a")],
            "os9": [lzh_craft.level2(b"short", name=b"s.txt", common=False, size_error=-2,
                                     os_id=b"K"),
                    lzh_craft.level2(b"two", name=b"t.txt", common=False, size_error=-2,
                                     os_id=b"K")],
        }
        quirks = {"amiga": "a directory name without a separator at its end",
                  "atari": "no header CRC", "os9": "a header size 2 bytes short of its records"}
        for name, members in cases.items():
            with self.subTest(name):
                archive = self.craft(f"{name}.lzh", *members)
                self.assert_read_as_lhasa_reads(archive)
                listing = lzhsfx("list", archive).stdout.decode()
                self.assertIn(quirks[name], listing)
        self.assertIn("subdir/subdir2/hello.txt", lzhsfx("list", self.tmp / "amiga.lzh")
                      .stdout.decode())

    def test_level0_and_level1_directories_and_amiga_comments(self):
        archive = self.craft(
            "dirs.lzh",
            lzh_craft.level0(b"dir/", method=b"-lhd-", attribute=0x10),
            lzh_craft.level0(b"empty/", method=b"-lh0-"),
            lzh_craft.level1(b"os9dir\\", method=b"-lh0-", os_id=b"K"),
            lzh_craft.level0(b"dir/note.txt\0Written on an A500", b"with a comment"),
            lzh_craft.level1(b"one.txt\0level one", b"one", os_id=b"A"))
        # lhasa makes no folder of the -lh0- entries; the tool makes all three.
        self.assert_read_as_lhasa_reads(archive, folders={"dir", "empty", "os9dir"})
        listing = lzhsfx("list", archive).stdout.decode()
        self.assertIn('comment: "Written on an A500"', listing)
        # jlha writes level-0/1 directories as -lhd- entries with a separator at the end.
        self.write("src/d/sub/f.txt", "in a folder")
        (self.tmp / "src" / "d" / "empty").mkdir()
        for level in (0, 1):
            with self.subTest(level=level):
                made = self.tmp / f"jlha{level}.lzh"
                r = run("jlha", f"a{level}o5", made, "d", cwd=self.tmp / "src", env=JAPANESE)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                self.assert_read_as_lhasa_reads(made)
                self.assertEqual(tree_files(self.tmp / f"jlha{level}.installer")[1],
                                 {"d", "d/empty", "d/sub"})
        self.assertIn("-lhd-           0          0      -  2020-09-13 12:26:40  0000  ----a  "
                      "empty/", listing)

    def test_ms_dos_names_in_capitals_are_taken_in_small_letters_as_lhasa_does(self):
        # MS-DOS and OS/2 tools store names in capitals; lhasa writes a path without any small
        # letter in small letters, and keeps the paths of other systems and mixed-case ones.
        L0, L1, L2 = lzh_craft.level0, lzh_craft.level1, lzh_craft.level2
        archive = self.craft(
            "dos.lzh", L0(b"DOC\\README.DOC", b"level 0"), L1(b"ONE.TXT", b"1", os_id=b"M"),
            L2(b"2", name=b"TWO.TXT", directory=b"SUB\xff", os_id=b"M"),
            L2(b"os2", name=b"OS2.INI", os_id=b"2"), L2(b"zero", name=b"ZERO.TXT", os_id=b"\0"),
            L2(b"unix", name=b"UNIX.TXT", os_id=b"U"), L2(b"win", name=b"WIN32.TXT", os_id=b"W"),
            L2(b"mixed", name=b"MIXED.TXT", directory=b"lower\xff", os_id=b"M"),
            L0(b"Case.Txt", b"kept"))
        self.assert_read_as_lhasa_reads(archive)
        self.assertEqual(sorted(tree_files(self.tmp / "dos.installer")[0]),
                         ["Case.Txt", "UNIX.TXT", "WIN32.TXT", "doc/readme.doc",
                          "lower/MIXED.TXT", "one.txt", "os2.ini", "sub/two.txt", "zero.txt"])
        self.assertIn("header: an MS-DOS name in capitals, taken in small letters",
                      lzhsfx("list", archive).stdout.decode())
        # A double-byte character keeps its trail byte, which may be an ASCII capital
        # ("ア" is 0x83 0x41) or small letter ("ャ" is 0x83 0x61).
        archive = self.craft("kana.lzh", L0("アイ.TXT".encode("cp932"), b"a"),
                             L0("ャX.TXT".encode("cp932"), b"b"))
        files, _ = self.extracted(archive, "kana.tool")
        self.assertEqual(sorted(files), ["アイ.txt", "ャx.txt"])

    def test_bytes_after_the_end_mark_are_a_warning_and_left_out(self):
        for fill in (b"\xe5", b"\0"):
            with self.subTest(fill=fill):
                archive = self.craft(f"padded{fill[0]}.lzh",
                                     lzh_craft.level2(b"padded", name=b"p.txt"),
                                     end=b"\0" + fill * 301)
                warning = "301 bytes after the end mark are not part of the archive"
                r = self.assert_read_as_lhasa_reads(archive, warnings=[warning])
                self.assertIn(warning + " and are left out", r.stderr.decode())
                self.assertIn(warning, lzhsfx("test", archive).stderr.decode())
                self.assertTrue(archive_part((self.tmp / archive.with_suffix(".exe").name)
                                             .read_bytes()).endswith(b"padded\0"))

    def test_lh1_members_are_decoded_and_packed_anew_for_the_installer(self):
        # Older LHA versions packed with -lh1- by default; the installer reads the family from
        # -lh4- on, so the tool decodes such members and packs them again, keeping their
        # names, times and CRCs.
        text = b"".join(b"entry %d of an old text file\r\n" % (i * 13 % 700)
                        for i in range(4000))
        archive = self.craft("old.lzh", lh1_encoder.level0_member(b"old.txt", text),
                             lh1_encoder.level0_member(b"empty", b""),
                             lzh_craft.level0(b"new.txt", b"stored"))
        self.assert_read_as_lhasa_reads(archive)
        members = members_of(archive_part((self.tmp / "old.exe").read_bytes()))
        self.assertEqual([(m["name"], m["method"], m["size"], m["crc"]) for m in members],
                         [(b"old.txt", b"-lh7-", len(text), crc16(text)),
                          (b"empty", b"-lh0-", 0, 0), (b"new.txt", b"-lh0-", 6, crc16(b"stored"))])
        self.assertIn("for the installer: decoded and packed anew with -lh7-",
                      lzhsfx("list", archive).stdout.decode())
        # Damaged -lh1- data is a member the installer cannot take, named with the reason.
        packed = lh1_encoder.encode(text)
        cases = {
            "ends early": (lzh_craft.level0(b"old.bin", packed[:-40], method=b"-lh1-",
                                            unpacked=len(text), crc=crc16(text)),
                           "the packed data ends before the member does"),
            "wrong CRC": (lzh_craft.level0(b"old.bin", packed, method=b"-lh1-",
                                           unpacked=len(text), crc=crc16(text) ^ 1),
                          "its data does not match the CRC of its header"),
        }
        for label, (member, reason) in cases.items():
            with self.subTest(label):
                archive = self.craft("bad.lzh", member)
                out = self.tmp / "bad.exe"
                self.assert_refused(self.build(out, "--from-archive", archive, ok=False),
                                    '"old.bin" cannot go into the installer', reason, out=out)
                self.assert_refused(lzhsfx("test", archive), '"old.bin": not tested', reason)

    def test_lh1_members_of_level2_headers_are_packed_anew_as_at_the_other_levels(self):
        # OS-9/68k LHa, MacLHA and MorphOS LhA write -lh1- members with level-2 headers.
        text = b"".join(b"line %d of a Macintosh text\r" % (i * 7 % 500) for i in range(3000))
        packed = lh1_encoder.encode(text)
        cases = {
            # Every other header as the installer reads it, so nothing but the method would
            # have it rewritten.
            "mac": [lzh_craft.level2(packed, name=b"old.txt", directory=b"docs\xff",
                                     method=b"-lh1-", unpacked=len(text), crc=crc16(text),
                                     os_id=b"m"),
                    lzh_craft.level2(b"stored", name=b"new.txt", os_id=b"m")],
            "os9": [lzh_craft.level2(packed, name=b"old.txt", directory=b"docs\xff",
                                     method=b"-lh1-", unpacked=len(text), crc=crc16(text),
                                     os_id=b"K", common=False, size_error=-2)],
        }
        for label, members in cases.items():
            with self.subTest(label):
                archive = self.craft(f"{label}.lzh", *members)
                self.assert_read_as_lhasa_reads(archive)
                self.assertEqual((self.tmp / f"{label}.installer" / "docs" / "old.txt")
                                 .read_bytes(), text)
                setup = (self.tmp / f"{label}.exe").read_bytes()
                self.assertEqual([(m["name"], m["method"], m["crc"])
                                  for m in members_of(archive_part(setup))][0],
                                 (b"old.txt", b"-lh7-", crc16(text)))

    def test_folders_stored_without_a_name(self):
        # Amiga LhA: an empty folder as a level-1 -lh0- member with no data, an empty file name
        # and a directory record; Unix LHa 1.14 and OSK LHa: the archived folder itself as a
        # level-0 -lhd- member with an empty name. lhasa stops at either and extracts nothing
        # (jlha and unar make a file of the first); the tool makes the folder of the first,
        # nothing of the second, and reads on.
        cases = {
            "amiga": ([lzh_craft.level1(b"", records=[(0x02, b"Empty\xff")], os_id=b"A"),
                       lzh_craft.level1(b"x.txt", b"data", records=[(0x02, b"Full\xff")],
                                        os_id=b"A")],
                      ({"Full/x.txt": (b"data", TIME)}, {"Empty", "Full"}),
                      "header: a directory stored as -lh0- with a directory record and no file "
                      "name"),
            "unix": ([lzh_craft.level0(b"", method=b"-lhd-", attribute=0x10),
                      lzh_craft.level0(b"a.txt", b"first"),
                      lzh_craft.level0(b"sub/b.txt", b"second")],
                     ({"a.txt": (b"first", TIME), "sub/b.txt": (b"second", TIME)}, {"sub"}),
                     "the folder the archive was made of: the install folder stands for it, "
                     "nothing to make"),
        }
        for label, (members, expected, note) in cases.items():
            with self.subTest(label):
                archive = self.craft(f"{label}.lzh", *members)
                self.assertEqual(self.lhasa_tree(archive), ({}, set()))
                self.assertEqual(run("lhasa", "t", archive).returncode, 0)
                r = lzhsfx("test", archive)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                listing = lzhsfx("list", archive)
                self.assertEqual(listing.returncode, 0)
                self.assertIn(note, listing.stdout.decode())
                self.assertEqual(self.extracted(archive, f"{label}.tool"), expected)
                setup = self.tmp / f"{label}.exe"
                self.build(setup, "--from-archive", archive)
                self.assertEqual(lzhsfx("test", setup).returncode, 0)
                self.assertEqual(self.extracted(setup, f"{label}.installer"), expected)
                self.assert_peers_pass_archive_part(setup)
                self.assertEqual(len(members_of(archive_part(setup.read_bytes()))),
                                 len(members) - (label == "unix"))
        # jlha stores the folder "." as a level-2 directory entry named "/".
        self.write("dot/in.txt", "inside")
        made = self.tmp / "dot.lzh"
        self.assertEqual(run("jlha", "co5", made, ".", cwd=self.tmp / "dot", env=JAPANESE)
                         .returncode, 0)
        self.assertIn("nothing to make", lzhsfx("list", made).stdout.decode())
        self.assertEqual(self.extracted(made, "dot.tool")[0], {"in.txt": (b"inside", TIME)})
        self.build(self.tmp / "dot.exe", "--from-archive", made)

    def test_macbinary_members_keep_their_bytes_as_lhasa_does(self):
        wrapped = lzh_craft.macbinary(b"Read Me", b"A Macintosh text\r", b"resource fork")
        archive = self.craft("mac.lzh", lzh_craft.level2(wrapped, name=b"Read Me", os_id=b"m"),
                             lzh_craft.level0(b"Other", wrapped))
        self.assert_read_as_lhasa_reads(archive)
        self.assertEqual((self.tmp / "mac.installer" / "Read Me").read_bytes(), wrapped)

    def test_a_folder_stored_as_data_becomes_a_directory_entry(self):
        # OS/2 LH/2: the folder's extended attributes as a packed member with attribute 0x10.
        archive = self.craft(
            "os2.lzh",
            lzh_craft.level2(b"\0\0\x05EA.TYPE" * 3, name=b"Folder", attribute=0x10, os_id=b"2"),
            lzh_craft.level2(b"inside", name=b"x.txt", directory=b"Folder\xff", os_id=b"2"))
        self.assertIn("which is dropped", lzhsfx("list", archive).stdout.decode())
        setup = self.tmp / "os2.exe"
        r = self.build(setup, "--from-archive", archive)
        self.assertIn('the member "Folder/" is a directory with 30 bytes of data', r.stderr.decode())
        self.assertEqual([m["method"] for m in members_of(archive_part(setup.read_bytes()))],
                         [b"-lhd-", b"-lh0-"])
        expected = ({"Folder/x.txt": (b"inside", TIME)}, {"Folder"})
        self.assertEqual(self.extracted(archive, "os2.tool"), expected)
        self.assertEqual(self.extracted(setup, "os2.installer"), expected)

    def test_paths_from_the_root_need_asking_for(self):
        # MacLHA: "/Untitled/..." paths, which the installer takes from the root of the drive.
        archive = self.craft(
            "root.lzh",
            lzh_craft.level2(b"root", name=b"a.txt", directory=b"\xffUntitled\xff", os_id=b"m"),
            lzh_craft.level0(b"/Untitled/b.txt", b"level 0"))
        out = self.tmp / "root.exe"
        self.assert_refused(self.build(out, "--from-archive", archive, ok=False),
                            'the member "/Untitled/a.txt" would be installed outside the install '
                            "folder: its path starts at the root of the drive", out=out)
        warning = '"/Untitled/a.txt": extracted without its leading "/"'
        self.assert_read_as_lhasa_reads(archive, "--allow-outside-paths", warnings=[warning])
        dirs = [m["dir"] for m in members_of(archive_part(out.read_bytes()))]
        self.assertEqual(dirs, [b"\xffUntitled\xff"] * 2)

    def test_members_the_installer_cannot_take_are_listed_and_refused_by_name(self):
        methods = [b"-lh2-", b"-lh3-", b"-lzs-", b"-lz4-", b"-lz5-", b"-pm0-",
                   b"-pm1-", b"-pm2-"]
        cases = [(m.decode(), lzh_craft.level2(b"packed", name=b"old.bin", method=m),
                  f"it uses the method {m.decode()}, which the installer cannot extract")
                 for m in methods]
        cases += [
            ("level 3", lzh_craft.level3(b"three", name=b"old.bin"),
             "it has a level-3 header, which the installer cannot read"),
            ("4.4 GB", lzh_craft.level2(b"\0" * 64, name=b"old.bin", method=b"-lh5-",
                                        sizes64=(64, 4400000000)),
             "it is 4400000000 bytes, more than the installer's 32-bit sizes hold"),
            ("..", lzh_craft.level0(b"../old.bin", b"up"),
             'its path leads up out of the folder with ".."'),
            # LHa for UNIX stores a symbolic link as a directory entry "link|target".
            ("link", lzh_craft.level2(name=b"old.bin|../\x83\x7c/target", method=b"-lhd-",
                                      os_id=b"U"),
             'it is a symbolic link to "../ポ/target", which the installer cannot make'),
        ]
        for label, member, reason in cases:
            name = "../old.bin" if label == ".." else "old.bin"
            with self.subTest(label):
                archive = self.craft("refused.lzh", lzh_craft.level2(b"fine", name=b"ok.txt"),
                                     member)
                listing = lzhsfx("list", archive)
                self.assertEqual(listing.returncode, 0)
                line = [l for l in listing.stdout.decode().splitlines() if "old.bin" in l][0]
                self.assertIn(label if label.startswith("-") else "", line)
                self.assertIn("not for the installer: " + reason, listing.stdout.decode())
                out = self.tmp / "refused.exe"
                self.assert_refused(self.build(out, "--from-archive", archive, ok=False),
                                    f'"{name}" cannot go into the installer: ' + reason, out=out)
                for command, what in (("test", "not tested"), ("extract", "not extracted")):
                    r = lzhsfx(command, archive, "-d", self.tmp / "x") if command == "extract" \
                        else lzhsfx(command, archive)
                    self.assert_refused(r, f'"{name}": {what}: {reason}', "1 fault")
                self.assertEqual(tree_files(self.tmp / "x")[0], {"ok.txt": (b"fine", TIME)})
                shutil.rmtree(self.tmp / "x")
        big = self.craft("big.lzh", dict((c[0], c[1]) for c in cases)["4.4 GB"])
        self.assertIn(" 4400000000 ", lzhsfx("list", big).stdout.decode())
        # A member left out is listed with the Windows time of its header, as any other.
        filetime = (1000000000 + 11644473600) * 10**7
        stamped = self.craft("stamped.lzh", lzh_craft.level2(
            b"x", name=b"old.bin", method=b"-lh2-", os_id=b"W",
            records=[(0x41, struct.pack("<QQQ", filetime, filetime, filetime))]))
        self.assertIn("2001-09-09 01:46:40", lzhsfx("list", stamped).stdout.decode())

    def test_damaged_foreign_headers_end_in_a_message_not_a_crash(self):
        # Headers without a CRC, or with a checksum the change keeps, reach every new path of
        # the reader: each prefix of the archive and each byte changed ends with status 0 or
        # 1, not with a report of the sanitizers.
        original = lzh_craft.archive(
            lzh_craft.level2(b"one", name=b"a.txt", directory=b"d", common=False,
                             size_error=-2),
            lzh_craft.level2(b"\0" * 8, name=b"big", method=b"-lh5-", common=False,
                             sizes64=(8, 1 << 33)),
            lzh_craft.level3(b"three", name=b"b.txt"),
            lzh_craft.level1(b"x\0c", b"11", records=[(0x02, b"dir\xff")]),
            lzh_craft.level0(b"e/", method=b"-lh0-"))
        env = dict(os.environ, ASAN_OPTIONS="exitcode=99",
                   UBSAN_OPTIONS="exitcode=98:halt_on_error=1")
        archive, out = self.tmp / "damaged.lzh", self.tmp / "damaged.exe"
        variants = [("test", original[:n]) for n in range(len(original))]
        for at in range(len(original)):
            for value, command in ((0xFF, "build"), (original[at] ^ 0x01, "test")):
                variants.append((command, original[:at] + bytes([value]) + original[at + 1:]))
        for command, data in variants:
            archive.write_bytes(data)
            args = ["--stub", self.stub, "-o", out, "--from-archive"] if command == "build" else []
            r = lzhsfx(command, *args, archive, env=env)
            self.assertIn(r.returncode, (0, 1), (data, r.stderr.decode()))
            if command == "build":
                self.assertEqual(out.exists(), r.returncode == 0, data)
                out.unlink(missing_ok=True)

    def test_a_path_through_a_file_an_earlier_member_made_is_refused(self):
        cases = [
            ([lzh_craft.level2(b"file", name=b"Tools"),
              lzh_craft.level2(b"inner", name=b"x.txt", directory=b"tools\xff")],
             'the member "tools/x.txt" would go into a folder where the earlier member '
             '"Tools" made a file'),
            ([lzh_craft.level2(b"inner", name=b"x.txt", directory=b"tools\xff"),
              lzh_craft.level2(b"file", name=b"TOOLS")],
             'the member "TOOLS" would be a file where the earlier member "tools/x.txt" made '
             "a folder"),
        ]
        for members, message in cases:
            with self.subTest(message):
                archive = self.craft("clash.lzh", *members)
                out = self.tmp / "clash.exe"
                self.assert_refused(self.build(out, "--from-archive", archive, ok=False),
                                    message, "the installer could not create it", out=out)


class Encodings(ToolTest):
    """Names, texts and settings are taken as UTF-8 and stored as Shift-JIS, never replaced."""

    def test_japanese_names_are_stored_as_shift_jis(self):
        self.write("in/説明書/日本語.txt", "x")
        out = self.tmp / "setup.exe"
        self.build(out, self.tmp / "in" / "説明書")
        files = [m for m in members_of(archive_part(out.read_bytes())) if m["name"]]
        self.assertEqual(files[0]["name"], "日本語.txt".encode("cp932"))
        self.assertEqual(files[0]["dir"], "説明書".encode("cp932") + b"\xff")

    def test_notice_and_directives_are_shift_jis_with_crlf(self):
        notice = self.write("notice.txt", "\ufeffインストールしますか？\n二行目\r\n三行目")
        directives = self.write("setup.txt", "$WindowTitle=日本語のタイトル\n$Flag=3\n")
        out = self.tmp / "setup.exe"
        self.build(out, "--notice", notice, "--directives", directives, self.write("a", "a"))
        r = lzhsfx("extract", out, "-d", self.tmp / "x")
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual((self.tmp / "x" / "!").read_bytes(),
                         "インストールしますか？\r\n二行目\r\n三行目".encode("cp932"))
        self.assertEqual((self.tmp / "x" / "$").read_bytes(),
                         "$WindowTitle=日本語のタイトル\r\n$Flag=3\r\n".encode("cp932"))
        names = [m["name"] for m in members_of(archive_part(out.read_bytes()))]
        self.assertEqual(names[:2], [b"$", b"!"])

    def test_settings_texts_are_shift_jis(self):
        out = self.tmp / "setup.exe"
        self.build(out, "--title", "サンプル", "--install-dir", "%ProgramFiles%\\サンプル",
                   self.write("a", "a"))
        data = out.read_bytes()
        self.assertEqual(data[516:516 + 8], "サンプル".encode("cp932"))
        folder = "%ProgramFiles%\\サンプル".encode("cp932")
        self.assertEqual(data[598:598 + len(folder) + 1], folder + b"\0")

    def test_what_shift_jis_cannot_hold_is_refused_by_name(self):
        name = "emoji\U0001F600.txt"
        self.write(f"in/d/{name}", "x")
        out = self.tmp / "setup.exe"
        self.assert_refused(self.build(out, self.tmp / "in" / "d", ok=False),
                            f"d/{name}", "\U0001F600", "Shift-JIS cannot hold", out=out)
        notice = self.write("notice.txt", "fine\nnot \u2603 fine\n")
        self.assert_refused(self.build(out, "--notice", notice, self.write("a", "a"), ok=False),
                            "notice.txt:2:", "\u2603", out=out)
        self.assert_refused(self.build(out, "--title", "\u2603", self.write("a", "a"), ok=False),
                            "--title", "\u2603", out=out)
        self.write("yen/a\u00a5b.txt", "x")
        self.assert_refused(self.build(out, self.tmp / "yen", ok=False), "yen sign", out=out)


class BadInput(ToolTest):
    """Bad input gets a clear error, and nothing half-written is left."""

    def test_values_longer_than_their_fields_are_refused(self):
        a = self.write("a", "a")
        out = self.tmp / "setup.exe"
        for option, limit in (("--title", 40), ("--install-title", 40),
                              ("--install-dir", 255), ("--command", 258)):
            with self.subTest(option=option):
                self.build(out, option, "x" * limit, a)
                out.unlink()
                self.assert_refused(self.build(out, option, "x" * (limit + 1), a, ok=False),
                                    option, f"at most {limit}", out=out)
        # Twenty kanji are 40 bytes in Shift-JIS; twenty-one are too many.
        self.build(out, "--title", "漢" * 20, a)
        self.assert_refused(self.build(self.tmp / "b.exe", "--title", "漢" * 21, a, ok=False),
                            "42 bytes", out=self.tmp / "b.exe")

    def test_unknown_methods_options_and_missing_arguments_are_usage_errors(self):
        a = self.write("a", "a")
        out = self.tmp / "setup.exe"
        self.assert_refused(self.build(out, "--method", "lh9", a, ok=False), "unknown method",
                            out=out, status=2)
        self.assert_refused(self.build(out, "--colour", a, ok=False), "unknown option", out=out,
                            status=2)
        self.assert_refused(self.build(out, ok=False), "needs a PATH", out=out, status=2)
        self.assert_refused(lzhsfx("build", a), "-o OUT", status=2)
        self.assert_refused(self.build(out, "--auto-start=1", a, ok=False), "takes no value",
                            out=out, status=2)

    def test_missing_and_unreadable_inputs_are_refused(self):
        out = self.tmp / "setup.exe"
        self.assert_refused(self.build(out, self.tmp / "nowhere", ok=False),
                            "nowhere", "no such file", out=out)
        os.mkfifo(self.tmp / "fifo")
        self.assert_refused(self.build(out, self.tmp / "fifo", ok=False),
                            "neither a file nor a folder", out=out)
        secret = self.write("in/secret.txt", "s")
        secret.chmod(0)
        os.chmod(self.tmp, 0o777)
        command = [LZHSFX, "build", "--stub", self.stub, "-o", out, secret]
        if os.geteuid() == 0:
            if not shutil.which("setpriv"):
                self.skipTest("root without setpriv cannot lose read access")
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
        self.assert_refused(run(*command), "secret.txt", "cannot read", out=out)

    def test_an_output_that_cannot_be_written_leaves_nothing(self):
        a = self.write("a", "a")
        self.assert_refused(self.build(self.tmp / "a" / "setup.exe", a, ok=False),
                            "cannot write")
        self.assert_refused(self.build(self.tmp / "no" / "setup.exe", a, ok=False),
                            "cannot write", "No such file")
        self.assertFalse((self.tmp / "no").exists())
        (self.tmp / "folder").mkdir()
        self.assert_refused(self.build(self.tmp / "folder", a, ok=False), "is a folder")
        self.assertEqual(list((self.tmp / "folder").iterdir()), [])

    def test_the_output_is_not_packed_into_itself(self):
        self.write("in/a.txt", "a")
        out = self.tmp / "in" / "setup.exe"
        self.build(out, self.tmp / "in")
        before = out.read_bytes()
        self.assert_refused(self.build(out, self.tmp / "in", ok=False), "among the inputs")
        self.assertEqual(out.read_bytes(), before)

    def test_texts_the_installer_cannot_hold_are_refused(self):
        out = self.tmp / "setup.exe"
        a = self.write("a", "a")
        long_notice = self.write("long.txt", "x" * 1000 + "\n" * 12)
        self.assert_refused(self.build(out, "--notice", long_notice, a, ok=False),
                            "1024 bytes", "at most 1023", out=out)
        zero = self.write("zero.txt", "a\0b")
        self.assert_refused(self.build(out, "--directives", zero, a, ok=False), "zero byte",
                            out=out)
        self.assert_refused(self.build(out, "--notice", self.tmp / "none.txt", a, ok=False),
                            "none.txt", "cannot read the notice", out=out)

    def test_a_file_that_is_not_the_stub_is_refused(self):
        a = self.write("a", "a")
        out = self.tmp / "setup.exe"
        r = lzhsfx("build", "--stub", a, "-o", out, a)
        self.assert_refused(r, "not the installer stub", out=out)
        self.build(out, a)
        r = lzhsfx("build", "--stub", out, "-o", self.tmp / "b.exe", a)
        self.assert_refused(r, "already holds a settings record", out=self.tmp / "b.exe")
        self.write("in/!", "x")
        self.assert_refused(self.build(self.tmp / "c.exe", self.tmp / "in" / "!", ok=False),
                            "notice", out=self.tmp / "c.exe")


class Verify(ToolTest):
    def test_verify_decodes_the_written_installer_before_keeping_it(self):
        out = self.tmp / "setup.exe"
        r = self.build(out, "--verify", "--checksum", "--notice", self.write("n.txt", "n"),
                       self.write("d/a.txt", text_like(70000, 4)))
        self.assertEqual(r.stderr, b"")
        self.assertEqual(lzhsfx("test", out).returncode, 0)


class Reproducible(ToolTest):
    def test_the_same_inputs_give_the_same_bytes(self):
        for i in range(12):
            self.write(f"in/p/f{i:02}.txt", text_like(20000 + 997 * i, i))
        self.write("in/p/sub/日本.txt", "内容")
        os.utime(self.tmp / "in" / "p" / "sub", (TIME, TIME))
        os.utime(self.tmp / "in" / "p", (TIME, TIME))
        notice = self.write("notice.txt", "ok?")
        first, second, copied = self.tmp / "1.exe", self.tmp / "2.exe", self.tmp / "3.exe"
        self.build(first, "--threads", "1", "--notice", notice, "--checksum",
                   self.tmp / "in" / "p")
        self.build(second, "--threads", "4", "--notice", notice, "--checksum",
                   self.tmp / "in" / "p")
        shutil.copytree(self.tmp / "in", self.tmp / "elsewhere" / "in")
        self.build(copied, "--notice", notice, "--checksum", self.tmp / "elsewhere" / "in" / "p")
        self.assertEqual(first.read_bytes(), second.read_bytes())
        self.assertEqual(first.read_bytes(), copied.read_bytes())


    def test_members_follow_their_folder_before_any_name_that_extends_it(self):
        # Component by component: "a" and what it holds come before "a b", "a!x", "a-b"
        # and "a.txt", whose next byte sorts below or above "/" as a plain byte.
        for rel in ("t/a b", "t/a!x/z", "t/a-b/y", "t/a.txt", "t/a/x", "t/a/b/c", "t/B/q",
                    "t/b2/r", "t/ａ/ｂ.txt"):
            self.write(rel, rel)
        out = self.tmp / "order.exe"
        self.build(out, "--method", "lh0", self.tmp / "t")
        names = [(m["dir"] + m["name"]).replace(b"\xff", b"/").decode("cp932")
                 for m in members_of(archive_part(out.read_bytes()))]
        self.assertEqual(names, [
            "t/", "t/B/", "t/B/q", "t/a/", "t/a/b/", "t/a/b/c", "t/a/x", "t/a b", "t/a!x/",
            "t/a!x/z", "t/a-b/", "t/a-b/y", "t/a.txt", "t/b2/", "t/b2/r", "t/ａ/", "t/ａ/ｂ.txt"])

class SettingsRecord(ToolTest):
    """Each option lands in its field or bit of the record at offset 512."""

    def record(self, *options):
        out = self.tmp / "setup.exe"
        self.build(out, *options, self.write("a", "a"))
        return out.read_bytes()[SETTINGS_OFFSET:SETTINGS_OFFSET + SETTINGS_SIZE]

    def test_archive_offset_is_the_stub_size_and_nothing_else_is_set_by_default(self):
        record = self.record()
        self.assertEqual(struct.unpack_from("<I", record)[0], len(fake_stub()))
        self.assertEqual(record[4:], bytes(SETTINGS_SIZE - 4))

    def test_texts_fill_their_fields(self):
        record = self.record("--title", "T", "--install-title", "IT", "--install-dir", "C:\\D",
                             "--command", "\"a b.exe\" /x")
        fields = struct.unpack("<I41s41s256s259sBB", record)
        self.assertEqual(fields[1:5], (b"T".ljust(41, b"\0"), b"IT".ljust(41, b"\0"),
                                       b"C:\\D".ljust(256, b"\0"),
                                       b"\"a b.exe\" /x".ljust(259, b"\0")))

    def test_each_flag_option_sets_its_bit(self):
        for option, offset, value in (("--auto-start", 601, 0x01), ("--overwrite", 601, 0x02),
                                      ("--checksum", 601, 0x04),
                                      ("--no-skip-not-newer", 601, 0x08),
                                      ("--ask-newer", 601, 0x08),
                                      ("--restore-attributes", 602, 0x2F)):
            with self.subTest(option=option):
                record = self.record(option)
                self.assertEqual(record[offset], value)
                self.assertEqual(record[601 if offset == 602 else 602], 0)
        record = self.record("--auto-start", "--overwrite", "--ask-newer")
        self.assertEqual(record[601], 0x0B)

    def test_the_checksum_is_the_xor_of_the_data_crcs(self):
        out = self.tmp / "setup.exe"
        self.build(out, "--checksum", "--notice", self.write("n.txt", "n"),
                   self.write("d/a.txt", "aaa"), self.write("d/b.txt", "bbbb"))
        data = out.read_bytes()
        offset, = struct.unpack_from("<I", data, SETTINGS_OFFSET)
        stored, = struct.unpack_from("<H", data, offset)
        xor = 0
        for m in members_of(archive_part(data)):
            xor ^= m["crc"]
        self.assertEqual(stored, xor)
        self.assertNotEqual(xor, 0)


class Directives(ToolTest):
    LINES = [
        "; comment lines are free",        # 1
        "$WindowTitle=Setup",              # 2
        "$Colour=red",                     # 3 unknown
        "$windowtitle=x",                  # 4 case
        "$Class=.txt,Text,app.exe",        # 5 three fields
        "$Group=Group,Item",               # 6 two fields
        "$Group=Group,Item,app.exe",       # 7
        "$Group=Group,Item,app.exe,a.ico",  # 8
        "$Class=\".a,b\",T,app.exe,key",   # 9 a quoted comma
        "$Flag=abc",                       # 10 no number
        "$WindowTitle=" + "x" * 41,        # 11 cut
        "$Command=a\tb",                   # 12 a tab splits it
    ]

    def test_directive_problems_are_warnings_with_line_numbers(self):
        setup = self.write("setup.txt", "\n".join(self.LINES) + "\n")
        out = self.tmp / "setup.exe"
        r = self.build(out, "--directives", setup, self.write("a", "a"))
        warnings = [l for l in r.stderr.decode().splitlines() if "warning" in l]
        lines = sorted({int(l.split("setup.txt:")[1].split(":")[0]) for l in warnings})
        self.assertEqual(lines, [3, 4, 5, 6, 10, 11, 12])
        text = "\n".join(warnings)
        self.assertIn("unknown directive \"$Colour=\"", text)
        self.assertIn("did you mean \"$WindowTitle=\"", text)
        self.assertIn("\"$Class=\" needs 4 fields", text)
        self.assertIn("\"$Group=\" needs 3 or 4 fields", text)
        self.assertIn("only the first 40", text)
        # The installer's own check repeats them from the archive.
        r = lzhsfx("test", out)
        self.assertEqual(r.returncode, 0)
        self.assertIn("line 5: \"$Class=\" needs 4 fields", r.stderr.decode())


class ExtractSafety(ToolTest):
    """extract never writes outside DIR, whatever the member paths say."""

    def test_paths_leaving_the_folder_are_refused(self):
        evil = [b"../evil.txt", b"/abs.txt", b"C:drive.txt", b"a/../../up.txt", b"..\\back.txt"]
        archive = self.tmp / "evil.lzh"
        archive.write_bytes(b"".join(lzh_member(p, b"bad") for p in evil) +
                            lzh_member(b"sub/ok.txt", b"good") + b"\0")
        (self.tmp / "deep" / "out").mkdir(parents=True)
        r = lzhsfx("extract", archive, "-d", self.tmp / "deep" / "out")
        err = r.stderr.decode()
        self.assertEqual(r.returncode, 1, err)
        # A path from the root is taken below the folder, as tar and lhasa take it.
        self.assertEqual(err.count("not extracted"), len(evil) - 1)
        self.assertIn('"/abs.txt": extracted without its leading "/"', err)
        self.assertEqual((self.tmp / "deep" / "out" / "sub" / "ok.txt").read_bytes(), b"good")
        written = sorted(p.relative_to(self.tmp).as_posix() for p in self.tmp.rglob("*"))
        self.assertEqual(written, ["deep", "deep/out", "deep/out/abs.txt", "deep/out/sub",
                                   "deep/out/sub/ok.txt", "evil.lzh", "stub.exe"])

    def test_symbolic_links_in_the_folder_are_not_followed(self):
        archive = self.tmp / "link.lzh"
        archive.write_bytes(lzh_member(b"link/x.txt", b"x") + lzh_member(b"file", b"y") + b"\0")
        out, outside = self.tmp / "out", self.tmp / "outside"
        out.mkdir()
        outside.mkdir()
        (out / "link").symlink_to(outside)
        (out / "file").symlink_to(outside / "target")
        r = lzhsfx("extract", archive, "-d", out, "--force")
        self.assertEqual(r.returncode, 1)
        self.assertIn("symbolic link", r.stderr.decode())
        self.assertEqual(list(outside.iterdir()), [])

    def test_existing_files_are_kept_unless_forced(self):
        archive = self.tmp / "a.lzh"
        archive.write_bytes(lzh_member(b"a.txt", b"new") + b"\0")
        self.write("out/a.txt", "old")
        r = lzhsfx("extract", archive, "-d", self.tmp / "out")
        self.assertEqual(r.returncode, 1)
        self.assertIn("--force", r.stderr.decode())
        self.assertEqual((self.tmp / "out" / "a.txt").read_bytes(), b"old")
        self.assertEqual(lzhsfx("extract", archive, "-d", self.tmp / "out", "-f").returncode, 0)
        self.assertEqual((self.tmp / "out" / "a.txt").read_bytes(), b"new")
        self.assertEqual(int((self.tmp / "out" / "a.txt").stat().st_mtime), TIME)


class Faults(ToolTest):
    """`lzhsfx test` finds what the installer would trip over, and says where."""

    def installer(self, *options):
        out = self.tmp / "setup.exe"
        self.build(out, *options, self.write("d/big.txt", text_like(200000, 1)),
                   self.write("d/small.txt", "small"))
        return out

    def damage(self, path, offset, mask=0x55):
        data = bytearray(path.read_bytes())
        data[offset] ^= mask
        path.write_bytes(bytes(data))

    def test_damaged_packed_data_is_a_fault_and_leaves_no_file(self):
        out = self.installer()
        data = out.read_bytes()
        offset, = struct.unpack_from("<I", data, SETTINGS_OFFSET)
        big = next(m for m in members_of(archive_part(data)) if m["name"] == b"big.txt")
        self.damage(out, offset + big["data"] + big["packed"] // 3)
        r = lzhsfx("test", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("big.txt", r.stderr.decode())
        r = lzhsfx("extract", out, "-d", self.tmp / "x")
        self.assertEqual(r.returncode, 1)
        self.assertFalse((self.tmp / "x" / "big.txt").exists())
        self.assertEqual((self.tmp / "x" / "small.txt").read_bytes(), b"small")

    def test_a_damaged_table_ends_the_member_through_the_abort_path(self):
        out = self.installer()
        data = out.read_bytes()
        offset, = struct.unpack_from("<I", data, SETTINGS_OFFSET)
        big = next(m for m in members_of(archive_part(data)) if m["name"] == b"big.txt")
        # The code lengths at the start of the stream: some damage there breaks a table.
        for at in range(offset + big["data"] + 2, offset + big["data"] + 40):
            self.damage(out, at)
            r = lzhsfx("test", out)
            if "Bad table" in r.stderr.decode():
                break
            self.damage(out, at)
        else:
            self.fail("no damage made a bad table")
        self.assertEqual(r.returncode, 1)
        self.assertIn("\"big.txt\": decoding failed", r.stderr.decode())
        r = lzhsfx("extract", out, "-d", self.tmp / "x")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(sorted(p.name for p in (self.tmp / "x").iterdir()), ["small.txt"])

    def test_a_wrong_checksum_is_reported_as_tampering(self):
        out = self.installer("--checksum")
        self.damage(out, struct.unpack_from("<I", out.read_bytes(), SETTINGS_OFFSET)[0])
        r = lzhsfx("test", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("改竄されています", r.stderr.decode())

    def test_a_damaged_header_or_missing_data_is_reported(self):
        out = self.installer()
        data = out.read_bytes()
        offset, = struct.unpack_from("<I", data, SETTINGS_OFFSET)
        small = next(m for m in members_of(archive_part(data)) if m["name"] == b"small.txt")
        broken = self.tmp / "broken.exe"
        broken.write_bytes(data[:offset + small["header"] + 30] + b"?" +
                           data[offset + small["header"] + 31:])
        r = lzhsfx("test", broken)
        self.assertEqual(r.returncode, 1)
        self.assertIn("the header's contents are invalid", r.stderr.decode())
        cut = self.tmp / "cut.exe"
        cut.write_bytes(data[:offset + small["data"] - 2000])
        r = lzhsfx("list", cut)
        self.assertEqual(r.returncode, 1)
        self.assertIn("data is missing", r.stderr.decode())


class InputWalk(ToolTest):
    """What the walk of the build's inputs refuses before anything is packed, and what it
    warns of."""

    def warnings(self, r):
        return sorted(line for line in r.stderr.decode().splitlines() if "warning" in line)

    def test_two_inputs_of_one_name_are_refused(self):
        self.write("one/x/a.txt", "a")
        self.write("two/x/b.txt", "b")
        out = self.tmp / "setup.exe"
        r = self.build(out, self.tmp / "one" / "x", self.tmp / "two" / "x", ok=False)
        self.assert_refused(r, "would both be the member \"x\"", out=out)

    def test_a_bad_name_at_the_end_of_the_walk_is_refused_before_anything_is_written(self):
        for i in range(40):
            self.write(f"in/a{i:02}.txt", text_like(50000, i))
        self.write("in/zz/back\\slash.txt", "x")
        out = self.tmp / "setup.exe"
        self.assert_refused(self.build(out, self.tmp / "in", ok=False), "backslash", out=out)

    def test_names_that_differ_only_in_case_are_named_wherever_they_meet(self):
        self.write("t/README", "1")
        self.write("t/readme", "2")
        self.write("t/Sub/f", "3")   # the two folders become one on Windows: f and F meet
        self.write("t/sub/F", "4")
        self.write("t/sub/g", "5")   # alone in its folder's name
        self.write("t/Other", "6")
        self.write("T", "7")         # an input of its own, against the folder t
        out = self.tmp / "setup.exe"
        r = self.build(out, self.tmp / "t", self.tmp / "T")
        self.assertEqual([line.split("\"")[1] for line in self.warnings(r)],
                         ["t/", "t/readme", "t/sub/", "t/sub/F"])
        self.assertEqual(len(members_of(archive_part(out.read_bytes()))), 10)

class WalkFaults(ToolTest):
    """Members the peers accept but the installer's walk would misread are faults."""

    def test_data_the_installer_would_not_pass_over_is_a_fault(self):
        members = (lzh_member(b"dir/", b"12345", method=b"-lhd-") +
                   lzh_member(b"short.txt", b"abc", unpacked=5) +
                   lzh_member(b"after.txt", b"fine") + b"\0")
        stub = bytearray(fake_stub())
        struct.pack_into("<I", stub, SETTINGS_OFFSET, len(stub))
        archive = self.write("odd.exe", bytes(stub) + members)
        r = lzhsfx("test", archive)
        err = r.stderr.decode()
        self.assertEqual(r.returncode, 1, err)
        self.assertIn("\"dir/\": the installer would read the next header 5 bytes before", err)
        # A stored member is copied by its unpacked size, into the next header.
        self.assertIn("\"short.txt\": the installer would read the next header 2 bytes after", err)
        self.assertNotIn("after.txt", err)

    def test_list_shows_the_settings_and_the_special_members(self):
        out = self.tmp / "setup.exe"
        self.build(out, "--title", "題名", "--command", "run.exe", "--auto-start", "--checksum",
                   "--restore-attributes", "--notice", self.write("n.txt", "n"),
                   "--directives", self.write("s.txt", "$Flag=1"), self.write("a.txt", "a"))
        r = lzhsfx("list", out)
        self.assertEqual(r.returncode, 0)
        listing = r.stdout.decode()
        self.assertIn("title            \"題名\"", listing)
        self.assertIn("command          \"run.exe\"", listing)
        self.assertIn("flags            0x05 (auto start, archive checksum)", listing)
        self.assertIn("attributes       restored", listing)
        self.assertIn("elevation        requireAdministrator", listing)
        self.assertIn("!  (notice)", listing)
        self.assertIn("$  (directives)", listing)
        self.assertIn("3 members", listing)


class ExecutionLevel(ToolTest):
    LEVELS = ("asInvoker", "highestAvailable", "requireAdministrator")
    SLOT = b'level="requireAdministrator" '  # the value, its quote and the blank behind it

    @staticmethod
    def level_in(installer):
        root = ElementTree.fromstring(manifest_of(installer))
        [element] = root.iter("{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        return element.get("level"), element.get("uiAccess")

    def refused_with(self, stub, *phrases):
        self.stub.write_bytes(stub)
        out = self.tmp / "setup.exe"
        self.assert_refused(self.build(out, self.write("a.txt", "a"), ok=False), *phrases, out=out)

    def test_each_level_is_set_in_place_and_the_installers_differ_only_there(self):
        a = self.write("a.txt", "a")
        plain = self.tmp / "plain.exe"
        self.build(plain, a)
        base = plain.read_bytes()
        self.assertEqual(self.level_in(base), ("requireAdministrator", "false"))
        self.assertEqual(manifest_of(base), MANIFEST)
        value = base.index(self.SLOT) + len('level="')
        slot = set(range(value, value + len(self.SLOT) - len('level="')))
        for level in self.LEVELS:
            with self.subTest(level=level):
                out = self.tmp / f"{level}.exe"
                self.build(out, "--elevation", level, a)
                data = out.read_bytes()
                self.assertEqual(len(data), len(base))
                self.assertEqual(self.level_in(data), (level, "false"))
                self.assertLessEqual({i for i in range(len(data)) if data[i] != base[i]}, slot)
                r = lzhsfx("list", out)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                self.assertIn(f"  elevation        {level}\n", r.stdout.decode())
        # A shorter level leaves blanks, which a longer one takes up again.
        self.stub.write_bytes(fake_stub(manifest=MANIFEST.replace(
            b'level="requireAdministrator" ', b'level="asInvoker"            ')))
        self.build(self.tmp / "again.exe", "--elevation", "requireAdministrator", a)
        self.assertEqual((self.tmp / "again.exe").read_bytes(), base)

    def test_an_unknown_level_is_a_usage_error(self):
        out = self.tmp / "setup.exe"
        r = self.build(out, "--elevation", "admin", self.write("a.txt", "a"), ok=False)
        self.assert_refused(r, "unknown execution level \"admin\"", "requireAdministrator",
                            out=out, status=2)
        usage = lzhsfx("--help").stdout.decode()
        self.assertIn("--elevation LEVEL", usage)
        self.assertIn("requireAdministrator\n                           (the default:", usage)

    def test_a_stub_without_a_manifest_or_without_room_for_every_level_is_refused(self):
        cases = {
            "no resources": fake_stub(manifest=None),
            "no resource directory": fake_stub(directories=2),
            "no level": fake_stub(manifest=MANIFEST.replace(b"requestedExecutionLevel",
                                                            b"requestedExecutionMode")),
        }
        for name, stub in cases.items():
            with self.subTest(name):
                self.refused_with(stub, "cannot be set", "older than this tool")
        tight = MANIFEST.replace(b'level="requireAdministrator" ', b'level="asInvoker" ')
        self.refused_with(fake_stub(manifest=tight), "no room", '"asInvoker"')

    def test_a_damaged_resource_tree_is_no_manifest(self):
        # The data entry of the manifest pointing past its section, the type's entry at a
        # directory beyond the resources, the section's file data past the end of the stub.
        entry = RESOURCES_AT + 0x48
        type_target = RESOURCES_AT + 20
        section = 0x4E8 + 96 + 8 * 3
        for name, at, value in (("data", entry, RESOURCES_RVA + 0x10000),
                                ("size", entry + 4, 0xFFFFFFF0),
                                ("directory", type_target, 0x80001000),
                                ("section", section + 20, 0xFFFFFF00)):
            with self.subTest(name):
                stub = bytearray(fake_stub())
                struct.pack_into("<I", stub, at, value)
                self.refused_with(bytes(stub), "has no manifest")

    def test_stubs_damaged_anywhere_in_their_headers_or_resources_are_read_safely(self):
        # The tests' copy of the tool runs under the sanitizers, which report any read
        # outside the stub's bytes.
        rng = random.Random(14)
        a = self.write("a.txt", "a")
        good = fake_stub()
        end = RESOURCES_AT + 0x58 + len(MANIFEST)
        for run_number in range(120):
            stub = bytearray(good)
            for _ in range(rng.randrange(1, 4)):
                at = rng.randrange(0x4D0, RESOURCES_AT + 0x60)
                stub[at] = rng.choice((0, 0xFF, 0x80, rng.randrange(256)))
            if run_number % 4 == 0:
                stub[end - rng.randrange(1, 200):] = b""  # cut short as well
            self.stub.write_bytes(bytes(stub))
            out = self.tmp / f"{run_number}.exe"
            r = self.build(out, a, ok=False)
            err = r.stderr.decode()
            self.assertIn(r.returncode, (0, 1), err)
            self.assertNotIn("Sanitizer", err)
            self.assertNotIn("runtime error", err)
            if r.returncode == 0:
                self.assertIn(b'level="requireAdministrator"', out.read_bytes())

    def test_list_says_when_an_installer_has_no_manifest(self):
        out = self.tmp / "setup.exe"
        self.build(out, self.write("a.txt", "a"))
        data = bytearray(out.read_bytes())
        struct.pack_into("<I", data, RESOURCES_AT + 16, 23)  # the root's one type, now not 24
        out.write_bytes(data)
        r = lzhsfx("list", out)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertIn("  elevation        none (no manifest)\n", r.stdout.decode())


class SilentSwitch(ToolTest):
    def listing(self, out):
        r = lzhsfx("list", out)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return r.stdout.decode()

    def test_list_tells_by_the_stubs_image_version_whether_it_knows_the_switch(self):
        a = self.write("a.txt", "a")
        for version, said in (((0, 0), "not known (stub 0.0, older than -s)"),
                              ((1, 0), "-s and -l known (stub 1.0)"),
                              ((2, 3), "-s and -l known (stub 2.3)")):
            with self.subTest(version=version):
                self.stub.write_bytes(fake_stub(image_version=version))
                out = self.tmp / "setup.exe"
                self.build(out, a)
                self.assertIn(f"  silent switch    {said}\n", self.listing(out))

    def test_a_damaged_pe_header_is_no_answer_and_no_fault(self):
        out = self.tmp / "setup.exe"
        self.build(out, self.write("a.txt", "a"))
        data = bytearray(out.read_bytes())
        struct.pack_into("<I", data, 0x3C, len(data) - 10)  # the PE header past the stub
        out.write_bytes(data)
        self.assertIn("  silent switch    unknown (the stub is no PE32 program)\n",
                      self.listing(out))

    def test_silent_command_sets_flag_0x40_and_warns_with_an_older_stub(self):
        a = self.write("a.txt", "a")
        self.stub.write_bytes(fake_stub(image_version=(1, 0)))
        out = self.tmp / "setup.exe"
        r = self.build(out, "--command", "setup2.exe /q", "--silent-command", a)
        self.assertEqual(r.stderr.decode().count("warning"), 0, r.stderr.decode())
        self.assertEqual(out.read_bytes()[FLAGS_AT], 0x40)
        self.assertIn("flags            0x40 (command in silent installs)", self.listing(out))
        self.stub.write_bytes(fake_stub())
        r = self.build(out, "--silent-command", a)
        self.assertIn("older than the silent switch -s: --silent-command changes nothing",
                      r.stderr.decode())
        r = self.build(out, "--silent-command=yes", a, ok=False)
        self.assert_refused(r, "--silent-command takes no value", status=2)

    def test_the_usage_describes_deployment(self):
        usage = lzhsfx("--help").stdout.decode()
        self.assertIn("--silent-command", usage)
        self.assertIn('setup.exe -s -lC:\\Logs\\app.log "C:\\Program Files\\App"', usage)
        for status in ("0 installed", "17 the log not created"):
            self.assertIn(status, usage)


class Terminal(ToolTest):
    def on_terminal(self, *args):
        """Runs the tool with a terminal as its standard error; returns what it printed."""
        controller, terminal = pty.openpty()
        with subprocess.Popen([str(a) for a in (LZHSFX,) + args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=terminal) as process:
            os.close(terminal)
            shown = b""
            while True:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
            process.wait()
        os.close(controller)
        return process.returncode, shown.decode()

    def test_a_build_says_nothing_off_a_terminal_and_sums_up_on_one(self):
        a = self.write("a", "a")
        r = self.build(self.tmp / "1.exe", a)
        self.assertEqual((r.stdout, r.stderr), (b"", b""))
        status, shown = self.on_terminal("build", "--stub", self.stub, "-o", self.tmp / "2.exe", a)
        self.assertEqual(status, 0)
        self.assertIn("wrote", shown)
        status, shown = self.on_terminal("build", "--quiet", "--stub", self.stub, "-o",
                                         self.tmp / "3.exe", a)
        self.assertEqual((status, shown), (0, ""))


class DefaultStub(ToolTest):
    """Without --stub, build takes the file LZHSFX_STUB names, else the first found of
    sfxstub.exe beside the tool, ../share/lzhsfx/ (installed) and ../win32/ (the build tree),
    all relative to the tool itself; --version tells which, or where it looked."""

    def setUp(self):
        super().setUp()
        self.env = {k: v for k, v in os.environ.items() if k != "LZHSFX_STUB"}
        self.tool = self.tmp / "bin" / "lzhsfx"
        self.tool.parent.mkdir()
        shutil.copy(LZHSFX, self.tool)
        self.places = [self.tmp / "bin" / "sfxstub.exe",
                       self.tmp / "share" / "lzhsfx" / "sfxstub.exe",
                       self.tmp / "win32" / "sfxstub.exe"]
        self.input = self.write("a", "a")
        # Run from a folder of its own, whose sfxstub.exe must never be taken.
        self.cwd = self.tmp / "work"
        self.cwd.mkdir()
        (self.cwd / "sfxstub.exe").write_bytes(fake_stub(3900))

    def place(self, index, size):
        self.places[index].parent.mkdir(parents=True, exist_ok=True)
        self.places[index].write_bytes(fake_stub(size))

    def built_with(self, *args, tool=None, env=None):
        """The size of the stub the installer was built on (its archive offset)."""
        out = self.tmp / "out.exe"
        r = run(tool or self.tool, "build", *args, "-o", out, self.input, cwd=self.cwd,
                env=env or self.env)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        size, = struct.unpack_from("<I", out.read_bytes(), SETTINGS_OFFSET)
        out.unlink()
        return size

    def version(self, tool=None, env=None):
        r = run(tool or self.tool, "--version", cwd=self.cwd, env=env or self.env)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        lines = r.stdout.decode().splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertEqual(lines[0], "lzhsfx " + project_version())
        return lines[1]

    def test_the_stub_beside_the_tool_then_the_installed_then_the_build_trees_is_taken(self):
        for index, size in enumerate((3100, 3200, 3300)):
            self.place(index, size)
        for index, size in enumerate((3100, 3200, 3300)):
            self.assertEqual(self.built_with(), size)
            self.assertEqual(self.version(),
                             f"stub: {self.places[index].resolve()}, {size} bytes")
            self.places[index].unlink()
        r = run(self.tool, "build", "-o", self.tmp / "3.exe", self.input, cwd=self.cwd,
                env=self.env)
        self.assert_refused(r, "no stub found", "--stub", "LZHSFX_STUB",
                            *[f'"{self.tmp}/bin/{p}"' for p in
                              ("sfxstub.exe", "../share/lzhsfx/sfxstub.exe",
                               "../win32/sfxstub.exe")], out=self.tmp / "3.exe")
        shown = self.version()
        self.assertTrue(shown.startswith("stub: none found (looked for "), shown)
        for p in ("sfxstub.exe", "../share/lzhsfx/sfxstub.exe", "../win32/sfxstub.exe"):
            self.assertIn(f'"{self.tmp}/bin/{p}"', shown)

    def test_a_link_to_the_tool_finds_the_stub_beside_the_tool_itself(self):
        self.place(1, 3200)
        link = self.tmp / "elsewhere" / "lzhsfx"
        link.parent.mkdir()
        link.symlink_to(self.tool)
        (link.parent / "sfxstub.exe").write_bytes(fake_stub(3800))
        self.assertEqual(self.built_with(tool=link), 3200)
        self.assertEqual(self.version(tool=link), f"stub: {self.places[1].resolve()}, 3200 bytes")

    def test_the_environment_wins_over_the_places_and_the_option_over_both(self):
        self.place(0, 3100)
        chosen = self.tmp / "chosen.exe"
        chosen.write_bytes(fake_stub(3400))
        env = dict(self.env, LZHSFX_STUB=str(chosen))
        self.assertEqual(self.built_with(env=env), 3400)
        self.assertEqual(self.version(env=env), f"stub: {chosen} (from LZHSFX_STUB), 3400 bytes")
        self.assertEqual(self.built_with("--stub", self.stub, env=env), 3000)
        # Set but empty is unset.
        self.assertEqual(self.built_with(env=dict(self.env, LZHSFX_STUB="")), 3100)
        # A missing file is refused, not passed over for the one beside the tool.
        env = dict(self.env, LZHSFX_STUB=str(self.tmp / "missing.exe"))
        r = run(self.tool, "build", "-o", self.tmp / "4.exe", self.input, cwd=self.cwd, env=env)
        self.assert_refused(r, "missing.exe", out=self.tmp / "4.exe")
        self.assertEqual(self.version(env=env),
                         f"stub: {self.tmp}/missing.exe (from LZHSFX_STUB), not readable: "
                         "No such file or directory")
        env = dict(self.env, LZHSFX_STUB=str(self.tmp))
        self.assertEqual(self.version(env=env), f"stub: {self.tmp} (from LZHSFX_STUB), not a file")

    def test_the_usage_gives_the_order_and_the_version_command(self):
        usage = " ".join(lzhsfx("--help").stdout.decode().split())
        self.assertIn("lzhsfx --version", usage)
        self.assertIn("the file LZHSFX_STUB names, else the first found of sfxstub.exe beside "
                      "lzhsfx, ../share/lzhsfx/sfxstub.exe from it, as installed, and "
                      "../win32/sfxstub.exe from it", usage)


def project_version():
    """The version the top-level CMakeLists.txt gives the project, the one place it is set."""
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"^project\(lzhsfx VERSION (\d+\.\d+\.\d+)\b", text, re.M)
    assert found, "no project(lzhsfx VERSION x.y.z) in CMakeLists.txt"
    return found.group(1)


if __name__ == "__main__":
    missing = [p for p in ("lhasa", "7z", "lsar", "jlha") if not shutil.which(p)]
    if missing:
        sys.exit(f"test_cli: missing LHA peers: {', '.join(missing)}")
    unittest.main()
