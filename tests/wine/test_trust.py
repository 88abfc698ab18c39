"""What an installer owes the machine it runs on: it limits where DLLs come from before it does
anything else, and it can carry an Authenticode signature that verifies and changes nothing
that it installs."""

import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import winehelper

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
LZHSFX = Path(os.environ.get("LZHSFX", winehelper.SOURCE_DIR / "build" / "host" / "lzhsfx"))
RUN_S = 30

# One session for the module's tests: started before the first, closed after the last.
wine = winehelper.WineSession()
setUpModule = wine.start
tearDownModule = wine.close


def run(*command, **options):
    return subprocess.run([str(c) for c in command], check=True, timeout=120,
                          capture_output=True, **options)


def payload(folder):
    """Files of the edge sizes, a Japanese name and a nested folder; {relative path: bytes}."""
    rng = random.Random(2026)
    files = {
        "readme.txt": b"Signed installers install what they carry.\r\n" * 40,
        "empty.dat": b"",
        "one.bin": b"\x01",
        "noise.bin": rng.randbytes(65537),
        "data/table.bin": bytes((i * 7) & 0xFF for i in range(65536)),
        "data/説明.txt": "署名付きの書庫です。\r\n".encode("utf-8") * 30,
    }
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)
    return files


def relay_calls(trace, program, names):
    """The calls to kernel32 functions among `names` that `program`'s own code made on its
    first thread, in order, as (name, argument text, line): those whose return address lies
    in its image, which is loaded first."""
    thread = base = None
    calls = []
    for line in trace.splitlines():
        if base is None:
            match = re.match(r'([0-9a-f]{4}):trace:loaddll:.*Loaded L"[^"]*\\\\' +
                             re.escape(program) + r'" at ([0-9A-Fa-f]+)', line)
            if match:
                thread, base = match[1], int(match[2], 16)
            continue
        match = re.match(thread + r":Call KERNEL32\.(\w+)\((.*)\) ret=([0-9a-f]+)$", line)
        if match and match[1] in names and 0 <= int(match[3], 16) - base < 0x10000:
            calls.append((match[1], match[2], line))
    return calls


class Loading(unittest.TestCase):
    def test_dll_loading_is_limited_to_the_system_directory_before_any_other_call(self):
        # Wine's relay trace lists every call through kernel32's exports, with its arguments.
        folder = wine.drive_c / "loading"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        # The bare stub: it reports its missing archive in a box and ends when that is closed.
        target = folder / "setup.exe"
        shutil.copy(STUB, target)
        env = dict(wine.env, WINEDEBUG="+relay,+loaddll")
        with tempfile.TemporaryFile() as err:
            program = subprocess.Popen(["wine", str(target)], env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=err)
            try:
                wine.ui("wait", "LZH 自己解凍書庫 V2.60.w32.0027", 30000, "click", "1",
                        timeout=120)
                program.wait(RUN_S * 4)
            finally:
                program.kill()
            err.seek(0)
            trace = err.read().decode("utf-8", "replace")

        names = ("GetModuleHandleA", "GetProcAddress", "SetDefaultDllDirectories",
                 "SetDllDirectoryA", "GetVersionExA", "LocalAlloc", "GetModuleFileNameA",
                 "CreateFileA", "MessageBoxA")
        calls = relay_calls(trace, "setup.exe", names)
        called = [name for name, _, _ in calls]
        self.assertIn("SetDefaultDllDirectories", called, "the limit was never set")
        first = called.index("SetDefaultDllDirectories")
        # 0x800: the system directory alone.
        self.assertEqual(calls[first][1], "00000800", calls[first][2])
        # Only its look-up comes before it: the program's own work starts after.
        self.assertLessEqual(set(called[:first]), {"GetModuleHandleA", "GetProcAddress"}, called)
        self.assertIn("GetVersionExA", called[first:])
        # Wine takes the limit, so no empty DLL directory is set for the programs started.
        self.assertNotIn("SetDllDirectoryA", called)

    def test_a_dll_planted_beside_the_installer_is_not_found_by_name_once_limited(self):
        # A planted DLL is only a threat when something loads it by its bare name. The probe
        # loads a name that exists nowhere but beside it, without and with the limit the
        # installer sets first: the search without it finds the plant, with it not.
        probe = winehelper.test_program("LOAD_PROBE", "load_probe.exe")
        planted = winehelper.test_program("PLANTED", "planted.dll")
        folder = wine.drive_c / "planted"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        shutil.copy(probe, folder / "probe.exe")
        shutil.copy(planted, folder / "lzhplant.dll")
        announced = folder / "planted.txt"
        for harden, loaded in ((False, True), (True, False)):
            with self.subTest(harden=harden):
                announced.unlink(missing_ok=True)
                status = wine.run(folder / "probe.exe", "harden" if harden else "plain",
                                  "lzhplant.dll")
                self.assertEqual(announced.exists(), loaded)
                self.assertEqual(status, 1 if loaded else 0)


class Signing(unittest.TestCase):
    def test_a_signed_installer_verifies_and_installs_byte_for_byte(self):
        work = Path(tempfile.mkdtemp(prefix="signing", dir=wine.drive_c))
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        source = work / "payload"
        files = payload(source)
        unsigned, signed = work / "unsigned.exe", work / "setup.exe"
        run(LZHSFX, "build", "-o", unsigned, "--stub", STUB, "--title", "署名試験",
            "--checksum", "--quiet", *sorted(source.iterdir()))

        key, cert = work / "key.pem", work / "cert.pem"
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
            "-out", cert, "-days", "2", "-subj", "/CN=lzhsfx test publisher")
        run("osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "lzhsfx test",
            "-h", "sha256", "-in", unsigned, "-out", signed)
        verified = run("osslsigncode", "verify", "-CAfile", cert, "-in", signed)
        self.assertIn(b"Signature verification: ok", verified.stdout)

        # The signature follows the archive; the archive and the settings are untouched.
        plain, with_signature = unsigned.read_bytes(), signed.read_bytes()
        self.assertGreater(len(with_signature), len(plain) + 512)
        header_end = 0x800
        self.assertEqual(with_signature[header_end:len(plain)], plain[header_end:])
        self.assertEqual(with_signature[0x200:0x460], plain[0x200:0x460])
        # The inspector reads the signed file as an installer with no extra member.
        self.assertEqual(run(LZHSFX, "test", "--quiet", signed).returncode, 0)
        listed = run(LZHSFX, "list", signed).stdout.decode("utf-8")
        for name in files:
            self.assertIn(name.rsplit("/", 1)[-1], listed)

        dest = work / "dest"
        program = wine.spawn(signed, "-n", wine.windows_path(dest))
        self.addCleanup(program.kill)
        self.assertEqual(program.wait(RUN_S), 1)
        found = {str(p.relative_to(dest)): p.read_bytes() for p in dest.rglob("*")
                 if p.is_file()}
        expected = {name.replace("/", os.sep): data for name, data in files.items()}
        # The Japanese name arrives as the installer stored it, and Wine shows it in UTF-8.
        self.assertEqual(found, expected)


if __name__ == "__main__":
    unittest.main()
