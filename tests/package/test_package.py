"""The release tree's installation and Debian package.

cmake --install into a scratch root puts the tool, the stub, the manual page and the
documents where they belong, and the installed tool, run from /tmp with no --stub, finds
the stub relative to itself; cpack -G DEB makes a package with those files and sound
control fields, whose tool runs from a scratch root the same way. The manual page names
every option and command --help does, and no other.

Run by ctest in build/release (lzhsfx_package), after the win32 tree has built the stub:
    LZHSFX=build/release/lzhsfx LZHSFX_BUILD_DIR=build/release python3 tests/package/test_package.py
"""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("LZHSFX_BUILD_DIR", ROOT / "build" / "release"))
LZHSFX = Path(os.environ.get("LZHSFX", BUILD / "lzhsfx"))
CMAKE = os.environ.get("CMAKE", "cmake")
CPACK = os.environ.get("CPACK", "cpack")
STUB = Path(os.environ.get("LZHSFX_WIN32_STUB", ROOT / "build" / "win32" / "sfxstub.exe"))
VERSION = os.environ.get("LZHSFX_VERSION")
MAINTAINER = os.environ.get("LZHSFX_MAINTAINER")
MANUAL = ROOT / "doc" / "lzhsfx.1"

INSTALLED = {
    "bin/lzhsfx",
    "share/lzhsfx/sfxstub.exe",
    "share/man/man1/lzhsfx.1",
    "share/doc/lzhsfx/README.md",
    "share/doc/lzhsfx/LICENSE",
}
SETTINGS_OFFSET = 512
# An option as the usage and the manual page write it: "-o", "--from-archive", "-lLOG"
# (as "-l"); not the "-" inside "level-2" or "UTF-8".
OPTION = re.compile(r"(?<![\w-])--?[a-z][a-z0-9-]*")
METHOD = re.compile(r"-lh\d-")  # method names, not options


def run(*args, cwd=None, env=None, check=True):
    r = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True)
    if check and r.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))}: status {r.returncode}\n"
                             f"{r.stdout.decode()}{r.stderr.decode()}")
    return r


def without_stub_variable():
    return {k: v for k, v in os.environ.items() if k not in ("LZHSFX_STUB", "DESTDIR")}


def files_under(root):
    return {str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir()}


def roff_text(source):
    """The words of a manual page's source: comments and macro names gone, escapes read."""
    lines = [line for line in source.splitlines() if not line.startswith('.\\"')]
    text = "\n".join(re.sub(r"^\.[A-Za-z]+", "", line) for line in lines)
    text = re.sub(r"\\f[BIRP]", "", text)
    for escape, plain in (("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\(en", "-"),
                          ("\\&", ""), ("\\e", "\\")):
        text = text.replace(escape, plain)
    return text


def options(text):
    return {o for o in OPTION.findall(text) if not METHOD.fullmatch(o)}


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="lzhsfx-package-"))

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def need_stub(self):
        if not STUB.is_file():
            self.fail(f"the stub {STUB} is missing: build the win32 tree first "
                      "(cmake --preset win32 && cmake --build --preset win32; scripts/build "
                      "does, before scripts/test runs this)")

    def assert_runs_on_its_own_stub(self, tool, stub):
        """The tool, run from /tmp with no --stub and no LZHSFX_STUB, builds on `stub`, the
        one installed beside it, and tests and lists the result; --version names that stub."""
        env = without_stub_variable()
        payload = self.tmp / "payload.txt"
        payload.write_bytes(b"installed and found its stub\n" * 100)
        out = self.tmp / "X.exe"
        run(tool, "build", "-o", out, payload, cwd="/tmp", env=env)
        installer = out.read_bytes()
        self.assertEqual(struct.unpack_from("<I", installer, SETTINGS_OFFSET)[0],
                         stub.stat().st_size)
        self.assertEqual(installer[:SETTINGS_OFFSET], stub.read_bytes()[:SETTINGS_OFFSET])
        run(tool, "test", out, cwd="/tmp", env=env)
        self.assertIn(b"payload.txt", run(tool, "list", out, cwd="/tmp", env=env).stdout)
        shown = run(tool, "--version", cwd="/tmp", env=env).stdout.decode()
        self.assertEqual(shown, f"lzhsfx {VERSION}\nstub: {stub.resolve()}, "
                                f"{stub.stat().st_size} bytes\n")


