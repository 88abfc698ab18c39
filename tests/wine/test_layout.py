"""The built stub: its file layout, the platform it asks for, what it imports, and that it
starts under Wine on both platforms."""

import os
import struct
import unittest
from pathlib import Path

import winehelper
from layout_checks import LayoutChecks
from peimage import BASE_RELOCATION_DIRECTORY, TLS_DIRECTORY
from winehelper import NT, WIN32S

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comdlg32.dll", "advapi32.dll",
               "shell32.dll"}
GUI_SUBSYSTEM = 2
# The stub travels in front of every installer: no change may make it larger than it is.
SIZE_BUDGET = 18432
TITLE = "LZH 自己解凍書庫 V2.60.w32.0027"


class StubLayout(LayoutChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = STUB
        super().setUpClass()

    def test_stays_within_its_size_budget(self):
        self.assertLessEqual(len(self.data), SIZE_BUDGET)

    def test_is_a_gui_program_for_subsystem_version_3_10(self):
        self.assertEqual(self.image.subsystem, GUI_SUBSYSTEM)
        self.assertEqual(self.image.subsystem_version, (3, 10))

    def test_carries_base_relocations(self):
        rva, size = self.image.directory(BASE_RELOCATION_DIRECTORY)
        self.assertGreater(size, 0)
        at, end, entries = self.image.offset_of(rva), self.image.offset_of(rva) + size, 0
        while at < end:
            _, block_size = struct.unpack_from("<II", self.data, at)
            self.assertGreaterEqual(block_size, 8)
            types = [e >> 12 for e in struct.unpack_from(f"<{(block_size - 8) // 2}H",
                                                         self.data, at + 8)]
            entries += sum(1 for t in types if t != 0)  # type 0 only pads a block
            at += block_size
        self.assertEqual(at, end)
        self.assertGreater(entries, 0)

    def test_has_no_tls_directory(self):
        self.assertEqual(self.image.directory(TLS_DIRECTORY), (0, 0))

    def test_imports_only_system_dlls(self):
        names = {name.lower() for name in self.image.imported_dlls()}
        self.assertIn("kernel32.dll", names)
        self.assertLessEqual(names, SYSTEM_DLLS)


class StubStartsUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = winehelper.WineSession()
        cls.wine.start()

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()

    def test_the_bare_stub_reports_its_missing_archive_and_ends_with_status_0(self):
        # With its settings record zero, the archive would start at offset 0: the DOS
        # header is no member header.
        self.addCleanup(self.wine.set_mode, NT)
        for mode in (NT, WIN32S):
            with self.subTest(mode=mode):
                self.wine.set_mode(mode)
                program = self.wine.spawn(STUB)
                self.addCleanup(program.kill)
                [box] = self.wine.ui("wait", TITLE, 10000, "dump", "click", 1)
                self.assertEqual(box.control(0xFFFF).text,
                                 f'"{self.wine.windows_path(STUB)}" ﾍｯﾀﾞｰの内容が不正')
                self.assertEqual(program.wait(), 0)


if __name__ == "__main__":
    unittest.main()
