"""Installers wrapped from archives of other systems' LHA tools, installed by the real stub:
what lands on the disk equals what `lzhsfx extract` writes from the installer and from the
archive, and what lhasa writes from the archive where lhasa reads it."""

import os
import shutil
import subprocess
import unittest
from pathlib import Path

import installer  # noqa: F401  (puts the tool's test helpers on the path)
import lh1_encoder
import lzh_craft
import winehelper

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
LZHSFX = Path(os.environ.get("LZHSFX", winehelper.SOURCE_DIR / "build" / "host" / "lzhsfx"))
RUN_S = 30
# Level-0/1 times are local times: the tool and lhasa take them in one zone.
UTC = dict(os.environ, TZ="UTC")

wine = winehelper.session()
setUpModule = wine.start
tearDownModule = wine.close

L2, L1, L0 = lzh_craft.level2, lzh_craft.level1, lzh_craft.level0
MACBINARY = lzh_craft.macbinary(b"Read Me", b"A Macintosh text\r", b"resource fork")
# Text with repeats near and far in the 4 KiB window, and enough of it to rebuild the
# adaptive code, as an old LHA version would pack it.
OLD_TEXT = b"".join(b"line %d of an old README, packed long ago\r\n" % (i * 7 % 500)
                    for i in range(3000))

# Each archive as a tool of another system writes it; lhasa reads all but the OS/2 one (it
# makes the folder a file) and makes no folders of the level-0/1 "-lh0-" entries.
ARCHIVES = {
    "amiga": [L2(b"hello\n", name=b"hello.txt", directory=b"subdir\xffsubdir2", os_id=b"A"),
              L0(b"dir/note.txt\0Written on an A500", b"with a comment")],
    "atari": [L2(b"no crc", name=b"a.txt", directory=b"d\xff", common=False, os_id=b"a")],
    "os9": [L2(b"short", name=b"s.txt", common=False, size_error=-2, os_id=b"K"),
            L2(b"two", name=b"t.txt", directory=b"sub\xff", common=False, size_error=-2,
               os_id=b"K")],
    "unix": [L0(b"empty/", method=b"-lh0-"), L1(b"os9dir\\", method=b"-lh0-", os_id=b"K"),
             L0(b"dir/", method=b"-lhd-", attribute=0x10), L0(b"dir/x.txt", b"x")],
    "os2": [L2(b"\0\0\x05EA.TYPE" * 3, name=b"Folder", attribute=0x10, os_id=b"2"),
            L2(b"inside", name=b"x.txt", directory=b"Folder\xff", os_id=b"2")],
    "mac": [L2(MACBINARY, name=b"Read Me", os_id=b"m")],
    "dos": [L0(b"DOC\\README.DOC", b"MS-DOS"), L2(b"os2", name=b"OS2.INI", os_id=b"2"),
            L2(b"mixed", name=b"MIXED.TXT", directory=b"lower\xff", os_id=b"M")],
    "lh1": [lh1_encoder.level0_member(b"readme.old", OLD_TEXT), L0(b"plain.txt", b"stored")],
    # MacLHA: -lh1- under a level-2 header, packed anew for the installer.
    "lh1-level2": [L2(lh1_encoder.encode(OLD_TEXT), name=b"old.txt", directory=b"docs\xff",
                      method=b"-lh1-", unpacked=len(OLD_TEXT), crc=installer.crc16(OLD_TEXT),
                      os_id=b"m")],
    # Amiga LhA: an empty folder as a level-1 -lh0- member with no data and no file name.
    "amiga-empty": [L1(b"", records=[(0x02, b"Empty\xff")], os_id=b"A"),
                    L1(b"x.txt", b"data", records=[(0x02, b"Full\xff")], os_id=b"A")],
    # Unix LHa 1.14: the archived folder itself, a level-0 -lhd- member with no name.
    "unix-itself": [L0(b"", method=b"-lhd-", attribute=0x10), L0(b"a.txt", b"first"),
                    L0(b"sub/b.txt", b"second")],
}
PADDED = {"padded": b"\0" + b"\xe5" * 301}
LHASA_READS = {"amiga", "atari", "os9", "mac", "padded", "lh1", "dos", "lh1-level2"}


def tree(folder):
    """{relative path: (bytes, or None for a folder; modification time)} below `folder`."""
    found = {}
    for path in sorted(Path(folder).rglob("*")):
        data = None if path.is_dir() else path.read_bytes()
        mtime = None if path.is_dir() else os.stat(path).st_mtime_ns
        found[path.relative_to(folder).as_posix()] = (data, mtime)
    return found


