"""Runs Windows programs under 32-bit Wine on a private X display, for the end-to-end tests.

A `WineSession` belongs to one test process. It holds the lock of the test run's Wine prefix
(under the build folder, made on first use and reused afterwards), starts its own Xvfb on a
free display, keeps the prefix's wineserver running while the tests run, and at the end stops
that wineserver (`wineserver -k` on the prefix) and kills its Xvfb by process id. The locale is
ja_JP.UTF-8, so the ANSI code page of the programs is 932 and Japanese arguments arrive intact.

Two platform modes: `NT` (Wine's default) and `WIN32S`, where GetVersionExA reports platform
id 0. `set_mode` switches between them and proves the switch with the probe.

The programs and folders are found through environment variables, which ctest sets, or else
under build/win32 of the source tree:
    WINETEST_DIR   build folder holding the prefix and the screenshots
    UIHELPER       uihelper.exe        MSGBOX_PROBE   msgbox_probe.exe

Run as a script: `winehelper.py reset` makes a fresh prefix for a test run, `winehelper.py stop`
kills whatever still runs in it.
"""

import ctypes
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
from dataclasses import dataclass, field
from pathlib import Path, PureWindowsPath

NT = "nt"
WIN32S = "win32s"

# Platform ids of GetVersionExA's dwPlatformId.
PLATFORM_IDS = {NT: 2, WIN32S: 0}

SCREEN = "1024x768x24"
START_TIMEOUT = 20  # seconds for Xvfb to come up and for a wineserver to start or stop
PREFIX_TIMEOUT = 180  # seconds for wineboot to make a prefix
RUN_TIMEOUT = 30  # default bound on one program run

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "scripts"))
from i386_check import reason_unavailable  # noqa: E402

# uihelper exit statuses.
UI_DONE, UI_TIMED_OUT, UI_BAD_USAGE, UI_NOT_FOUND, UI_NOT_USABLE, UI_NO_ANSWER = range(6)


def build_dir():
    return Path(os.environ.get("WINETEST_DIR", SOURCE_DIR / "build" / "win32"))


def test_program(variable, name):
    """The path of a test program: from `variable`, or where the build puts it."""
    return Path(os.environ.get(variable, build_dir() / "tests" / "wine" / name))


# ---------------------------------------------------------------------------------------------
# uihelper dumps
# ---------------------------------------------------------------------------------------------

_ESCAPES = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}


def _unescape(text):
    return re.sub(r"\\(.)", lambda m: _ESCAPES[m.group(1)], text)


@dataclass
class Control:
    """One line of a dump: a control, or the window itself (id None)."""

    id: int
    cls: str
    text: str
    state: frozenset
    rect: tuple  # x, y, width, height

    @property
    def visible(self):
        return "visible" in self.state

    @property
    def enabled(self):
        return "enabled" in self.state

    @property
    def checked(self):
        return "checked" in self.state


@dataclass
class Window:
    """A top-level window as `dump` reported it, its controls in z-order."""

    own: Control
    controls: list = field(default_factory=list)
    origin: tuple = None  # of the client area on the screen, from an `origin` after the dump

    @property
    def caption(self):
        return self.own.text

    def control(self, control_id):
        for control in self.controls:
            if control.id == control_id:
                return control
        raise KeyError(f"no control {control_id} in {self.caption!r}")


def parse_dumps(output):
    """Parses the output of uihelper's dump commands into one Window per dump, with the client
    area's place of an `origin` that follows a dump."""
    windows = []
    for line in output.splitlines():
        if line.startswith("origin\t"):
            windows[-1].origin = tuple(int(n) for n in line.split("\t")[1].split(","))
            continue
        ident, cls, text, state, rect = line.split("\t")
        control = Control(
            None if ident == "window" else int(ident),
            _unescape(cls),
            _unescape(text),
            frozenset(state.split()),
            tuple(int(n) for n in rect.split(",")),
        )
        if control.id is None:
            windows.append(Window(control))
        else:
            windows[-1].controls.append(control)
    return windows


# ---------------------------------------------------------------------------------------------
# Session
# ---------------------------------------------------------------------------------------------


def windows_name(path, drive_c):
    """The Windows name of a Linux path, with C: on `drive_c` and Z: on the root, as Wine
    and the emulator map them."""
    path = Path(os.path.abspath(path))
    drive_c = Path(os.path.abspath(drive_c))
    if path == drive_c or drive_c in path.parents:
        return str(PureWindowsPath("C:\\", *path.relative_to(drive_c).parts))
    return str(PureWindowsPath("Z:\\", *path.parts[1:]))


def linux_name(windows_path, drive_c):
    """The Linux path of a Windows path on C: or Z:."""
    path = PureWindowsPath(windows_path)
    roots = {"C:": Path(drive_c), "Z:": Path("/")}
    drive = path.drive.upper()
    if drive not in roots or not path.root:
        raise ValueError(f"not an absolute path on C: or Z:: {windows_path}")
    return roots[drive].joinpath(*path.parts[1:])


