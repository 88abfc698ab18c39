"""Damaged downloads on the real stub: a small installer with one byte changed, in a header or
in the first KiB of a member's packed data, run unattended. Every run ends, within a bound, with
one of the installer's own messages or none, with the exit status that message calls for, and
leaves no file outside the destination and no partial or temporary file in it."""

import os
import random
import shutil
import struct
import time
import unittest
from pathlib import Path

import installer
import winehelper
from installer import Member

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
TITLE = "破損試験"
BOX_TEXT = 0xFFFF
IDOK = 1
RUN_S = 20
SAMPLE = 48  # variants run here; the host tests run every one

# What the scan pass reports before anything is written (status 0), and what the extract pass
# and the decoder report (status 1).
SCAN_ERRORS = ("ﾍｯﾀﾞｰの内容が不正", "ﾃﾞｰﾀが欠落しています", "ﾒﾓﾘが足りません", "読み込みｴﾗｰ")
EXTRACT_ERRORS = ("CRCｴﾗｰ", "Bad table", "ｵｰﾌﾟﾝｴﾗｰ", "読み込みｴﾗｰ")

# One session for the module's tests: started before the first, closed after the last.
wine = winehelper.session()
setUpModule = wine.start
tearDownModule = wine.close


def write_files(folder, files):
    folder.mkdir(parents=True)
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return files


def members(archive_bytes):
    """(header start, header size, packed size) of every member of a level-2 archive, which
    ends with a one-byte end mark."""
    found, at = [], 0
    while at < len(archive_bytes) - 1:
        size, = struct.unpack_from("<H", archive_bytes, at)
        packed, = struct.unpack_from("<I", archive_bytes, at + 7)
        found.append((at, size, packed))
        at += size + packed
    return found


class DamagedDownload(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = wine.drive_c / "damage"
        shutil.rmtree(cls.root, ignore_errors=True)
        rng = random.Random(7)
        lh5 = write_files(cls.root / "lh5", {
            "guide.txt": b"".join(b"%05d: the installer checks every member it writes\r\n" % i
                                  for i in range(400)),
            "table.bin": bytes(rng.randrange(8) * 17 for _ in range(9000)),
        })
        lh7 = write_files(cls.root / "lh7", {"notes.txt": b"Notes, packed with -lh7-.\r\n" * 300})
        stored = Member("readme.txt", b"Stored as it is.\r\n" * 20)
        cls.expected = {**lh5, **lh7, stored.name: stored.data}
        # jlha's archives without their end marks, then a stored member and the end mark.
        cls.archive = (installer.jlha_archive(cls.root / "lh5", 5)[:-1] +
                       installer.jlha_archive(cls.root / "lh7", 7)[:-1] +
                       installer.archive([stored]))
        methods = [m for m, _ in installer.member_methods(cls.archive)]
        assert {"-lh5-", "-lh7-", "-lh0-"} <= set(methods), methods

    def run_variant(self, position, value):
        """Runs the installer with one byte changed; returns (messages, status)."""
        damaged = bytearray(self.archive)
        damaged[position] = value
        folder = self.root / "run"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        path = installer.make_installer(STUB, folder / "setup.exe", bytes(damaged),
                                        window_title=TITLE)
        program = wine.spawn(path, "-n", wine.windows_path(folder / "dest"))
        self.addCleanup(program.kill)
        messages = []
        deadline = time.monotonic() + RUN_S
        while program.poll() is None:
            self.assertLess(time.monotonic(), deadline, f"byte {position} = {value}: still runs")
            for window in wine.ui("wait", TITLE, 500, "dump",
                                  expect=(winehelper.UI_DONE, winehelper.UI_TIMED_OUT)):
                if any(c.id == BOX_TEXT for c in window.controls):
                    messages.append(window.control(BOX_TEXT).text)
                    wine.ui("wait", TITLE, 2000, "click", IDOK, "gone", 5000,
                            expect=(winehelper.UI_DONE, winehelper.UI_TIMED_OUT,
                                    winehelper.UI_NOT_FOUND))
        return folder, messages, program.poll()

    def check(self, folder, messages, status):
        self.assertEqual({p.name for p in folder.iterdir()} - {"dest"}, {"setup.exe"},
                         "a file outside the destination")
        dest = folder / "dest"
        found = {str(p.relative_to(dest)): p.read_bytes() for p in dest.rglob("*")
                 if p.is_file()} if dest.exists() else {}
        # Whatever is left is a whole member, as packed: no partial or temporary file.
        for name, data in found.items():
            self.assertIn(name, self.expected, "an unknown or temporary file")
            self.assertEqual(data, self.expected[name], f"{name} is not the member")
        self.assertLessEqual(len(messages), 1, messages)
        if not messages:
            self.assertEqual(status, 1)
            return "none"
        text = messages[0]
        if text.endswith(SCAN_ERRORS) and not found:
            self.assertEqual(status, 0, text)
        else:
            self.assertTrue(text.endswith(EXTRACT_ERRORS), text)
            self.assertEqual(status, 1, text)
        return text.rsplit(" ", 1)[-1]

    def test_a_sample_of_single_byte_changes_ends_with_a_message_and_no_partial_file(self):
        positions = []
        for at, size, packed in members(self.archive):
            positions += range(at, at + size)
            positions += range(at + size, at + size + min(packed, 1024))
        sample = positions[::max(1, len(positions) // SAMPLE)]
        outcomes = {}
        for position in sample:
            value = self.archive[position] ^ 0xFF
            with self.subTest(position=position):
                outcome = self.check(*self.run_variant(position, value))
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
        print(f"\n{len(sample)} of {len(positions)} positions: {outcomes}")
        # Header bytes are guarded by the header CRC, packed bytes by the data CRC.
        self.assertGreater(outcomes.get("ﾍｯﾀﾞｰの内容が不正", 0), 0, outcomes)
        self.assertGreater(outcomes.get("CRCｴﾗｰ", 0) + outcomes.get("table", 0), 0, outcomes)


if __name__ == "__main__":
    unittest.main()
