"""The relayout tool on a small MinGW-linked program: the layout it writes, what it keeps of the
input, that the result still runs under Wine, and the inputs it must refuse."""

import functools
import os
import struct
import subprocess
import sys
import unittest
from pathlib import Path

import winehelper
from layout_checks import LayoutChecks
from peimage import PeImage

PELAYOUT = Path(os.environ.get("PELAYOUT", winehelper.SOURCE_DIR / "tools/pelayout/pelayout.py"))
PROBE = winehelper.test_program("MSGBOX_PROBE", "msgbox_probe.exe")
WORK_DIR = winehelper.build_dir() / "pelayout-test"


def relay(source, target):
    return subprocess.run([sys.executable, str(PELAYOUT), str(source), str(target)],
                          capture_output=True, text=True)


@functools.cache
def relaid_probe():
    """The probe program run through the tool, once per test process."""
    WORK_DIR.mkdir(parents=True, exist_ok=True)
    target = WORK_DIR / "msgbox_probe.exe"
    result = relay(PROBE, target)
    if result.returncode != 0:
        raise RuntimeError(f"pelayout failed on the probe: {result.stderr}")
    return target


class RelaidProbeLayout(LayoutChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = relaid_probe()
        super().setUpClass()
        cls.original = PeImage(PROBE.read_bytes())

    def test_sections_keep_their_addresses_and_contents(self):
        self.assertEqual(len(self.image.sections), len(self.original.sections))
        for old, new in zip(self.original.sections, self.image.sections):
            with self.subTest(section=old.name):
                self.assertEqual((new.name, new.rva, new.virtual_size, new.raw_size),
                                 (old.name, old.rva, old.virtual_size, old.raw_size))
                self.assertEqual(self.image.section_data(new), self.original.section_data(old))

    def test_coff_and_optional_headers_change_only_in_size_of_headers_and_checksum(self):
        def headers(image):
            fields = bytearray(image.data[image.coff_offset : image.section_table_offset])
            for field in (60, 64):  # SizeOfHeaders, CheckSum
                at = image.optional_offset - image.coff_offset + field
                fields[at : at + 4] = bytes(4)
            return bytes(fields)

        self.assertEqual(headers(self.image), headers(self.original))

    def test_relaying_a_relaid_file_gives_the_same_bytes(self):
        again = WORK_DIR / "again.exe"
        self.assertEqual(relay(self.path, again).returncode, 0)
        self.assertEqual(again.read_bytes(), self.data)


class RelaidProbeRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = winehelper.WineSession()
        cls.wine.start()
        cls.probe = relaid_probe()

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()

    def test_relaid_program_runs_and_returns_its_exit_status(self):
        self.assertEqual(self.wine.run(self.probe, "--platform"), 2)

    def test_relaid_program_shows_its_window_and_takes_the_answer(self):
        program = self.wine.spawn(self.probe, 4, "relaid probe", "ﾃﾞｰﾀが欠落しています")
        [box] = self.wine.ui("wait", "relaid probe", 10000, "dump", "click", 7)
        self.assertEqual(box.control(0xFFFF).text, "ﾃﾞｰﾀが欠落しています")
        self.assertEqual(program.wait(), 7)


def patched(data, offset, fmt, *values):
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, *values)
    return bytes(out)


class MalformedInputs(unittest.TestCase):
    """Inputs whose file offsets the tool cannot carry over are refused, and nothing is written."""

    @classmethod
    def setUpClass(cls):
        cls.data = PROBE.read_bytes()
        cls.image = PeImage(cls.data)
        WORK_DIR.mkdir(parents=True, exist_ok=True)

    def cases(self):
        image, data = self.image, self.data
        first = image.sections[0]
        yield "no DOS header", b"ZM" + data[2:], "no DOS header"
        yield "truncated", data[: image.section_table_offset + 8], "truncated"
        yield "not i386", patched(data, image.coff_offset, "<H", 0x8664), "not i386"
        yield "symbol table", patched(data, image.coff_offset + 8, "<II", 0x3000, 4), "symbol"
        yield "certificate", patched(data, image.directory_offset(4), "<II", len(data), 8), \
            "certificate"
        yield "debug", patched(data, image.directory_offset(6), "<II", first.rva, 28), "debug"
        yield "directory in headers", patched(data, image.directory_offset(11), "<II", 0x300, 16), \
            "headers"
        yield "section relocations", patched(data, first.header_offset + 24, "<I", 0x400), \
            "relocations"
        yield "overlay", data + b"overlay!", "8 bytes behind the last section"
        yield "section past end", data[:-0x200], "past the end"

    def test_each_malformed_input_is_refused_and_leaves_the_output_alone(self):
        source = WORK_DIR / "malformed.exe"
        target = WORK_DIR / "untouched.exe"
        for name, data, reason in self.cases():
            with self.subTest(name):
                source.write_bytes(data)
                target.write_bytes(b"before")
                result = relay(source, target)
                self.assertEqual(result.returncode, 1)
                self.assertIn(reason, result.stderr)
                self.assertEqual(target.read_bytes(), b"before")
                self.assertEqual(sorted(p.name for p in WORK_DIR.glob(".pelayout-*")), [])

    def test_wrong_number_of_arguments_is_a_usage_error(self):
        result = subprocess.run([sys.executable, str(PELAYOUT), str(PROBE)], capture_output=True,
                                text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("usage", result.stderr)


if __name__ == "__main__":
    unittest.main()