def _die_with_parent():
    """Runs in the child before exec: a killed test must not leave its Xvfb behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _wine_command(program, args):
    # Wine would only end with status 53; say which file is missing instead.
    if str(program).startswith("/") and not Path(program).is_file():
        raise FileNotFoundError(f"no program {program}")
    return ["wine", str(program), *map(str, args)]


class Program:
    """A program under test started by `WineSession.spawn`."""

    def __init__(self, session, popen, name):
        self._session = session
        self._popen = popen
        self.name = name

    def wait(self, timeout=RUN_TIMEOUT):
        """Returns the exit status; a program still running after `timeout` seconds is killed,
        the screen saved, and the test failed."""
        # A blocking wait with a timer behind it: waiting with a timeout polls, and would
        # add up to 50 ms to the time a run seems to take.
        shots = []

        def expire():
            try:
                shots.append(self._session.screenshot(f"timeout-{self.name}"))
            finally:
                shots.append(None)
                self._popen.kill()

        timer = threading.Timer(timeout, expire)
        timer.start()
        try:
            status = self._popen.wait()
        finally:
            timer.cancel()
        timer.join()
        if shots:
            raise AssertionError(f"{self.name} still ran after {timeout} s; screen in {shots[0]}")
        return status

    def poll(self):
        """The exit status, or None while the program runs."""
        return self._popen.poll()

    def kill(self):
        if self._popen.poll() is None:
            self._popen.kill()
            self._popen.wait()


class Session:
    """What the sessions of both backends share: a prefix whose drive_c is drive C:, Z: on
    the root, and a life cycle of start and close."""

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *error):
        self.close()

    @property
    def drive_c(self):
        return self.prefix / "drive_c"

    def windows_path(self, path):
        """The Windows name of a Linux path: under C: inside the prefix's drive_c, else Z:."""
        return windows_name(path, self.drive_c)

    def linux_path(self, windows_path):
        """The Linux path of a Windows path on C: or Z:."""
        return linux_name(windows_path, self.drive_c)


