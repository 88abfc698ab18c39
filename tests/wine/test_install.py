"""The extract pass on the real stub: what lands on the disk after an unattended run (bytes,
folders, times, DOS attributes), the overwrite question and the file errors, and what the user
sees while a large member is written, Cancel included."""

import os
import random
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import installer
import winehelper
from installer import Member
from winehelper import NT, WIN32S

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
MARKER = winehelper.test_program("MARKER", "marker.exe")

TITLE = "展開試験"
BOX_TEXT = 0xFFFF
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
FOLDER, FILE_LABEL, PROGRESS, BROWSE = 100, 101, 102, 104
WAIT_MS = 10000
RUN_S = 20  # bound on a run that needs no more input
RESTORE_ATTRIBUTES = 0x2F  # "/", the value written for on
READ_ONLY, HIDDEN, SYSTEM, ARCHIVE = 0x01, 0x02, 0x04, 0x20
OLDER = Member().time - 86400  # an existing file from the day before the members

# One session for the module's tests: started before the first, closed after the last.
wine = winehelper.session()
setUpModule = wine.start
tearDownModule = wine.close


def dos_attributes(path):
    """The DOS attributes Wine keeps for a file: read-only as the missing Unix write bit,
    hidden and system in the user.DOSATTRIB extended attribute (the archive bit is not kept)."""
    attributes = 0 if os.stat(path).st_mode & 0o200 else READ_ONLY
    try:
        kept = int(os.getxattr(path, "user.DOSATTRIB").rstrip(b"\0"), 16)
        attributes |= kept & (HIDDEN | SYSTEM)
    except OSError:
        pass
    return attributes


def tree(folder):
    """Every entry under `folder`, relative, directories with a trailing "/"."""
    return {str(p.relative_to(folder)) + ("/" if p.is_dir() else "") for p in folder.rglob("*")}


