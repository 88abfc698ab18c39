"""Runs the real stub under the emulator (sfxemu: its i386 code under Unicorn over the Win32
model) behind the same interface as `winehelper.WineSession`, so that the end-to-end tests run
on either backend.

The emulated program runs only while nobody has to act: whenever one of its windows waits for
the user, it stops and reports the window as uihelper would dump it. `ui` plays uihelper's
commands against that window (`wait`, `dump`, `settext`, `click`, `text`, `gone`); a click
lets the program go on to its next window or its end. Only installers run: the Windows test
programs (uihelper, the probes, the marker) need Wine.

    SFXEMU   the emulator (default build/release/emulator/sfxemu)
"""

import os
import select
import shutil
import subprocess
import sys
from pathlib import Path, PureWindowsPath

import winehelper
from winehelper import NT, RUN_TIMEOUT, UI_DONE, UI_NOT_FOUND, UI_TIMED_OUT, WIN32S

EMULATOR = Path(os.environ.get("SFXEMU", winehelper.SOURCE_DIR / "build" / "release" / "emulator"
                               / "sfxemu"))
UI_BAD_USAGE = winehelper.UI_BAD_USAGE
ARGUMENTS = {"wait": 2, "gone": 1, "dump": 0, "origin": 0, "text": 3, "settext": 2, "click": 1}


def _escaped(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r",
                                                                                          "\\r")


class EmulatedProgram:
    """A program under test started by `EmulatorSession.spawn`."""

    def __init__(self, session, popen, name):
        self._session = session
        self._popen = popen
        self.name = name
        self.window = None  # (handle, dump text) of the window that waits, or None
        self._pending = b""
        self._advance(RUN_TIMEOUT)

    def _line(self, timeout):
        """The emulator's next line, "" at its end; read unbuffered, so that a bound on the
        wait holds."""
        fd = self._popen.stdout.fileno()
        while b"\n" not in self._pending:
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                self.kill()
                raise AssertionError(f"{self.name} still ran after {timeout} s under the emulator")
            chunk = os.read(fd, 65536)
            if not chunk:
                line, self._pending = self._pending, b""
                return line.decode("utf-8")
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return (line + b"\n").decode("utf-8")

    def _advance(self, timeout):
        """Reads what the program reports next: the window that waits, or its end."""
        line = self._line(timeout)
        if not line:
            self.window = None
            return
        if not line.startswith("wait "):
            raise AssertionError(f"the emulator said {line!r}")
        handle, dump = int(line.split()[1]), ""
        while (line := self._line(timeout)) != "end\n":
            if not line:
                raise AssertionError("the emulator ended inside a window's report")
            dump += line
        self.window = (handle, dump)

    def act(self, action):
        """Sends one action to the waiting window; returns uihelper's status for it."""
        self._popen.stdin.write((action + "\n").encode("utf-8"))
        self._popen.stdin.flush()
        reply = self._line(RUN_TIMEOUT)
        if not reply.startswith("status "):
            raise AssertionError(f"the emulator answered {action!r} with {reply!r}")
        self._advance(RUN_TIMEOUT)
        return int(reply.split()[1])

    def wait(self, timeout=RUN_TIMEOUT):
        if self.window is not None:
            caption = winehelper.parse_dumps(self.window[1])[0].caption
            self.kill()
            raise AssertionError(f"{self.name} still ran: its window {caption!r} waits for the "
                                 "user")
        try:
            status = self._popen.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"{self.name} still ran after {timeout} s") from None
        self._close()
        return status

    def poll(self):
        return None if self.window is not None else self._popen.poll()

    def kill(self):
        if self._popen.poll() is None:
            self._popen.kill()
            self._popen.wait()
        self.window = None
        self._close()

    def _close(self):
        for pipe in (self._popen.stdin, self._popen.stdout):
            if not pipe.closed:
                pipe.close()


