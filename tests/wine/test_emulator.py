"""The emulator itself (sfxemu, scripts/emulate): what an emulated install reports in its
transcript, the shell integration it shows, answers that run out, and the faults it refuses to
guess past: a call the model does not have, a jump outside the program's memory. Also the
check that decides whether this machine can run Wine at all."""

import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import installer
import winehelper
from installer import Member

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
EMULATOR = Path(os.environ.get("SFXEMU", winehelper.SOURCE_DIR / "build" / "release" / "emulator"
                               / "sfxemu"))
TITLE = "模擬試験"
NO_ANSWER, FAULT = 125, 124

DIRECTIVES = ("$ClassTitle=関連付け\r\n$Class=.emu,Emulated,bin\\tool.exe,lzhsfx.Emulated\r\n"
              "$GroupTitle=登録\r\n$Group=Emulated Tools,Tool,bin\\tool.exe\r\n"
              '$Command="bin\\tool.exe" first "two words"\r\n')
MEMBERS = [Member("!", "お読みください".encode("cp932")),
           Member("$", DIRECTIVES.encode("cp932")),
           Member(dir="bin", directory=True),
           Member("tool.exe", b"MZ tool", dir="bin"),
           Member("説明.txt", "説明です\r\n".encode("cp932"))]


def emulate(installer_path, *args, answers=(), drive_c, win32s=False):
    """Runs the installer; returns the exit status, the transcript's events and stderr."""
    transcript = Path(drive_c) / "transcript.jsonl"
    command = [str(EMULATOR), "--drive-c", str(drive_c), "--transcript", str(transcript)]
    for answer in answers:
        command += ["--answer", answer]
    if win32s:
        command.append("--win32s")
    result = subprocess.run([*command, str(installer_path), *args], capture_output=True,
                            timeout=120)
    events = [json.loads(line) for line in transcript.read_text(encoding="utf-8").splitlines()]
    return result.returncode, events, result.stderr.decode("utf-8", "replace")


def of(events, kind):
    return [e for e in events if e["event"] == kind]


class EmulatorCase(unittest.TestCase):
    def setUp(self):
        self.drive_c = Path(tempfile.mkdtemp(prefix="emulator-test-"))
        self.addCleanup(shutil.rmtree, self.drive_c, ignore_errors=True)

    def make(self, members=MEMBERS, stub=STUB, **fields):
        fields.setdefault("window_title", TITLE)
        return installer.make_installer(stub, self.drive_c / "setup.exe",
                                        installer.archive(members), **fields)


class Transcript(EmulatorCase):
    def test_an_install_reports_each_step_in_order_with_its_texts_in_unicode(self):
        status, events, _ = emulate(self.make(), "-n-", r"C:\Apps\Emu", answers=["yes", "ok"],
                                    drive_c=self.drive_c)
        self.assertEqual(status, 1)
        kinds = [e["event"] for e in events if e["event"] != "text"]
        self.assertEqual(kinds[:4], ["start", "box", "box-answer", "dialog-open"])
        self.assertEqual(kinds[-2:], ["dialog-end", "exit"])
        [notice] = of(events, "box")
        self.assertEqual((notice["caption"], notice["text"], notice["icon"], notice["buttons"]),
                         (TITLE, "お読みください", "question", "yes,no"))
        [dialog] = of(events, "dialog")
        fields = {c["id"]: c for c in dialog["controls"]}
        self.assertEqual(fields[100]["text"], r"C:\Apps\Emu")
        self.assertIn("enabled", fields[1]["states"])
        files = [(e["change"], e["path"]) for e in of(events, "file")]
        self.assertEqual(files, [("directory", r"C:\Apps"), ("directory", r"C:\Apps\Emu"),
                                 ("directory", r"C:\Apps\Emu\bin"),
                                 ("created", r"C:\Apps\Emu\bin\tool.exe"),
                                 ("created", r"C:\Apps\Emu\説明.txt")])
        self.assertEqual(events[-1], {"event": "exit", "status": 1})
        # Kept as Wine keeps them: the UTF-8 form of the Shift-JIS names.
        self.assertEqual((self.drive_c / "Apps" / "Emu" / "説明.txt").read_bytes(),
                         "説明です\r\n".encode("cp932"))

    def test_the_shell_steps_are_the_registry_program_manager_and_the_command(self):
        status, events, _ = emulate(self.make(), "-n", r"C:\Apps\Emu", answers=["yes"],
                                    drive_c=self.drive_c)
        self.assertEqual(status, 1)
        values = {(e["key"], e["name"]): e["value"] for e in of(events, "registry")}
        self.assertEqual(values[(r"HKEY_CLASSES_ROOT\.emu", "")], "lzhsfx.Emulated")
        self.assertEqual(values[(r"HKEY_CLASSES_ROOT\lzhsfx.Emulated\shell\open\command", "")],
                         r'"C:\Apps\Emu\bin\tool.exe" "%1"')
        [execute] = of(events, "dde-execute")
        self.assertIn('[CreateGroup("Emulated Tools",0)]', execute["command"])
        self.assertIn(r"[AddItem(C:\Apps\Emu\bin\tool.exe,Tool)]", execute["command"])
        self.assertEqual(len(of(events, "dde-terminate")), 1)
        started = of(events, "process") + of(events, "shell-execute")
        self.assertEqual(len(started), 1, started)
        self.assertIn("first", json.dumps(started[0], ensure_ascii=False))
        self.assertEqual(of(events, "win.ini"), [])

    def test_win32s_associates_through_win_ini_and_writes_no_registry(self):
        status, events, _ = emulate(self.make(), "-n", r"C:\Apps\Emu", answers=["yes"],
                                    drive_c=self.drive_c, win32s=True)
        self.assertEqual(status, 1)
        self.assertEqual(of(events, "registry"), [])
        [entry] = of(events, "win.ini")
        self.assertEqual((entry["section"], entry["key"]), ("Extensions", "emu"))
        self.assertEqual(entry["value"], r"C:\Apps\Emu\bin\tool.exe ^.emu")


    def test_a_silent_install_shows_no_box_and_waits_for_no_dialog(self):
        status, events, _ = emulate(self.make(), "-s", r"C:\Apps\Emu", drive_c=self.drive_c)
        self.assertEqual(status, 0)
        self.assertEqual([e for e in events if e["event"] in ("box", "dialog", "no-answer")], [])
        self.assertTrue((self.drive_c / "Apps" / "Emu" / "bin" / "tool.exe").is_file())
        # Associations and the Program Manager item as in a normal install; no command.
        self.assertEqual(len(of(events, "dde-execute")), 1)
        self.assertNotEqual(of(events, "registry"), [])
        self.assertEqual(of(events, "process") + of(events, "shell-execute"), [])