class Install(PackageTest):
    def install(self, prefix="/opt/lzhsfx"):
        root = self.tmp / "root"
        run(CMAKE, "--install", BUILD, "--prefix", prefix,
            env=dict(without_stub_variable(), DESTDIR=str(root)))
        return root / prefix.lstrip("/")

    def test_install_puts_the_tool_the_stub_the_manual_and_the_documents(self):
        self.need_stub()
        prefix = self.install()
        self.assertEqual(files_under(self.tmp / "root"),
                         {"opt/lzhsfx/" + f for f in INSTALLED})
        self.assertTrue(os.access(prefix / "bin" / "lzhsfx", os.X_OK))
        self.assertEqual((prefix / "share/lzhsfx/sfxstub.exe").read_bytes(), STUB.read_bytes())
        self.assertEqual((prefix / "share/man/man1/lzhsfx.1").read_bytes(), MANUAL.read_bytes())
        self.assertEqual((prefix / "share/doc/lzhsfx/LICENSE").read_bytes(),
                         (ROOT / "LICENSE").read_bytes())

    def test_the_installed_tool_finds_its_stub_from_anywhere(self):
        self.need_stub()
        prefix = self.install()
        self.assert_runs_on_its_own_stub(prefix / "bin" / "lzhsfx",
                                         prefix / "share/lzhsfx/sfxstub.exe")
        # Through a link from another folder, as /usr/local/bin/lzhsfx -> /opt/...: the
        # stub is the one beside the tool itself.
        link = self.tmp / "links" / "lzhsfx"
        link.parent.mkdir()
        link.symlink_to(prefix / "bin" / "lzhsfx")
        self.assert_runs_on_its_own_stub(link, prefix / "share/lzhsfx/sfxstub.exe")

    def test_install_without_the_stub_fails_before_copying_anything(self):
        # A tree of its own, configured only: the stub is checked before the tool is
        # needed, so nothing has to be built.
        tree = self.tmp / "tree"
        configure = [CMAKE, "-S", ROOT, "-B", tree, "-DLZHSFX_TOOL_ONLY=ON",
                     "-DLZHSFX_EMULATOR=OFF", "-DCMAKE_BUILD_TYPE=Release",
                     f"-DLZHSFX_WIN32_STUB={self.tmp / 'missing' / 'sfxstub.exe'}"]
        if os.environ.get("CMAKE_GENERATOR"):
            configure[1:1] = ["-G", os.environ["CMAKE_GENERATOR"]]
        run(*configure)
        r = run(CMAKE, "--install", tree, "--prefix", self.tmp / "prefix", check=False)
        self.assertNotEqual(r.returncode, 0)
        message = " ".join((r.stdout + r.stderr).decode().split())
        self.assertIn(f"the stub {self.tmp}/missing/sfxstub.exe is missing", message)
        self.assertIn("LZHSFX_WIN32_STUB", message)
        self.assertFalse((self.tmp / "prefix").exists())


class Manual(unittest.TestCase):
    def setUp(self):
        self.usage = run(LZHSFX, "--help").stdout.decode()
        self.source = MANUAL.read_text()
        self.text = roff_text(self.source)

    def test_the_manual_names_the_options_of_the_usage_and_no_others(self):
        in_usage, in_manual = options(self.usage), options(self.text)
        self.assertGreater(len(in_usage), 30)
        self.assertEqual(sorted(in_usage - in_manual), [], "in --help, not in the manual page")
        self.assertEqual(sorted(in_manual - in_usage), [], "in the manual page, not in --help")

    def test_the_manual_has_a_section_for_each_command_and_names_the_variables(self):
        commands = re.findall(r"^(?:usage:)?\s+lzhsfx (\w+)", self.usage, re.M)
        self.assertEqual(sorted(set(commands)), ["build", "extract", "list", "test"])
        sections = re.findall(r"^\.SS (\S+)", self.source, re.M)
        for command in set(commands) | {"\\-\\-version"}:
            self.assertIn(command, sections)
        variables = set(re.findall(r"\bLZHSFX_[A-Z_]+", self.usage))
        self.assertEqual(variables, {"LZHSFX_STUB"})
        environment = self.source.split(".SH ENVIRONMENT", 1)[1].split("\n.SH ", 1)[0]
        for variable in variables:
            self.assertIn(f".B {variable}\n", environment)

    def test_the_manual_formats_without_warnings(self):
        if not shutil.which("groff"):
            self.skipTest("groff is not installed: the manual page is not formatted")
        r = run("groff", "-man", "-Tutf8", "-ww", "-z", MANUAL)
        self.assertEqual(r.stderr.decode(), "")


