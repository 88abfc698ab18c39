"""lzhsfx.exe, the packager's tool built for Windows, run under Wine beside the host's lzhsfx:
from the same folder and options both write the same installer byte for byte, both list, test
and extract it alike, both refuse a name or a text that Shift-JIS cannot hold with the same
message, and the installer the Windows tool writes installs through the real stub."""

import os
import random
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import installer
import lh1_encoder
import lzh_craft
import winehelper
from installer import Member

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
TOOL = Path(os.environ.get("LZHSFX_EXE", winehelper.build_dir() / "lzhsfx.exe"))
# LZHSFX_HOST picks another host build than the one ctest names.
HOST_TOOL = Path(os.environ.get("LZHSFX_HOST") or os.environ.get(
    "LZHSFX", winehelper.SOURCE_DIR / "build" / "host" / "lzhsfx"))
RUN_S = 60

wine = None
root = None


def setUpModule():
    global wine, root
    for program in (STUB, TOOL, HOST_TOOL):
        if not program.is_file():
            raise FileNotFoundError(f"no program {program}")
    wine = winehelper.WineSession()
    wine.start()
    root = wine.drive_c / "tool"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()


def tearDownModule():
    wine.close()


def windows_tool(*args, cwd):
    """Runs lzhsfx.exe in `cwd`; returns (status, standard output, standard error)."""
    # Files, not pipes: a Wine process started on the way may inherit them and outlive the tool.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(["wine", str(TOOL), *map(str, args)], env=wine.env, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                timeout=RUN_S).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def host_tool(*args, cwd):
    r = subprocess.run([str(HOST_TOOL), *map(str, args)], cwd=cwd, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=RUN_S)
    return r.returncode, r.stdout, r.stderr


def write_payload(folder):
    """A Japanese file name, a nested folder, an empty file, a 70,000-byte file and a read-only
    one, each with a time of its own; returns {relative path: bytes}."""
    rng = random.Random(70000)
    words = ["installer", "archive", "member", "パッケージ", "展開", "\r\n"]
    big = "".join(rng.choice(words) for _ in range(20000)).encode("utf-8")[:70000]
    files = {
        "説明書.txt": "このパッケージの説明です。\r\n".encode("utf-8") * 40,
        "空.dat": b"",
        "データ/深い/表.bin": big,
        "データ/noise.bin": rng.randbytes(3000),
        "readme.txt": b"read me\r\n" * 100,
    }
    for i, (name, data) in enumerate(sorted(files.items())):
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        os.utime(path, (1_600_000_000 + i * 3_600, 1_500_000_000 + i * 86_400))
    (folder / "readme.txt").chmod(0o444)
    for i, sub in enumerate(["データ/深い", "データ", "."]):
        os.utime(folder / sub, (1_600_000_000, 1_400_000_000 + i * 7))
    assert len(big) == 70000
    return files


def tree(folder):
    """{relative path: (bytes or None for a folder, modification time)} of everything below."""
    found = {}
    for path in sorted(folder.rglob("*")):
        data = None if path.is_dir() else path.read_bytes()
        found[path.relative_to(folder).as_posix()] = (data, os.stat(path).st_mtime_ns)
    return found