class WineSession(Session):
    backend = "wine"

    def __init__(self, fresh=False, screen=SCREEN):
        self.build_dir = build_dir()
        self.screen = screen  # width x height x depth of the X display
        self.prefix = self.build_dir / "wineprefix"
        self.screenshots = self.build_dir / "wine-screenshots"
        self.uihelper = test_program("UIHELPER", "uihelper.exe")
        self.probe = test_program("MSGBOX_PROBE", "msgbox_probe.exe")
        self._fresh = fresh
        self._lock = None
        self._xvfb = None
        self.display = None

    @property
    def env(self):
        env = dict(os.environ)
        env.update(
            WINEPREFIX=str(self.prefix),
            WINEARCH="win32",
            WINEDEBUG="-all",
            # No Mono or Gecko installer dialogs, no desktop menu entries.
            WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
            LC_ALL="ja_JP.UTF-8",
        )
        if self.display is not None:
            env["DISPLAY"] = f":{self.display}"
        return env

    # --- life cycle ---------------------------------------------------------------------------

    def start(self):
        """Starts the session; a second call while it runs does nothing. Where Wine cannot run
        on this machine, the tests that need it are skipped with the reason."""
        if self._lock is not None:
            return
        reason = reason_unavailable()
        if reason is not None:
            raise unittest.SkipTest(f"Wine left out: {reason}")
        self._acquire()
        try:
            self._start_xvfb()
            self._ensure_prefix()
            self._wineserver("-p")  # stays up between runs, so each run starts fast
            self.set_mode(NT)
        except BaseException:
            self.close()
            raise

    def close(self):
        if self._lock is None:
            return
        try:
            self._wineserver("-k")
            if self._xvfb is not None:
                self._xvfb.terminate()
                try:
                    self._xvfb.wait(START_TIMEOUT)
                except subprocess.TimeoutExpired:
                    self._xvfb.kill()
                    self._xvfb.wait()
        finally:
            self._xvfb = None
            self.display = None
            self._lock.close()
            self._lock = None

    def stop_leftovers(self):
        """Kills what an interrupted session left running in the prefix."""
        self._acquire()
        self.close()

    def _acquire(self):
        self.build_dir.mkdir(parents=True, exist_ok=True)
        self._lock = open(self.build_dir / "wineprefix.lock", "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        self._wineserver("-k")

    def _wineserver(self, option):
        subprocess.run(["wineserver", option], env=self.env, timeout=START_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if option == "-k":
            subprocess.run(["wineserver", "-w"], env=self.env, timeout=START_TIMEOUT,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _start_xvfb(self):
        # Xvfb picks a free display itself and writes its number to the pipe once it is ready.
        reader, writer = os.pipe()
        try:
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(writer), "-screen", "0", self.screen, "-nolisten",
                 "tcp"],
                pass_fds=[writer], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=_die_with_parent,
            )
            os.close(writer)
            writer = None
            number = b""
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([reader], [], [], START_TIMEOUT)
                chunk = os.read(reader, 16) if ready else b""
                if not chunk:
                    raise RuntimeError("Xvfb did not report a display")
                number += chunk
            self.display = int(number)
        finally:
            os.close(reader)
            if writer is not None:
                os.close(writer)

    def _ensure_prefix(self):
        ready = self.prefix / ".ready"
        if ready.exists() and not self._fresh:
            return
        if self.prefix.exists():
            shutil.rmtree(self.prefix)
        subprocess.run(["wineboot", "-i"], env=self.env, timeout=PREFIX_TIMEOUT, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Xvfb runs no window manager, and Wine waits two seconds for one whenever a window it
        # left to the manager is hidden; so Wine manages the windows itself.
        self._reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        self._wineserver("-k")  # writes the registry out before the prefix counts as made
        ready.touch()

    # --- running programs ---------------------------------------------------------------------

    def spawn(self, program, *args, cwd=None):
        """Starts a Windows program (a Linux path, or a Windows path) with the given arguments."""
        popen = subprocess.Popen(
            _wine_command(program, args), env=self.env, cwd=cwd,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        return Program(self, popen, PureWindowsPath(str(program)).stem)

    def run(self, program, *args, cwd=None, timeout=RUN_TIMEOUT):
        """Runs a Windows program to its end and returns its exit status."""
        return self.spawn(program, *args, cwd=cwd).wait(timeout)

    def ui(self, *commands, expect=UI_DONE, timeout=RUN_TIMEOUT):
        """Runs uihelper with the given commands, alongside whatever runs in the prefix, and
        returns the windows its dump commands reported. An exit status other than `expect`
        (one status, or a tuple of them) fails the test, with uihelper's message and a
        screenshot."""
        # Files, not pipes: a Wine process that this run happens to start, such as the desktop
        # process, inherits the output and outlives the helper, so a pipe would not close.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.run(
                    _wine_command(self.uihelper, commands), env=self.env, timeout=timeout,
                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                ).returncode
            except subprocess.TimeoutExpired:
                shot = self.screenshot("uihelper")
                raise AssertionError(f"uihelper {commands} still ran after {timeout} s; "
                                     f"screen in {shot}") from None
            out.seek(0)
            err.seek(0)
            output, message = out.read().decode("utf-8"), err.read().decode("utf-8", "replace")
        if status not in (expect if isinstance(expect, tuple) else (expect,)):
            shot = self.screenshot("uihelper")
            raise AssertionError(f"uihelper {commands} ended with {status}, not {expect}: "
                                 f"{message.strip()}; screen in {shot}")
        return parse_dumps(output)

    def set_mode(self, mode):
        """Makes the programs started from now on see the Windows NT or the Win32s platform."""
        key = r"HKCU\Software\Wine"
        if mode == WIN32S:
            self._reg("add", key, "/v", "Version", "/d", "win31", "/f")
        else:
            self._reg("delete", key, "/v", "Version", "/f")  # fails if already absent
        platform = self.run(self.probe, "--platform")
        if platform != PLATFORM_IDS[mode]:
            raise RuntimeError(f"{mode} mode set, but the platform id is {platform}")

    def set_dpi(self, dpi):
        """Makes the programs started from now on see a screen of `dpi` pixels per inch (None:
        Wine's default, 96)."""
        key = r"HKCU\Control Panel\Desktop"
        if dpi is None:
            self._reg("delete", key, "/v", "LogPixels", "/f")
        else:
            self._reg("add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")

    def _reg(self, *args):
        subprocess.run(["wine", "reg", *args], env=self.env, timeout=RUN_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # --- paths and screen ---------------------------------------------------------------------


    def screenshot(self, name):
        """Saves the whole screen as build folder/wine-screenshots/NAME.png; returns the path."""
        self.screenshots.mkdir(parents=True, exist_ok=True)
        path = self.screenshots / f"{name}.png"
        subprocess.run(["import", "-display", f":{self.display}", "-window", "root", str(path)],
                       timeout=START_TIMEOUT, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return path


# ---------------------------------------------------------------------------------------------
# Backends
# ---------------------------------------------------------------------------------------------

BACKEND_VARIABLE = "LZHSFX_BACKEND"


def backend():
    """The backend the tests of this process run on: "wine" (the default) or "emulator"."""
    name = os.environ.get(BACKEND_VARIABLE, "wine")
    if name not in ("wine", "emulator"):
        raise ValueError(f"{BACKEND_VARIABLE} is {name!r}, not wine or emulator")
    return name


def session(**options):
    """A session on this process's backend."""
    if backend() == "emulator":
        import emulatorhelper
        return emulatorhelper.EmulatorSession(**options)
    return WineSession(**options)


def needs_wine(why):
    """Skips a test or class under the emulator, saying what of Wine it needs."""
    return unittest.skipIf(backend() == "emulator", f"needs Wine: {why}")


def main(argv):
    reason = reason_unavailable()
    if reason is not None and argv[1:] in (["reset"], ["stop"]):
        print(f"Wine left out: {reason}")
        return 0
    if argv[1:] == ["reset"]:
        with WineSession(fresh=True):
            pass
        return 0
    if argv[1:] == ["stop"]:
        WineSession().stop_leftovers()
        return 0
    print("usage: winehelper.py reset|stop", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
