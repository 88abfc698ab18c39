"""The post-extraction actions on the real stub: file-type associations in the registry or, on
Win32s, in win.ini, Program Manager groups through DDE, and the command started in the
destination folder."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path, PureWindowsPath

import installer
import winehelper
from installer import Member
from winehelper import NT, WIN32S

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
MARKER = winehelper.test_program("MARKER", "marker.exe")
ICON = Path(__file__).resolve().parents[2] / "src" / "ui" / "sfxstub.ico"

TITLE = "連携試験"
BOX_TEXT = 0xFFFF
IDOK, IDYES, IDNO = 1, 6, 7
WAIT_MS = 10000
RUN_S = 30  # bound on a run that needs no more input; each group line may start a program
VIEWER = r"Sample Tools\Sample Viewer.exe"  # the marker, under a name with blanks
# win.ini's [Extensions] section where Windows NT keeps it
EXTENSIONS = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Extensions"
INI_MAPPING = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\IniFileMapping\win.ini"
START_MENU = "users/*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"

# One session for the module's tests: started before the first, closed after the last.
wine = winehelper.WineSession()
setUpModule = wine.start
tearDownModule = wine.close


# ---------------------------------------------------------------------------------------------
# The registry, win.ini and the marker's reports
# ---------------------------------------------------------------------------------------------


def reg(*args):
    return subprocess.run(["wine", "reg", *args], env=wine.env, timeout=30,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


REG_VALUE = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$')
ROOTS = {"HKCR": "HKEY_CLASSES_ROOT", "HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}


def full_name(key):
    root, _, rest = key.partition("\\")
    return ROOTS.get(root, root) + "\\" + rest


def unquote(text):
    return re.sub(r"\\(.)", r"\1", text[1:-1])


def registry(key):
    """The key and its subkeys as `reg export` writes them: {full key path: {value name: data}},
    the default value named "@", string data unquoted; None when the key does not exist."""
    with tempfile.TemporaryDirectory(dir=wine.drive_c) as folder:
        target = Path(folder) / "export.reg"
        if reg("export", key, wine.windows_path(target), "/y") != 0:
            return None
        text = target.read_bytes().decode("utf-16")
    keys, current = {}, None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif (match := REG_VALUE.match(line)) and current is not None:
            name, data = match.groups()
            current[name if name == "@" else unquote(name)] = (
                unquote(data) if data.startswith('"') else data)
    return keys


def value_of(key, name):
    """One value of a key, its name compared without regard to case; None when absent."""
    values = (registry(key) or {}).get(full_name(key), {})
    return next((data for n, data in values.items() if n.lower() == name.lower()), None)


def win_ini_entry(section, key):
    """An entry of win.ini as programs read it. A section named under IniFileMapping lives in
    the registry, as on Windows NT ("USR:" for HKEY_CURRENT_USER), any other in the file."""
    target = value_of(INI_MAPPING, section) or ""
    if target.startswith("USR:"):
        return value_of("HKCU\\" + target[4:], key)
    inside = False
    for line in (wine.drive_c / "windows" / "win.ini").read_bytes().decode("cp932").splitlines():
        if line.startswith("["):
            inside = line.strip()[1:-1].lower() == section.lower()
        elif inside and line.partition("=")[0].strip().lower() == key.lower():
            return line.partition("=")[2]
    return None


def marker_report(path):
    """The lines the marker wrote: command line, current directory, its own short path, then
    its arguments."""
    return path.read_bytes().decode("cp932").split("\r\n")[:-1]


def appears_within(path, seconds):
    """Polls for a file that a program started in the background writes; False when it has not
    appeared after `seconds`."""
    deadline = time.monotonic() + seconds
    while not path.exists():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return True


def restart_wineserver():
    """Ends every program of the prefix with its wineserver and starts the server again,
    persistent as the session keeps it; the desktop process follows with the next program."""
    for option in ("-k", "-w", "-p"):
        subprocess.run(["wineserver", option], env=wine.env, timeout=winehelper.START_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class ShellCase(unittest.TestCase):
    def setUp(self):
        self.root = wine.drive_c / "shell"
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir()
        self.dest = self.root / "dest folder"  # a blank, so that its short form differs

    def make(self, directives, members):
        members = [Member("$", directives.encode("cp932")), *members]
        return installer.make_installer(STUB, self.root / "setup.exe", installer.archive(members),
                                        window_title=TITLE)

    def start(self, path):
        program = wine.spawn(path, "-n", wine.windows_path(self.dest))
        self.addCleanup(program.kill)
        return program

    def forget_keys(self, *keys):
        for key in keys:
            reg("delete", key, "/f")

    def short_path(self, relative):
        """The 8.3 path of an extracted copy of the marker, as the marker itself reports it."""
        report = self.root / "short-path.txt"
        self.assertEqual(wine.run(self.dest / PureWindowsPath(relative),
                                  wine.windows_path(report)), 0)
        return marker_report(report)[2]

    def answer(self, button):
        """Waits for the message box over the dialog (both bear the title, and the dialog
        answers `wait` only until the box disables it), presses `button`, waits until the box
        has gone, and returns its text."""
        deadline = time.monotonic() + WAIT_MS / 1000
        while time.monotonic() < deadline:
            [window] = wine.ui("wait", TITLE, WAIT_MS, "dump")
            if any(c.id == BOX_TEXT for c in window.controls):
                wine.ui("wait", TITLE, WAIT_MS, "click", button, "gone", WAIT_MS)
                return window.control(BOX_TEXT).text
        self.fail("no message box over the dialog")


def viewer():
    """The member that puts a copy of the marker at VIEWER."""
    return Member("Sample Viewer.exe", MARKER.read_bytes(), dir="Sample Tools")


# ---------------------------------------------------------------------------------------------
# Associations
# ---------------------------------------------------------------------------------------------


class Associations(ShellCase):
    def test_nt_registers_the_extension_in_small_letters_its_type_open_command_and_icon(self):
        self.forget_keys(r"HKCR\.lzt", r"HKCR\lzhsfx.TestDoc")
        path = self.make("$ClassTitle=関連付け\r\n"
                         f"$Class=.LzT,Lzh試験文書,{VIEWER},lzhsfx.TestDoc\r\n", [viewer()])
        self.assertEqual(self.start(path).wait(RUN_S), 1)

        short = self.short_path(VIEWER)
        self.assertNotIn(" ", short)
        self.assertEqual(registry(r"HKCR\.lzt"),
                         {r"HKEY_CLASSES_ROOT\.lzt": {"@": "lzhsfx.TestDoc"}})
        root = r"HKEY_CLASSES_ROOT\lzhsfx.TestDoc"
        self.assertEqual(registry(r"HKCR\lzhsfx.TestDoc"), {
            root: {"@": "Lzh試験文書"},
            root + r"\shell": {},
            root + r"\shell\open": {},
            root + r"\shell\open\command": {"@": f'"{short}" "%1"'},
            root + r"\DefaultIcon": {"@": f"{short},0"},
        })

    def test_win32s_writes_only_the_extensions_entry_of_win_ini(self):
        self.addCleanup(wine.set_mode, NT)
        wine.set_mode(WIN32S)
        self.forget_keys(r"HKCR\.lzs", r"HKCR\lzhsfx.Legacy")
        reg("delete", EXTENSIONS, "/v", "lzs", "/f")
        self.assertIsNone(win_ini_entry("Extensions", "lzs"))
        path = self.make("$ClassTitle=関連付け\r\n"
                         f"$Class=.LZS,Legacy,{VIEWER},lzhsfx.Legacy\r\n", [viewer()])
        self.assertEqual(self.start(path).wait(RUN_S), 1)

        self.assertEqual(win_ini_entry("Extensions", "lzs"), f"{self.short_path(VIEWER)} ^.lzs")
        self.assertIsNone(registry(r"HKCR\.lzs"))
        self.assertIsNone(registry(r"HKCR\lzhsfx.Legacy"))

    def test_ask_regist_asks_for_each_type_and_no_passes_over_only_that_line(self):
        self.forget_keys(r"HKCR\.lza", r"HKCR\lzhsfx.TypeA", r"HKCR\.lzb", r"HKCR\lzhsfx.TypeB")
        path = self.make("$AskRegist=\r\n$ClassTitle=関連付け\r\n"
                         f"$Class=.lza,種類Ａ,{VIEWER},lzhsfx.TypeA\r\n"
                         f"$Class=.lzb,種類Ｂ,{VIEWER},lzhsfx.TypeB\r\n", [viewer()])
        program = self.start(path)
        self.assertEqual(self.answer(IDNO), '"種類Ａ" の関連付けを行いますか？')
        self.assertEqual(self.answer(IDYES), '"種類Ｂ" の関連付けを行いますか？')
        self.assertEqual(program.wait(RUN_S), 1)

        self.assertIsNone(registry(r"HKCR\.lza"))
        self.assertIsNone(registry(r"HKCR\lzhsfx.TypeA"))
        self.assertEqual(registry(r"HKCR\.lzb"),
                         {r"HKEY_CLASSES_ROOT\.lzb": {"@": "lzhsfx.TypeB"}})
        self.assertEqual(registry(r"HKCR\lzhsfx.TypeB")[r"HKEY_CLASSES_ROOT\lzhsfx.TypeB"],
                         {"@": "種類Ｂ"})


# ---------------------------------------------------------------------------------------------
# Program Manager groups
# ---------------------------------------------------------------------------------------------

# Wine's Program Manager server is shell32's DDE server in the desktop process; its trace shows
# each conversation it accepts, each execute it is handed, and each terminate.
DDE_EVENT = re.compile(r"trace:shell:Dde_On(ConnectConfirm|Execute|Disconnect) (?:conv=)?(\w+)"
                       r'(?:.* data=L"(.*)"$)?')


def debug_text(text):
    """A string as Wine's debug output escapes it."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    return re.sub(r"\\([0-9a-f]{4}|.)",
                  lambda m: chr(int(m[1], 16)) if len(m[1]) == 4 else escapes[m[1]], text)