def restart_wineserver(*launcher):
    """Stops the prefix's wineserver and starts it again, persistent as the session keeps it,
    through `launcher` (a command that runs the command after it)."""
    for option in ("-k", "-w"):
        subprocess.run(["wineserver", option], env=wine.env, timeout=winehelper.START_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([*launcher, "wineserver", "-p"], env=wine.env, timeout=winehelper.START_TIMEOUT,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def reg(*args):
    """Runs Wine's reg tool; returns its exit status."""
    return subprocess.run(["wine", "reg", *args], env=wine.env, timeout=30,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def appears_within(path, seconds):
    """Polls for `path` for at most `seconds`; for a file that a program started in the
    background writes."""
    deadline = time.monotonic() + seconds
    while not path.exists():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return True


class InstallCase(unittest.TestCase):
    def setUp(self):
        self.root = wine.drive_c / "install"
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir()
        self.dest = self.root / "dest"

    def make(self, archive_bytes, directives="", **fields):
        """An installer of the archive; directives come as a "$" member in front of it."""
        if directives:
            archive_bytes = Member("$", directives.encode("cp932")).bytes() + archive_bytes
        fields.setdefault("window_title", TITLE)
        return installer.make_installer(STUB, self.root / "setup.exe", archive_bytes, **fields)

    def start(self, path, *args):
        program = wine.spawn(path, *args)
        self.addCleanup(program.kill)
        return program

    def shown(self, path):
        """A destination path as the stub names it: joined with "/"."""
        return wine.windows_path(path).replace("\\", "/")

    def wait_for_box(self):
        """The message box over the dialog: both bear the title, and the dialog answers `wait`
        only until the box has come up and disabled it."""
        deadline = time.monotonic() + WAIT_MS / 1000
        while time.monotonic() < deadline:
            [window] = wine.ui("wait", TITLE, WAIT_MS, "dump")
            if any(c.id == BOX_TEXT for c in window.controls):
                return window
        self.fail("no message box over the dialog")

    def answer(self, button, screenshot=None):
        """Waits for the next box, presses `button` and waits until the box has gone; returns
        the box's text."""
        box = self.wait_for_box()
        if screenshot:
            wine.screenshot(screenshot)
        wine.ui("wait", TITLE, WAIT_MS, "click", button, "gone", WAIT_MS)
        return box.control(BOX_TEXT).text


# ---------------------------------------------------------------------------------------------
# Unattended extraction
# ---------------------------------------------------------------------------------------------

# (creation, last write, last access) of the 0x41 records; odd seconds, none equal to the header
# time, so each time on the disk can only have come from its own field.
TIMES = [(1000000001 + 7 * i, 1100000003 + 7 * i, 1200000005 + 7 * i) for i in range(8)]

STORED = [
    Member("readme.txt", b"Read me first.\r\n", file_times=TIMES[0]),
    Member(dir="docs", directory=True),
    Member("guide.txt", b"A guide\r\n" * 100, dir="docs", file_times=TIMES[1]),
    Member("説明書.txt", "日本語の説明書です。\r\n".encode("cp932"), dir="docs",
           file_times=TIMES[2]),
    Member(dir="empty/inner", directory=True),
    Member("locked.txt", b"read only\r\n", attribute=ARCHIVE | READ_ONLY, file_times=TIMES[3]),
    Member("hidden.dat", bytes(range(256)), attribute=ARCHIVE | HIDDEN, file_times=TIMES[4]),
    Member("system.dat", b"\x00system\xff", attribute=SYSTEM | HIDDEN | READ_ONLY,
           file_times=TIMES[5]),
    Member("nothing.bin", b"", attribute=0, file_times=TIMES[6]),
]


def write_sources(folder):
    """Text and binary files for jlha, one of several MiB, in nested folders, each with its own
    modification time; returns {relative path: (bytes, time)}."""
    rng = random.Random(1994)
    files = {
        "notes.txt": "".join(f"{i}: 解凍のテスト, line {i}\r\n"
                             for i in range(3000)).encode("cp932"),
        "big.txt": b"".join(b"%07d the installer writes every member of the archive %s\r\n"
                            % (i, b"abcdefgh"[: i % 8]) for i in range(90000)),
        "data/table.bin": b"".join(struct.pack("<IHBB", i, i % 977, rng.randrange(16), 0)
                                   for i in range(300000)),
        "data/deep/pattern.bin": bytes((i * i) & 0xFF for i in range(40000)),
    }
    found = {}
    for i, (name, data) in enumerate(files.items()):
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        stamp = 1400000001 + 3600 * i
        os.utime(path, (stamp, stamp))
        found[name] = (data, stamp)
    return found


class Unattended(InstallCase):
    def assert_times(self, path, write, access):
        # Creation times are not checked: Linux keeps a birth time that no program can set, so
        # Wine drops the creation time that SetFileTime is given.
        st = os.stat(path)
        self.assertEqual((st.st_mtime_ns, st.st_atime_ns), (write * 10**9, access * 10**9), path)

    def test_n_with_a_folder_extracts_stored_members_with_their_times_and_attributes(self):
        path = self.make(installer.archive(STORED), restore_attributes=RESTORE_ATTRIBUTES)
        self.assertEqual(self.start(path, "-n", wine.windows_path(self.dest)).wait(RUN_S), 1)

        self.assertEqual(tree(self.dest), {
            "readme.txt", "docs/", "docs/guide.txt", "docs/説明書.txt", "empty/", "empty/inner/",
            "locked.txt", "hidden.dat", "system.dat", "nothing.bin"})
        files = [(self.dest / (m.dir or "") / m.name, m) for m in STORED if not m.directory]
        # Times first: reading a file would move its last access.
        for target, member in files:
            _, write, access = member.file_times
            self.assert_times(target, write, access)
            self.assertEqual(dos_attributes(target),
                             member.attribute & (READ_ONLY | HIDDEN | SYSTEM), target)
        for target, member in files:
            self.assertEqual(target.read_bytes(), member.data, target)

    def test_n_with_a_folder_extracts_what_jlha_packed_with_lh5_lh6_and_lh7(self):
        with tempfile.TemporaryDirectory() as temp:
            sources = write_sources(Path(temp) / "source")
            for method in (5, 6, 7):
                with self.subTest(method=method):
                    packed = installer.jlha_archive(Path(temp) / "source", method)
                    methods = dict((name, m) for m, name in installer.member_methods(packed))
                    self.assertEqual(methods, {"notes.txt": f"-lh{method}-",
                                               "big.txt": f"-lh{method}-",
                                               "data/": "-lhd-",
                                               "data/table.bin": f"-lh{method}-",
                                               "data/deep/": "-lhd-",
                                               "data/deep/pattern.bin": f"-lh{method}-"})
                    dest = self.root / f"lh{method}"
                    path = self.make(packed, restore_attributes=RESTORE_ATTRIBUTES)
                    self.assertEqual(self.start(path, "-n", wine.windows_path(dest)).wait(RUN_S), 1)

                    self.assertEqual(tree(dest), {"notes.txt", "big.txt", "data/",
                                                  "data/table.bin", "data/deep/",
                                                  "data/deep/pattern.bin"})
                    # Without 0x41 records all three times are the header's time.
                    for name, (_, stamp) in sources.items():
                        self.assert_times(dest / name, stamp, stamp)
                        self.assertEqual(dos_attributes(dest / name), 0)
                    for name, (data, _) in sources.items():
                        self.assertEqual((dest / name).read_bytes(), data, name)

    def test_auto_start_from_the_settings_flag_or_the_flag_directive_extracts_without_input(self):
        members = [Member("readme.txt", b"auto\r\n")]
        for fields, directives in (({"flags": installer.AUTO_START}, ""), ({}, "$Flag=1\r\n")):
            with self.subTest(fields=fields, directives=directives):
                shutil.rmtree(self.dest, ignore_errors=True)
                path = self.make(installer.archive(members), directives,
                                 install_dir=wine.windows_path(self.dest), **fields)
                self.assertEqual(self.start(path).wait(RUN_S), 1)
                self.assertEqual((self.dest / "readme.txt").read_bytes(), b"auto\r\n")


# ---------------------------------------------------------------------------------------------
# Existing files and file errors
# ---------------------------------------------------------------------------------------------


class ExistingFiles(InstallCase):
    @classmethod
    def setUpClass(cls):
        # The wineserver opens the files of its programs. Run as root, it may write a read-only
        # file, which Windows refuses and so does Wine run by an ordinary user; without the
        # capability to override file permissions it keeps to the file's mode as they do.
        # The emulator's files keep to their mode whoever runs it.
        if wine.backend == "wine":
            restart_wineserver("setpriv", "--inh-caps=-dac_override",
                               "--bounding-set=-dac_override")

    @classmethod
    def tearDownClass(cls):
        if wine.backend == "wine":
            restart_wineserver()

    def existing(self, name, data, read_only=False):
        """A file already in the destination, older than the members."""
        path = self.dest / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        os.utime(path, (OLDER, OLDER))
        if read_only:
            path.chmod(0o444)
        return path

    def test_the_overwrite_question_names_the_file_and_yes_no_and_cancel_decide(self):
        for n in (1, 2, 3):
            self.existing(f"{n}.txt", b"old %d" % n)
        members = [Member(f"{n}.txt", b"new %d" % n) for n in (1, 2, 3, 4)]
        program = self.start(self.make(installer.archive(members)), "-n",
                             wine.windows_path(self.dest))

        question = '"{}" 上書きしますか？'
        self.assertEqual(self.answer(IDYES, screenshot="install-overwrite-question"),
                         question.format(self.shown(self.dest / "1.txt")))
        self.assertEqual(self.answer(IDNO), question.format(self.shown(self.dest / "2.txt")))
        self.assertEqual(self.answer(IDCANCEL), question.format(self.shown(self.dest / "3.txt")))
        self.assertEqual(program.wait(RUN_S), 1)

        self.assertEqual({n: (self.dest / f"{n}.txt").read_bytes() for n in (1, 2, 3)},
                         {1: b"new 1", 2: b"old 2", 3: b"old 3"})
        self.assertFalse((self.dest / "4.txt").exists())  # Cancel ended the walk

    def test_a_read_only_file_is_reset_and_overwritten_when_attributes_are_restored(self):
        locked = self.existing("locked.txt", b"old", read_only=True)
        members = [Member("locked.txt", b"new"), Member("after.txt", b"after")]
        path = self.make(installer.archive(members), flags=installer.OVERWRITE_SILENTLY,
                         restore_attributes=RESTORE_ATTRIBUTES)
        self.assertEqual(self.start(path, "-n", wine.windows_path(self.dest)).wait(RUN_S), 1)
        self.assertEqual(dos_attributes(locked), 0)  # the member's own attributes
        self.assertEqual(locked.read_bytes(), b"new")
        self.assertEqual((self.dest / "after.txt").read_bytes(), b"after")

    def test_a_read_only_file_is_an_open_error_when_attributes_are_not_restored(self):
        locked = self.existing("locked.txt", b"old", read_only=True)
        members = [Member("locked.txt", b"new"), Member("after.txt", b"after")]
        path = self.make(installer.archive(members), flags=installer.OVERWRITE_SILENTLY)
        program = self.start(path, "-n", wine.windows_path(self.dest))
        self.assertEqual(self.answer(IDOK), f'"{self.shown(locked)}" ｵｰﾌﾟﾝｴﾗｰ')
        self.assertEqual(program.wait(RUN_S), 1)
        self.assertEqual((dos_attributes(locked), locked.read_bytes()), (READ_ONLY, b"old"))
        self.assertFalse((self.dest / "after.txt").exists())

    def test_a_crc_error_names_the_file_removes_it_and_ends_the_walk(self):
        members = [Member("good.txt", b"good"),
                   Member("bad.txt", b"damaged", data_crc=installer.crc16(b"damaged") ^ 1),
                   Member("later.txt", b"later")]
        program = self.start(self.make(installer.archive(members)), "-n",
                             wine.windows_path(self.dest))
        self.assertEqual(self.answer(IDOK), f'"{self.shown(self.dest / "bad.txt")}" CRCｴﾗｰ')
        self.assertEqual(program.wait(RUN_S), 1)
        self.assertEqual(tree(self.dest), {"good.txt"})
        self.assertEqual((self.dest / "good.txt").read_bytes(), b"good")

    def test_a_crc_error_over_an_existing_file_leaves_it_as_it_was(self):
        old = self.existing("bad.txt", b"the user's own bytes")
        members = [Member("bad.txt", b"damaged", data_crc=installer.crc16(b"damaged") ^ 1)]
        program = self.start(self.make(installer.archive(members),
                                       flags=installer.OVERWRITE_SILENTLY),
                             "-n", wine.windows_path(self.dest))
        self.assertEqual(self.answer(IDOK), f'"{self.shown(old)}" CRCｴﾗｰ')
        self.assertEqual(program.wait(RUN_S), 1)
        self.assertEqual(tree(self.dest), {"bad.txt"})
        self.assertEqual(old.read_bytes(), b"the user's own bytes")


# ---------------------------------------------------------------------------------------------
# Silent installs
# ---------------------------------------------------------------------------------------------

CRC_ERROR_STATUS = 9


class Silent(InstallCase):
    """-s: no window waits for anyone (a box would keep the run from ending), the notice is
    taken as accepted, and the exit status and the log say what happened."""

    def silent(self, path, *more):
        log = self.root / "setup.log"
        status = self.start(path, "-s", f"-l{wine.windows_path(log)}", *more,
                            wine.windows_path(self.dest)).wait(RUN_S)
        return status, log.read_bytes().decode("cp932").splitlines()

    def test_a_silent_install_writes_every_file_logs_each_and_ends_with_status_0(self):
        self.addCleanup(wine.set_mode, NT)
        notice = Member("!", "ご利用の前にお読みください。".encode("cp932"))
        path = self.make(notice.bytes() + installer.archive(STORED[:4]))
        for mode in (NT, WIN32S):
            with self.subTest(mode=mode):
                wine.set_mode(mode)
                shutil.rmtree(self.dest, ignore_errors=True)
                status, log = self.silent(path)
                self.assertEqual(status, 0)
                self.assertEqual(tree(self.dest), {"readme.txt", "docs/", "docs/guide.txt",
                                                   "docs/説明書.txt"})
                for member in STORED[:4]:
                    if not member.directory:
                        target = self.dest / (member.dir or "") / member.name
                        self.assertEqual(target.read_bytes(), member.data)
                self.assertEqual(log[-1], "exit 0")
                self.assertEqual(sorted(line for line in log if line.startswith("ok ")), sorted(
                    f"ok {wine.windows_path(self.dest / (m.dir or '') / m.name)}"
                    for m in STORED[:4] if not m.directory))

    def test_a_crc_error_keeps_the_old_file_and_ends_with_its_own_status(self):
        self.dest.mkdir(parents=True)
        old = self.dest / "bad.txt"
        old.write_bytes(b"the user's own bytes")
        os.utime(old, (1000000000, 1000000000))
        members = [Member("bad.txt", b"damaged", data_crc=installer.crc16(b"damaged") ^ 1),
                   Member("later.txt", b"later")]
        status, log = self.silent(self.make(installer.archive(members)))
        self.assertEqual(status, CRC_ERROR_STATUS)
        self.assertEqual(old.read_bytes(), b"the user's own bytes")
        self.assertEqual(tree(self.dest), {"bad.txt"})
        self.assertEqual(log[-2:], [f'error "{wine.windows_path(old)}" CRCｴﾗｰ',
                                    f"exit {CRC_ERROR_STATUS}"])


# ---------------------------------------------------------------------------------------------
# Progress and Cancel
# ---------------------------------------------------------------------------------------------

BIG_SIZE = 128 << 20  # so large that Cancel after the dumps comes well inside it
DUMPS = 10
SCREENSHOT_AT = 4 << 20
PERCENT = re.compile(r"解凍中 (\d+)(%?)")


def percentages(texts):
    """The numbers of the progress texts, checked for their form. uihelper asks for a text's
    length and then for the text: when a progress step between the two has added a digit, the
    text comes back without its last character, the "%"."""
    numbers = []
    for text in texts:
        match = PERCENT.fullmatch(text)
        if match and not match[2]:
            # Without its "%" only when its number has more digits than the one before.
            if len(match[1]) <= (len(str(numbers[-1])) if numbers else 1):
                match = None
        if not match:
            raise AssertionError(f"not a progress text: {text!r} in {texts}")
        numbers.append(int(match[1]))
    return numbers


def display_name(path, limit=32):
    """A path as the dialog's file label shows it: whole below `limit` characters, else as
    much of its start as leaves room for ".../", the file name and the terminator."""
    if len(path) < limit:
        return path
    title = path.rsplit("/", 1)[1]
    return path[:limit - len(title) - 5] + ".../" + title


@winehelper.needs_wine("it reads the dialog while the extraction runs")
class Progress(InstallCase):
    def test_a_large_member_shows_its_name_and_a_rising_percentage_and_cancel_removes_it(self):
        # Zero bytes: their CRC-16 from a zero start is zero, with no need to compute it.
        big = Member("big.bin", bytes(BIG_SIZE), dir="extracting now", data_crc=0)
        members = [Member("marker.exe", MARKER.read_bytes()), big, Member("after.txt", b"after")]
        directives = ("$ClassTitle=関連付け\r\n"
                      "$Class=.lzc,Cancelled,marker.exe,lzhsfx.Cancelled\r\n"
                      "$Command=marker.exe\r\n")
        reg("delete", r"HKCR\.lzc", "/f")
        path = self.make(installer.archive(members), directives)
        # Nothing stands under its name, so the member is written there directly.
        partial = self.dest / "extracting now" / "big.bin"

        # A first run for the screen, taken once a few MiB of the member are on the disk and
        # before all of it is, then ended.
        program = self.start(path, "-n", wine.windows_path(self.dest))
        deadline = time.monotonic() + WAIT_MS / 1000
        while not (partial.exists() and partial.stat().st_size >= SCREENSHOT_AT):
            self.assertLess(time.monotonic(), deadline, "the member is not being written")
            time.sleep(0.01)
        wine.screenshot("install-extracting")  # a record for people; the run below is the test
        program.kill()
        shutil.rmtree(self.dest)

        # Each dump asks every control for its text, which the stub answers at its progress
        # steps, one per 64 KiB written: once the label names the large member, the dumps
        # sample its extraction as it goes on, and the Cancel right behind them comes early in
        # it.
        label = display_name(self.shown(self.dest / "extracting now" / "big.bin"))
        program = self.start(path, "-n-", wine.windows_path(self.dest))
        during = wine.ui("wait", TITLE, WAIT_MS, "click", IDOK, "text", FILE_LABEL, label,
                         WAIT_MS, *["dump"] * DUMPS, "click", IDCANCEL)
        self.assertEqual(program.wait(RUN_S), 1)

        samples = [(w.control(FILE_LABEL).text, w.control(PROGRESS).text) for w in during]
        of_big = [text for name, text in samples if name == label]
        self.assertEqual(len(of_big), DUMPS, samples)
        percents = percentages(of_big)
        self.assertEqual(percents, sorted(percents))
        self.assertGreater(len(set(percents)), 2, percents)
        self.assertLess(percents[-1], 100)  # Cancel came while the member was being written
        for window in during:
            self.assertFalse(window.control(IDOK).enabled or window.control(FOLDER).enabled
                             or window.control(BROWSE).enabled)
            self.assertTrue(window.control(IDCANCEL).enabled)

        # Cancel ended the process in the middle of the member: its partial file is gone, the
        # next member was never written, and neither the association nor the command followed.
        self.assertEqual(tree(self.dest), {"marker.exe", "extracting now/"})
        self.assertNotEqual(reg("query", r"HKCR\.lzc"), 0)
        self.assertFalse(appears_within(self.dest / "marker.txt", 3))


if __name__ == "__main__":
    unittest.main()
