"""The scan pass on the real stub: what the user is told about a damaged or tampered
installer, and the notice question, each ending the program with status 0 before any
dialog."""

import os
import unittest
from pathlib import Path

import installer
import winehelper
from installer import Member
from winehelper import NT, WIN32S

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
DEFAULT_TITLE = "LZH 自己解凍書庫 V2.60.w32.0027"
BOX_TEXT = 0xFFFF
IDOK, IDYES, IDNO = 1, 6, 7
WAIT_MS = 10000

# One session for the module's tests: started before the first, closed after the last.
wine = winehelper.session()
setUpModule = wine.start
tearDownModule = wine.close


class ScanPass(unittest.TestCase):
    def setUp(self):
        self.folder = wine.drive_c / "scan"
        self.folder.mkdir(exist_ok=True)

    def make(self, name, archive_bytes, **fields):
        return installer.make_installer(STUB, self.folder / name, archive_bytes, **fields)

    def answer_box(self, path, caption, button):
        """Starts the installer, reads the box captioned `caption`, presses `button`, and
        returns the box's text and the exit status."""
        program = wine.spawn(path)
        self.addCleanup(program.kill)
        [box] = wine.ui("wait", caption, WAIT_MS, "dump", "click", button)
        return box.control(BOX_TEXT).text, program.wait()

    def test_an_archive_offset_beyond_the_file_is_missing_data_under_the_default_title(self):
        self.addCleanup(wine.set_mode, NT)
        path = self.make("beyond.exe", b"", archive_offset=10 ** 6)
        for mode in (NT, WIN32S):
            with self.subTest(mode=mode):
                wine.set_mode(mode)
                text, status = self.answer_box(path, DEFAULT_TITLE, IDOK)
                self.assertEqual(text, f'"{wine.windows_path(path)}" ﾃﾞｰﾀが欠落しています')
                self.assertEqual(status, 0)

    def test_a_wrong_archive_checksum_is_reported_as_tampering(self):
        members = [Member("a.txt", b"alpha"), Member("b.txt", b"beta")]
        good = installer.archive(members, checksum=True)
        bad = bytes([good[0] ^ 0x01]) + good[1:]
        path = self.make("tampered.exe", bad, flags=installer.ARCHIVE_CHECKSUM,
                         window_title="Setup")
        text, status = self.answer_box(path, "Setup", IDOK)
        self.assertEqual(text, f'"{wine.windows_path(path)}" 改竄されています')
        self.assertEqual(status, 0)

    def test_a_damaged_header_is_reported_over_the_installers_own_path(self):
        members = [Member("a.txt", b"alpha"), Member("b.txt", b"beta", bad_header_crc=True)]
        path = self.make("damaged.exe", installer.archive(members), window_title="Setup")
        text, status = self.answer_box(path, "Setup", IDOK)
        self.assertEqual(text, f'"{wine.windows_path(path)}" ﾍｯﾀﾞｰの内容が不正')
        self.assertEqual(status, 0)

    def test_declining_the_notice_ends_the_program_with_status_0(self):
        notice = "ご利用の前にお読みください。\r\nRead me first."
        members = [Member("!", notice.encode("cp932")), Member("a.txt", b"alpha")]
        path = self.make("notice.exe", installer.archive(members), window_title="Setup")
        text, status = self.answer_box(path, "Setup", IDNO)
        self.assertEqual(text.replace("\\r", "\r").replace("\\n", "\n"), notice)
        self.assertEqual(status, 0)


if __name__ == "__main__":
    unittest.main()