class ProgramManagerGroups(ShellCase):
    def group_folders(self, name):
        return list(wine.drive_c.glob(f"{START_MENU}/{name}"))

    def test_each_group_line_holds_a_conversation_of_its_own_that_creates_its_group(self):
        groups = ("試験グループ", "Second Group")
        for folder in (f for name in groups for f in self.group_folders(name)):
            shutil.rmtree(folder)
        path = self.make(
            "$GroupTitle=ｸﾞﾙｰﾌﾟ\r\n"
            f"$Group={groups[0]},Viewer,{VIEWER},Sample Tools\\viewer.ico\r\n"
            f"$Group={groups[1]},Read me,readme.txt\r\n",
            [viewer(), Member("viewer.ico", ICON.read_bytes(), dir="Sample Tools"),
             Member("readme.txt", b"Read me.\r\n")])

        # The server lives in the desktop process, which traces to the standard error of the
        # program that started it: after the restart, the installer started here.
        trace = self.root / "dde-trace.txt"
        restart_wineserver()
        try:
            with open(trace, "wb") as output:
                popen = subprocess.Popen(
                    ["wine", str(path), "-n", wine.windows_path(self.dest)],
                    env=dict(wine.env, WINEDEBUG="-all,trace+shell"),
                    stdin=subprocess.DEVNULL, stdout=output, stderr=output)
                self.assertEqual(winehelper.Program(wine, popen, "setup").wait(RUN_S), 1)
                # The server notes the last terminate after the installer has ended; give it a
                # bounded moment before the restart below ends the server.
                deadline = time.monotonic() + 5
                while (trace.read_bytes().count(b"Dde_OnDisconnect") < len(groups)
                       and time.monotonic() < deadline):
                    time.sleep(0.05)
        finally:
            restart_wineserver()  # also ends the Program Managers and folder windows it opened

        short = self.short_path(VIEWER)
        tools, dest = str(PureWindowsPath(short).parent), str(PureWindowsPath(short).parents[1])
        events = []
        for line in trace.read_bytes().decode("utf-8", "replace").splitlines():
            if match := DDE_EVENT.search(line):
                kind, conversation, data = match.groups()
                events.append((kind, conversation, debug_text(data) if data else None))
        self.assertEqual([(kind, data) for kind, _, data in events], [
            ("ConnectConfirm", None),
            ("Execute", f'[CreateGroup("{groups[0]}",0)]'
                        f"[AddItem({short},Viewer,{tools}\\viewer.ico)]"),
            ("Disconnect", None),
            ("ConnectConfirm", None),
            ("Execute", f'[CreateGroup("{groups[1]}",0)][AddItem({dest}\\readme.txt,Read me)]'),
            ("Disconnect", None),
        ])
        self.assertEqual(len({events[0][1], events[1][1], events[2][1]}), 1)
        self.assertEqual(len({events[3][1], events[4][1], events[5][1]}), 1)
        # Each group holds its item, as a shortcut named by the item's title.
        for name, title in zip(groups, ("Viewer", "Read me")):
            [folder] = self.group_folders(name)
            self.assertEqual(sorted(p.name for p in folder.iterdir()), [f"{title}.lnk"], name)