class Answers(EmulatorCase):
    def test_a_box_without_an_answer_left_ends_the_run_with_125_and_writes_nothing(self):
        status, events, stderr = emulate(self.make(), "-n", r"C:\Apps\Emu", drive_c=self.drive_c)
        self.assertEqual(status, NO_ANSWER)
        self.assertEqual(events[-2]["event"], "no-answer")
        self.assertIn("お読みください", stderr)
        self.assertFalse((self.drive_c / "Apps").exists())

    def test_an_answer_that_is_no_button_of_the_box_is_refused(self):
        status, events, stderr = emulate(self.make(), answers=["ok"], drive_c=self.drive_c)
        self.assertEqual(status, FAULT)
        self.assertIn("not a button of the box (yes,no)", stderr)

    def test_folder_types_the_path_into_the_dialog_then_presses_ok(self):
        status, _, _ = emulate(self.make(), "-n-", answers=["yes", r"folder:C:\Typed 先"],
                               drive_c=self.drive_c)
        self.assertEqual(status, 1)
        self.assertTrue((self.drive_c / "Typed 先" / "bin" / "tool.exe").is_file())


class Faults(EmulatorCase):
    def patched_stub(self, change):
        data = bytearray(STUB.read_bytes())
        change(data)
        path = self.drive_c / "patched.exe"
        path.write_bytes(data)
        return path

    def test_a_call_the_model_does_not_have_ends_the_run_with_its_name(self):
        def rename(data):
            at = data.index(b"GetCommandLineA\0")
            data[at:at + 15] = b"GetCommandLineQ"
        status, events, stderr = emulate(self.make(stub=self.patched_stub(rename)),
                                         drive_c=self.drive_c)
        self.assertEqual(status, FAULT)
        self.assertIn("KERNEL32.DLL!GetCommandLineQ, which the model does not have", stderr)
        self.assertIn("GetCommandLineQ", events[-1]["fault"])

    def test_a_jump_outside_the_programs_memory_ends_the_run_with_its_address(self):
        def misdirect(data):
            pe, = struct.unpack_from("<I", data, 0x3C)
            struct.pack_into("<I", data, pe + 24 + 16, 0x00F00000)  # the entry point
        status, _, stderr = emulate(self.make(stub=self.patched_stub(misdirect)),
                                    drive_c=self.drive_c)
        self.assertEqual(status, FAULT)
        self.assertIn("a jump to 0x10f00000, outside the program's memory", stderr)


class MachineCheck(unittest.TestCase):
    """The tiny i386 program that tells whether this kernel runs 32-bit programs must exit
    with status 0 where it runs: its code, run under Unicorn, makes exactly that call."""

    def test_the_check_program_makes_the_exit_call_with_status_0(self):
        try:
            import unicorn
            from unicorn import x86_const
        except ImportError:
            self.fail("python3-unicorn is missing: scripts/setup installs it")
        sys.path.insert(0, str(winehelper.SOURCE_DIR / "scripts"))
        import i386_check
        program = i386_check._program()
        entry, = struct.unpack_from("<I", program, 24)
        base, = struct.unpack_from("<I", program, 52 + 8)
        cpu = unicorn.Uc(unicorn.UC_ARCH_X86, unicorn.UC_MODE_32)
        cpu.mem_map(base, 0x1000)
        cpu.mem_write(base, program)
        calls = []

        def interrupt(uc, number, _):
            calls.append((number, uc.reg_read(x86_const.UC_X86_REG_EAX),
                          uc.reg_read(x86_const.UC_X86_REG_EBX)))
            uc.emu_stop()

        cpu.hook_add(unicorn.UC_HOOK_INTR, interrupt)
        cpu.emu_start(entry, base + len(program))
        self.assertEqual(calls, [(0x80, 1, 0)])  # exit(0)

    def test_the_variable_makes_the_machine_count_as_one_without_32_bit_support(self):
        script = winehelper.SOURCE_DIR / "scripts" / "i386_check.py"
        result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                                env=dict(os.environ, LZHSFX_FORCE_EMULATOR="1"))
        self.assertEqual((result.returncode, result.stdout.strip()),
                         (1, "LZHSFX_FORCE_EMULATOR is set"))


if __name__ == "__main__":
    unittest.main()