class SameInstaller(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = root / "same"
        shutil.rmtree(cls.work, ignore_errors=True)
        (cls.work / "src" / "パッケージ").mkdir(parents=True)
        cls.files = write_payload(cls.work / "src" / "パッケージ")
        cls.options = ["--title", "テストの導入", "--install-dir", r"%ProgramFiles%\テスト",
                       "--checksum", "--threads", "2"]
        # Without --stub the Windows tool takes sfxstub.exe beside itself.
        cls.windows = windows_tool("build", "-o", "win.exe", *cls.options,
                                   r"src\パッケージ", cwd=cls.work)
        cls.host = host_tool("build", "-o", "host.exe", "--stub", STUB, *cls.options,
                             "src/パッケージ", cwd=cls.work)

    def test_both_tools_write_the_same_installer_from_the_same_folder(self):
        self.assertEqual(self.windows, (0, b"", b""))
        self.assertEqual(self.host, (0, b"", b""))
        self.assertEqual((self.work / "win.exe").read_bytes(),
                         (self.work / "host.exe").read_bytes())
        # Nothing but the installers is left: the temporary files took their names.
        self.assertEqual(sorted(p.name for p in self.work.iterdir()),
                         ["host.exe", "src", "win.exe"])

    def test_the_same_with_notice_directives_lh5_attributes_and_an_execution_level(self):
        (self.work / "notice.txt").write_text("ようこそ。\n続けますか？\n", encoding="utf-8")
        (self.work / "directives.txt").write_text("$WindowTitle=導入〜テスト\n",
                                                  encoding="utf-8")
        self.addCleanup((self.work / "notice.txt").unlink)
        self.addCleanup((self.work / "directives.txt").unlink)
        options = ["--method", "lh5", "--level", "9", "--notice", "notice.txt", "--directives",
                   "directives.txt", "--restore-attributes", "--elevation", "asInvoker",
                   "--stub"]
        self.assertEqual(windows_tool("build", "-o", "win5.exe", *options,
                                      wine.windows_path(STUB), r"src\パッケージ",
                                      cwd=self.work), (0, b"", b""))
        self.assertEqual(host_tool("build", "-o", "host5.exe", *options, STUB, "src/パッケージ",
                                   cwd=self.work), (0, b"", b""))
        self.addCleanup((self.work / "win5.exe").unlink)
        self.addCleanup((self.work / "host5.exe").unlink)
        self.assertEqual((self.work / "win5.exe").read_bytes(),
                         (self.work / "host5.exe").read_bytes())

    def test_list_and_test_print_the_same_as_the_host_tool(self):
        for command in ("list", "test"):
            with self.subTest(command=command):
                result = windows_tool(command, "win.exe", cwd=self.work)
                self.assertEqual(result, host_tool(command, "win.exe", cwd=self.work))
                self.assertEqual(result[0], 0)
        listing = windows_tool("list", "win.exe", cwd=self.work)[1].decode("utf-8")
        for name in ("パッケージ/説明書.txt", "パッケージ/データ/深い/表.bin", "パッケージ/空.dat"):
            self.assertIn(name, listing)
        self.assertIn("r---a  パッケージ/readme.txt", listing)
        self.assertIn("  elevation        requireAdministrator\n", listing)

    def test_test_finds_the_same_fault_in_a_damaged_copy(self):
        data = bytearray((self.work / "win.exe").read_bytes())
        # In the packed data of the 70,000-byte member, which fills most of the archive.
        data[len(STUB.read_bytes()) + (len(data) - len(STUB.read_bytes())) // 2] ^= 0x55
        (self.work / "damaged.exe").write_bytes(data)
        self.addCleanup((self.work / "damaged.exe").unlink)
        result = windows_tool("test", "damaged.exe", cwd=self.work)
        self.assertEqual(result, host_tool("test", "damaged.exe", cwd=self.work))
        self.assertEqual(result[0], 1)
        self.assertIn(b"damaged.exe", result[2])

    def test_extract_writes_the_same_files_and_times_as_the_host_tool(self):
        for out in ("out-win", "out-host"):
            shutil.rmtree(self.work / out, ignore_errors=True)
        self.assertEqual(windows_tool("extract", "win.exe", "-d", "out-win", cwd=self.work),
                         (0, b"", b""))
        self.assertEqual(host_tool("extract", "win.exe", "-d", "out-host", cwd=self.work),
                         (0, b"", b""))
        extracted = tree(self.work / "out-win")
        self.assertEqual(extracted, tree(self.work / "out-host"))
        source = tree(self.work / "src")
        self.assertEqual(extracted, source)
        # An existing file is kept, as on the host, unless --force is given.
        status, _, err = windows_tool("extract", "win.exe", "-d", "out-win", cwd=self.work)
        self.assertEqual(status, 1)
        self.assertIn("exists; --force overwrites it".encode(), err)
        self.assertEqual(windows_tool("extract", "win.exe", "-d", "out-win", "--force",
                                      cwd=self.work)[0], 0)

    def test_the_installer_the_windows_tool_wrote_installs_byte_for_byte(self):
        setup = self.work / "setup.exe"
        shutil.copyfile(self.work / "win.exe", setup)
        dest = self.work / "dest"
        shutil.rmtree(dest, ignore_errors=True)
        self.assertEqual(wine.run(setup, "-n", wine.windows_path(dest), timeout=RUN_S), 1)
        installed = {path.relative_to(dest / "パッケージ").as_posix(): path.read_bytes()
                     for path in (dest / "パッケージ").rglob("*") if path.is_file()}
        self.assertEqual(installed, self.files)
        for name in self.files:
            self.assertEqual(os.stat(dest / "パッケージ" / name).st_mtime_ns,
                             os.stat(self.work / "src" / "パッケージ" / name).st_mtime_ns, name)


class Refusals(unittest.TestCase):
    def setUp(self):
        self.work = root / "refusals"
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir()

    def assert_both_refuse(self, expected, *args):
        windows = windows_tool("build", "-o", "win.exe", "--stub", wine.windows_path(STUB), *args,
                               cwd=self.work)
        host = host_tool("build", "-o", "host.exe", "--stub", STUB, *args, cwd=self.work)
        self.assertEqual(windows, host)
        self.assertEqual(windows[0], 1)
        self.assertIn(expected.encode("utf-8"), windows[2])
        self.assertFalse([p for p in self.work.iterdir() if p.suffix != ".txt" and p.is_file()])

    def test_a_name_shift_jis_cannot_hold_is_refused_by_name(self):
        (self.work / "pkg").mkdir()
        (self.work / "pkg" / "한국어.txt").write_bytes(b"x")
        self.assert_both_refuse('the name "pkg/한국어.txt" holds "한", which Shift-JIS cannot '
                                'hold', "pkg")

    def test_a_notice_shift_jis_cannot_hold_is_refused_with_its_line(self):
        (self.work / "pkg").mkdir()
        (self.work / "pkg" / "a.txt").write_bytes(b"a")
        (self.work / "notice.txt").write_text("一行目\n絵文字 😀 です\n", encoding="utf-8")
        self.assert_both_refuse('notice.txt:2: the notice holds "😀", which Shift-JIS cannot hold',
                                "--notice", "notice.txt", "pkg")

    def test_a_title_shift_jis_cannot_hold_is_refused(self):
        (self.work / "pkg").mkdir()
        (self.work / "pkg" / "a.txt").write_bytes(b"a")
        self.assert_both_refuse('--title: "Ω̃" holds "̃", which Shift-JIS cannot hold',
                                "--title", "Ω̃", "pkg")

    def test_extract_on_windows_refuses_names_that_windows_reads_as_another_place(self):
        # Windows drops trailing dots and blanks, so ".. " leads up out of the folder, and a
        # colon names a stream or a drive; on Linux both are plain names.
        for member in (Member("x.txt", b"up", dir=".. "), Member("notes:more.txt", b"stream")):
            with self.subTest(name=member.name, dir=member.dir):
                shutil.rmtree(self.work, ignore_errors=True)
                (self.work / "out").mkdir(parents=True)
                (self.work / "plain.lzh").write_bytes(installer.archive([member]))
                status, _, err = windows_tool("extract", "plain.lzh", "-d", "out", cwd=self.work)
                self.assertNotEqual(status, 0)
                self.assertIn(b"would name another place", err)
                self.assertEqual({p.name for p in self.work.iterdir()}, {"out", "plain.lzh"})
                self.assertEqual(list((self.work / "out").iterdir()), [])


class ForeignArchive(unittest.TestCase):
    def test_both_tools_read_and_wrap_an_archive_of_other_systems_alike(self):
        work = root / "foreign"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir()
        (work / "old.lzh").write_bytes(lzh_craft.archive(
            lzh_craft.level2(b"amiga", name=b"a.txt", directory=b"sub\xffdir", os_id=b"A"),
            lzh_craft.level2(b"os9", name=b"b.txt", common=False, size_error=-2, os_id=b"K"),
            lzh_craft.level0(b"empty/", method=b"-lh0-"),
            lzh_craft.level2(b"EA", name=b"OS2DIR", attribute=0x10, os_id=b"2"),
            end=b"\0" + b"\xe5" * 40))
        (work / "lh1.lzh").write_bytes(lzh_craft.archive(
            lh1_encoder.level0_member(b"old.bin", bytes(range(256)) * 40 + b"tail")))
        (work / "bad.lzh").write_bytes(lzh_craft.archive(
            lzh_craft.level2(b"x", name=b"old.bin", method=b"-lh2-")))
        for command in ("list", "test"):
            for archive in ("old.lzh", "lh1.lzh", "bad.lzh"):
                with self.subTest(command=command, archive=archive):
                    result = windows_tool(command, archive, cwd=work)
                    self.assertEqual(result, host_tool(command, archive, cwd=work))
                    self.assertEqual(result[0], 1 if archive == "bad.lzh" and command == "test"
                                     else 0)
        for archive in ("old.lzh", "lh1.lzh"):
            with self.subTest(build=archive):
                windows = windows_tool("build", "-o", "win.exe", "--stub",
                                       wine.windows_path(STUB), "--from-archive", archive,
                                       cwd=work)
                host = host_tool("build", "-o", "host.exe", "--stub", STUB, "--from-archive",
                                 archive, cwd=work)
                self.assertEqual(windows, host)
                self.assertEqual(windows[0], 0)
                if archive == "old.lzh":
                    self.assertIn(b"40 bytes after the end mark", windows[2])
                self.assertEqual((work / "win.exe").read_bytes(),
                                 (work / "host.exe").read_bytes())


if __name__ == "__main__":
    unittest.main()