# ---------------------------------------------------------------------------------------------
# The command
# ---------------------------------------------------------------------------------------------


class Command(ShellCase):
    def test_the_command_starts_its_program_in_the_destination_folder_with_its_parameters(self):
        path = self.make(f'$Command="{VIEWER}" called.txt "two words" plain\r\n',
                         [viewer()])
        self.assertEqual(self.start(path).wait(RUN_S), 1)
        self.assertTrue(appears_within(self.dest / "called.txt", 10))
        line, folder, _, *args = marker_report(self.dest / "called.txt")
        self.assertEqual(folder, wine.windows_path(self.dest))
        self.assertEqual(args, ["called.txt", "two words", "plain"])
        self.assertTrue(line.endswith(' called.txt "two words" plain'), line)

    def test_a_command_without_parameters_starts_its_program_with_none(self):
        path = self.make("$Command=marker.exe\r\n", [Member("marker.exe", MARKER.read_bytes())])
        self.assertEqual(self.start(path).wait(RUN_S), 1)
        self.assertTrue(appears_within(self.dest / "marker.txt", 10))
        _, folder, _, *args = marker_report(self.dest / "marker.txt")
        self.assertEqual((folder, args), (wine.windows_path(self.dest), []))

    def test_a_failed_extraction_still_registers_the_association_but_starts_no_command(self):
        self.forget_keys(r"HKCR\.lzf", r"HKCR\lzhsfx.Failed")
        damaged = Member("bad.txt", b"damaged", data_crc=installer.crc16(b"damaged") ^ 1)
        path = self.make(f"$ClassTitle=関連付け\r\n$Class=.lzf,Failed,{VIEWER},lzhsfx.Failed\r\n"
                         f'$Command="{VIEWER}" ran.txt\r\n', [viewer(), damaged])
        program = self.start(path)
        bad = wine.windows_path(self.dest / "bad.txt").replace("\\", "/")
        self.assertEqual(self.answer(IDOK), f'"{bad}" CRCｴﾗｰ')
        self.assertEqual(program.wait(RUN_S), 1)

        self.assertEqual(registry(r"HKCR\.lzf"),
                         {r"HKEY_CLASSES_ROOT\.lzf": {"@": "lzhsfx.Failed"}})
        self.assertFalse(appears_within(self.dest / "ran.txt", 3))


if __name__ == "__main__":
    unittest.main()