class DebianPackage(PackageTest):
    def test_cpack_makes_a_package_of_the_installed_files(self):
        missing = [t for t in ("dpkg-deb", "dpkg-shlibdeps", "dpkg") if not shutil.which(t)]
        if missing:
            self.skipTest(f"{', '.join(missing)} not installed: no Debian package is built")
        self.need_stub()
        run(CPACK, "-G", "DEB", "-B", self.tmp / "out", "--config", BUILD / "CPackConfig.cmake")
        arch = run("dpkg", "--print-architecture").stdout.decode().strip()
        debs = sorted(p.name for p in (self.tmp / "out").glob("*.deb"))
        self.assertEqual(debs, [f"lzhsfx_{VERSION}_{arch}.deb"])
        deb = self.tmp / "out" / debs[0]

        listing = run("dpkg-deb", "-c", deb).stdout.decode().splitlines()
        entries = {}
        for line in listing:
            mode, owner, _size, _date, _time, name = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            entries[name] = mode
        files = {n[len("./usr/"):] for n, m in entries.items() if m.startswith("-")}
        self.assertEqual(files, INSTALLED)
        self.assertEqual(entries["./usr/bin/lzhsfx"], "-rwxr-xr-x")
        self.assertEqual(entries["./usr/share/lzhsfx/sfxstub.exe"], "-rw-r--r--")
        self.assertEqual([n for n, m in entries.items() if not m[0] in "-d"], [])

        fields = {f: run("dpkg-deb", "-f", deb, f).stdout.decode().strip()
                  for f in ("Package", "Version", "Architecture", "Maintainer", "Section",
                            "Priority", "Depends", "Description", "Installed-Size")}
        self.assertEqual(fields["Package"], "lzhsfx")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Architecture"], arch)
        self.assertEqual(fields["Maintainer"], MAINTAINER)
        self.assertEqual(fields["Section"], "utils")
        self.assertEqual(fields["Priority"], "optional")
        depends = {d.split()[0] for d in fields["Depends"].split(", ")}
        self.assertTrue({"libc6", "libstdc++6"} <= depends, fields["Depends"])
        summary, *body = fields["Description"].splitlines()
        self.assertEqual(summary, "builds self-extracting LZH installers for 32-bit Windows")
        # The extended description: lines indented by one space, " ." between paragraphs.
        self.assertGreater(len(body), 2, body)
        for line in body:
            self.assertTrue(line == " ." or re.fullmatch(r" \S.*", line), repr(line))
        self.assertNotIn(summary, body[0])
        self.assertGreater(int(fields["Installed-Size"]), 0)

        # Unpacked into a scratch root, the tool runs on the package's own stub.
        root = self.tmp / "root"
        run("dpkg-deb", "-x", deb, root)
        self.assertEqual((root / "usr/share/lzhsfx/sfxstub.exe").read_bytes(), STUB.read_bytes())
        self.assert_runs_on_its_own_stub(root / "usr/bin/lzhsfx",
                                         root / "usr/share/lzhsfx/sfxstub.exe")


if __name__ == "__main__":
    if not VERSION:
        # By hand: the version is the one the top-level CMakeLists.txt sets.
        VERSION = re.search(r"^project\(lzhsfx VERSION (\S+)", (ROOT / "CMakeLists.txt")
                            .read_text(), re.M).group(1)
    unittest.main()