class EmulatorSession(winehelper.Session):
    backend = "emulator"

    def __init__(self, fresh=False, screen=winehelper.SCREEN):
        self.build_dir = winehelper.build_dir()
        self.screen = screen
        # A drive C: for each test module, so that modules can run side by side.
        self.prefix = self.build_dir / "emulator" / Path(sys.argv[0]).stem
        self.mode = NT
        self.programs = []
        self._fresh = fresh
        self._started = False

    @property
    def env(self):
        return dict(os.environ)

    def start(self):
        if self._started:
            return
        if not EMULATOR.is_file():
            raise FileNotFoundError(f"no emulator {EMULATOR}; build the release tree")
        if self._fresh and self.prefix.exists():
            shutil.rmtree(self.prefix)
        self.drive_c.mkdir(parents=True, exist_ok=True)
        self._started = True

    def close(self):
        for program in self.programs:
            program.kill()
        self.programs = []
        self._started = False

    def spawn(self, program, *args, cwd=None):
        program = str(program)
        path = self.linux_path(program) if PureWindowsPath(program).drive else Path(program)
        if not path.is_file():
            raise FileNotFoundError(f"no program {path}")
        command = [str(EMULATOR), "--interactive", "--drive-c", str(self.drive_c),
                   "--cwd", self.windows_path(cwd if cwd is not None else self.drive_c)]
        if self.mode == WIN32S:
            command.append("--win32s")
        popen = subprocess.Popen([*command, str(path), *map(str, args)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 bufsize=0)
        started = EmulatedProgram(self, popen, PureWindowsPath(program).stem)
        self.programs.append(started)
        return started

    def run(self, program, *args, cwd=None, timeout=RUN_TIMEOUT):
        return self.spawn(program, *args, cwd=cwd).wait(timeout)

    def ui(self, *commands, expect=UI_DONE, timeout=RUN_TIMEOUT):
        """Plays uihelper's commands on the window the newest program shows."""
        program = next((p for p in reversed(self.programs) if p.window is not None), None)
        output, status, current, words = "", UI_DONE, None, [str(c) for c in commands]
        while words and status == UI_DONE:
            name, words = words[0], words[1:]
            count = ARGUMENTS.get(name)
            if count is None or len(words) < count:
                status = UI_BAD_USAGE
                break
            arguments, words = words[:count], words[count:]
            window = program.window if program is not None else None
            if name == "wait":
                found = window is not None and \
                    winehelper.parse_dumps(window[1])[0].caption == arguments[0]
                current = window[0] if found else None
                status = UI_DONE if found else UI_TIMED_OUT
            elif current is None or name == "origin":
                status = UI_NOT_FOUND if current is None else UI_BAD_USAGE
            elif name == "gone":
                status = UI_DONE if window is None or window[0] != current else UI_TIMED_OUT
            elif window is None or window[0] != current:
                status = UI_NOT_FOUND
            elif name == "dump":
                output += window[1]
            elif name == "text":
                [shown] = [c for c in winehelper.parse_dumps(window[1])[0].controls
                           if c.id == int(arguments[0])] or [None]
                status = UI_NOT_FOUND if shown is None else (
                    UI_DONE if shown.text == arguments[1] else UI_TIMED_OUT)
            elif name == "settext":
                status = program.act(f"settext {int(arguments[0])} {_escaped(arguments[1])}")
            else:
                status = program.act(f"click {int(arguments[0])}")
        if status not in (expect if isinstance(expect, tuple) else (expect,)):
            raise AssertionError(f"uihelper {commands} ended with {status}, not {expect}, "
                                 "under the emulator")
        return winehelper.parse_dumps(output)

    def set_mode(self, mode):
        self.mode = mode

    def set_dpi(self, dpi):
        raise NotImplementedError("the emulator draws nothing: resolutions need Wine")

    def screenshot(self, name):
        """The emulator draws nothing: no picture is kept."""
        return None