class ForeignInstall(unittest.TestCase):
    def setUp(self):
        self.work = wine.drive_c / "foreign"
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir()

    def tool(self, *args):
        r = subprocess.run([str(LZHSFX), *map(str, args)], capture_output=True, timeout=RUN_S,
                           cwd=self.work, env=UTC)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return r

    def install(self, setup, dest):
        self.assertEqual(wine.run(setup, "-n", wine.windows_path(dest), timeout=RUN_S), 1)
        return tree(dest)

    def test_each_quirk_installs_what_extract_and_lhasa_write(self):
        cases = {name: lzh_craft.archive(*members) for name, members in ARCHIVES.items()}
        cases["padded"] = lzh_craft.archive(L2(b"padded", name=b"p.txt"), end=PADDED["padded"])
        # jlha's level-0 and level-1 archives, with an empty folder among the others.
        source = self.work / "jlha-source"
        (source / "d" / "empty").mkdir(parents=True)
        (source / "d" / "sub").mkdir()
        (source / "d" / "sub" / "f.txt").write_bytes(b"from jlha\r\n")
        for level in (0, 1):
            made = self.work / f"jlha{level}.lzh"
            subprocess.run(["jlha", f"a{level}o5", str(made), "d"], cwd=source, env=UTC,
                           check=True, capture_output=True)
            cases[f"jlha{level}"] = made.read_bytes()
            LHASA_READS.add(f"jlha{level}")
        for name, data in cases.items():
            with self.subTest(name):
                archive = self.work / f"{name}.lzh"
                archive.write_bytes(data)
                setup = self.work / f"{name}.exe"
                self.tool("build", "--stub", STUB, "-o", setup, "--from-archive", archive)
                installed = self.install(setup, self.work / f"{name}.dest")
                self.tool("extract", setup, "-d", self.work / f"{name}.x-setup")
                self.tool("extract", archive, "-d", self.work / f"{name}.x-archive")
                self.assertEqual(installed, tree(self.work / f"{name}.x-setup"))
                self.assertEqual(installed, tree(self.work / f"{name}.x-archive"))
                self.assertTrue(installed)
                if name in LHASA_READS:
                    peer = self.work / f"{name}.lhasa"
                    peer.mkdir()
                    subprocess.run(["lhasa", "x", str(archive)], cwd=peer, check=True,
                                   capture_output=True, env=UTC)
                    self.assertEqual(installed, tree(peer))
        self.assertEqual(tree(self.work / "amiga.dest")["subdir/subdir2/hello.txt"][0],
                         b"hello\n")
        self.assertEqual(tree(self.work / "os2.dest")["Folder"], (None, None))
        self.assertEqual(tree(self.work / "unix.dest")["empty"], (None, None))
        self.assertEqual(tree(self.work / "mac.dest")["Read Me"][0], MACBINARY)
        self.assertEqual(tree(self.work / "jlha0.dest")["d/empty"], (None, None))
        self.assertEqual(tree(self.work / "lh1.dest")["readme.old"][0], OLD_TEXT)
        self.assertEqual(tree(self.work / "lh1-level2.dest")["docs/old.txt"][0], OLD_TEXT)
        self.assertEqual(tree(self.work / "amiga-empty.dest")["Empty"], (None, None))
        self.assertEqual(sorted(tree(self.work / "unix-itself.dest")),
                         ["a.txt", "sub", "sub/b.txt"])
        self.assertEqual(sorted(p for p, (data, _) in tree(self.work / "dos.dest").items()
                                if data is not None),
                         ["doc/readme.doc", "lower/MIXED.TXT", "os2.ini"])

    def test_paths_from_the_root_are_installed_there_only_when_asked_for(self):
        archive = self.work / "root.lzh"
        top = "lzhsfx-foreign-root"
        archive.write_bytes(lzh_craft.archive(
            L2(b"root", name=b"a.txt", directory=b"\xff" + top.encode() + b"\xff", os_id=b"m")))
        setup = self.work / "root.exe"
        self.assertEqual(subprocess.run([str(LZHSFX), "build", "--stub", str(STUB), "-o",
                                         str(setup), "--from-archive", str(archive)],
                                        capture_output=True).returncode, 1)
        self.assertFalse(setup.exists())
        self.tool("build", "--stub", STUB, "-o", setup, "--from-archive", archive,
                  "--allow-outside-paths")
        target = wine.drive_c / top
        shutil.rmtree(target, ignore_errors=True)
        self.addCleanup(shutil.rmtree, target, True)
        dest = self.work / "dest"
        self.install(setup, dest)
        self.assertEqual((target / "a.txt").read_bytes(), b"root")
        self.assertFalse(dest.exists() and any(dest.iterdir()))


if __name__ == "__main__":
    unittest.main()
