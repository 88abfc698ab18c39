"""The built stub: its file layout, the platform and loader flags it asks for, what it imports,
its manifest, and that it starts, and installs at every execution level, under Wine on both
platforms."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path
from xml.etree import ElementTree

import winehelper
from layout_checks import LayoutChecks
from peimage import BASE_RELOCATION_DIRECTORY, TLS_DIRECTORY, PeImage
from winehelper import NT, WIN32S

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
LZHSFX = Path(os.environ.get("LZHSFX", winehelper.SOURCE_DIR / "build" / "host" / "lzhsfx"))

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comdlg32.dll", "advapi32.dll",
               "shell32.dll"}
GUI_SUBSYSTEM = 2
# The stub travels in front of every installer: no change may make it larger than it is,
# and it stays within 20 KiB.
SIZE_BUDGET = 19968
assert SIZE_BUDGET <= 20480
# DllCharacteristics.
HIGH_ENTROPY_VA, DYNAMIC_BASE, FORCE_INTEGRITY, NX_COMPAT = 0x20, 0x40, 0x80, 0x100
NO_SEH, GUARD_CF, TERMINAL_SERVER_AWARE = 0x400, 0x4000, 0x8000
# Section characteristics.
SCN_CODE, SCN_EXECUTE, SCN_READ, SCN_WRITE = 0x20, 0x20000000, 0x40000000, 0x80000000

RT_MANIFEST, NEUTRAL = 24, 0
LEVELS = ("asInvoker", "highestAvailable", "requireAdministrator")
ASM_V1, ASM_V3 = "urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
WINDOWS_SETTINGS = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
COMMON_CONTROLS = dict(type="win32", name="Microsoft.Windows.Common-Controls", version="6.0.0.0",
                       processorArchitecture="*", publicKeyToken="6595b64144ccf1df", language="*")
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

    def test_asks_for_a_random_base_no_executable_data_no_seh_and_terminal_server_awareness(self):
        # Not the flags that need more than a PE32 program without a load configuration has:
        # 64-bit addresses, a signature check, control-flow guard tables.
        self.assertEqual(self.image.dll_characteristics,
                         DYNAMIC_BASE | NX_COMPAT | NO_SEH | TERMINAL_SERVER_AWARE)
        self.assertFalse(self.image.dll_characteristics
                         & (HIGH_ENTROPY_VA | FORCE_INTEGRITY | GUARD_CF))

    def test_only_the_section_the_unpacker_writes_the_program_into_is_executable(self):
        program, relocations = self.image.sections
        self.assertEqual(program.characteristics & (SCN_CODE | SCN_EXECUTE | SCN_READ | SCN_WRITE),
                         SCN_CODE | SCN_EXECUTE | SCN_READ | SCN_WRITE)
        self.assertFalse(relocations.characteristics & (SCN_EXECUTE | SCN_WRITE))

    def test_has_no_tls_directory(self):
        self.assertEqual(self.image.directory(TLS_DIRECTORY), (0, 0))

    def test_imports_only_system_dlls(self):
        names = {name.lower() for name in self.image.imported_dlls()}
        self.assertIn("kernel32.dll", names)
        self.assertLessEqual(names, SYSTEM_DLLS)

    def test_every_system_call_goes_through_its_import_slot(self):
        # The import library's jump stubs ("jmp *slot") carry no base relocation: a call to
        # one fails wherever the program is not loaded at its linked address.
        linked = STUB.parent / "sfxstub_linked.exe"
        listing = subprocess.run([os.environ.get("OBJDUMP", "objdump"), "-d", str(linked)],
                                 check=True, capture_output=True, text=True).stdout
        stubs = set(re.findall(r"^ *([0-9a-f]+):\s+ff 25 ", listing, re.M))
        self.assertGreater(len(stubs), 0)
        targets = re.findall(r"\s(?:call|jmp)\s+0x([0-9a-f]+)$", listing, re.M)
        self.assertGreater(len(targets), 0)
        self.assertEqual(sorted(set(targets) & stubs), [])


def manifest_of(image):
    """The manifest resource, its language and the XML it holds."""
    [(language, data)] = [(language, data) for (kind, name, language), data
                          in image.resources().items() if (kind, name) == (RT_MANIFEST, 1)]
    return language, data, ElementTree.fromstring(data)


def execution_level(root):
    path = "/".join(f"{{{ASM_V3}}}{tag}" for tag in ("trustInfo", "security",
                                                     "requestedPrivileges",
                                                     "requestedExecutionLevel"))
    [element] = root.findall(path)
    return element.attrib


def build_installer(folder, *options):
    """An installer of a few files made by lzhsfx from the stub; its path and the files."""
    source = folder / "app"
    files = {"app/readme.txt": "管理者として\r\n".encode("cp932") * 300,
             "app/bin/tool.dat": bytes((i * 13 ^ i >> 5) & 0xFF for i in range(70000))}
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)
    out = folder / "setup.exe"
    subprocess.run([str(LZHSFX), "build", "--quiet", "--stub", str(STUB), "-o", str(out),
                    *options, str(source)], check=True, timeout=60, capture_output=True)
    return out, files


class StubManifest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stub = STUB.read_bytes()
        cls.language, cls.manifest, cls.root = manifest_of(PeImage(cls.stub))

    def test_is_language_neutral_utf8_xml_of_an_assembly_manifest(self):
        self.assertEqual(self.language, NEUTRAL)
        self.assertTrue(self.manifest.startswith(b'<?xml version="1.0" encoding="UTF-8"'))
        self.manifest.decode("ascii")
        self.assertEqual(self.root.tag, f"{{{ASM_V1}}}assembly")
        self.assertEqual(self.root.get("manifestVersion"), "1.0")

    def test_asks_for_an_administrator_by_default_without_ui_access(self):
        self.assertEqual(execution_level(self.root),
                         {"level": "requireAdministrator", "uiAccess": "false"})

    def test_names_every_system_from_vista_to_windows_11(self):
        path = f"{{{COMPATIBILITY}}}compatibility/{{{COMPATIBILITY}}}application"
        entries = self.root.findall(f"{path}/{{{COMPATIBILITY}}}supportedOS")
        self.assertEqual([set(e.attrib) for e in entries], [{"Id"}] * len(SUPPORTED_OS))
        self.assertEqual({e.get("Id") for e in entries}, SUPPORTED_OS)

    def test_is_system_dpi_aware(self):
        path = f"{{{ASM_V3}}}application/{{{ASM_V3}}}windowsSettings/{{{WINDOWS_SETTINGS}}}dpiAware"
        [aware] = self.root.findall(path)
        self.assertEqual(aware.text, "true")

    def test_depends_on_the_common_controls_version_6(self):
        path = "/".join(f"{{{ASM_V1}}}{tag}" for tag in ("dependency", "dependentAssembly",
                                                         "assemblyIdentity"))
        [identity] = self.root.findall(path)
        self.assertEqual(identity.attrib, COMMON_CONTROLS)

    def test_lzhsfx_sets_each_level_in_place_and_changes_nothing_else(self):
        value = self.stub.index(b'level="') + len('level="')
        slot = range(value, value + len('requireAdministrator" '))
        with tempfile.TemporaryDirectory() as folder:
            for level in LEVELS:
                with self.subTest(level=level):
                    out, _ = build_installer(Path(folder), "--elevation", level)
                    head = out.read_bytes()[:len(self.stub)]
                    changed = {i for i, (a, b) in enumerate(zip(head, self.stub)) if a != b}
                    settings = range(0x200, 0x200 + 603)
                    self.assertLessEqual(changed, set(slot) | set(settings))
                    _, manifest, root = manifest_of(PeImage(head))
                    self.assertEqual(len(manifest), len(self.manifest))
                    self.assertEqual(execution_level(root), {"level": level, "uiAccess": "false"})


class StubStarts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = winehelper.session()
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

    def loader_trace(self, program):
        """What Wine's activation-context code traced while the bare `program` started, in the
        program's own thread; the program is ended through its box."""
        env = dict(self.wine.env, WINEDEBUG="-all,trace+actctx,fixme+actctx,err+actctx")
        with tempfile.TemporaryFile() as err:
            popen = subprocess.Popen(["wine", str(program)], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=err)
            try:
                self.wine.ui("wait", TITLE, 10000, "click", 1)
                self.assertEqual(winehelper.Program(self.wine, popen, program.stem).wait(), 0)
            finally:
                if popen.poll() is None:
                    popen.kill()
                    popen.wait()
            err.seek(0)
            lines = err.read().decode("utf-8", "replace").splitlines()
        [thread] = {line.split(":")[0] for line in lines
                    if "get_manifest_in_module" in line and program.name in line}
        return [line for line in lines if line.startswith(thread + ":")]

    @winehelper.needs_wine("it reads Wine's loader trace")
    def test_wines_loader_parses_the_manifest_and_takes_the_common_controls_6(self):
        trace = "\n".join(self.loader_trace(STUB))
        self.assertIn('parse_settings_elem got L"dpiAware" L"true"', trace)
        self.assertIn('lookup_assembly looking for name=L"Microsoft.Windows.Common-Controls" '
                      'version=6.0.0.0', trace)
        self.assertRegex(trace, r"loading manifest file .*common-controls_6595b64144ccf1df_6\.")
        self.assertNotIn("failed to parse manifest", trace)
        # The check sees a manifest the parser refuses.
        with tempfile.TemporaryDirectory(dir=self.wine.drive_c) as folder:
            broken = Path(folder) / "broken.exe"
            broken.write_bytes(STUB.read_bytes().replace(b"</assembly>", b"</assembly "))
            self.assertIn("failed to parse manifest", "\n".join(self.loader_trace(broken)))

    def test_installers_of_every_execution_level_install_the_whole_way_in_both_modes(self):
        self.addCleanup(self.wine.set_mode, NT)
        for level in LEVELS:
            folder = self.wine.drive_c / f"elevation-{level}"
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            setup, files = build_installer(folder, "--elevation", level, "--title", TITLE)
            for mode in (NT, WIN32S):
                with self.subTest(level=level, mode=mode):
                    self.wine.set_mode(mode)
                    dest = folder / f"installed-{mode}"
                    self.assertEqual(self.wine.run(setup, "-n", self.wine.windows_path(dest)), 1)
                    for name, data in files.items():
                        self.assertEqual((dest / name).read_bytes(), data, name)


if __name__ == "__main__":
    unittest.main()
