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


LINKED_STUB = Path(os.environ.get("SFXSTUB_LINKED", winehelper.build_dir() / "sfxstub_linked.exe"))
RESOURCE_DIRECTORY = 2
IAT_DIRECTORY = 12


@functools.cache
def compacted_stub():
    """The linked stub run through the tool with --compact, once per test process."""
    WORK_DIR.mkdir(parents=True, exist_ok=True)
    target = WORK_DIR / "sfxstub-compact.exe"
    result = subprocess.run([sys.executable, str(PELAYOUT), "--compact", str(LINKED_STUB),
                             str(target)], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"pelayout --compact failed on the stub: {result.stderr}")
    return target


def optional_u32(image, field):
    return struct.unpack_from("<I", image.data, image.optional_offset + field)[0]


def resources(image):
    """Every resource as {(type, name, language): bytes}, names as ids or strings."""
    rva, _ = image.directory(RESOURCE_DIRECTORY)
    base = image.offset_of(rva)
    found = {}

    def label(field):
        if not field & 0x80000000:
            return field
        at = base + (field & 0x7FFFFFFF)
        length = struct.unpack_from("<H", image.data, at)[0]
        return image.data[at + 2 : at + 2 + 2 * length].decode("utf-16-le")

    def walk(offset, path):
        named, numbered = struct.unpack_from("<HH", image.data, base + offset + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image.data, base + offset + 16 + 8 * i)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, path + (label(name),))
            else:
                data_rva, size = struct.unpack_from("<II", image.data, base + target)
                start = image.offset_of(data_rva)
                found[path + (label(name),)] = image.data[start : start + size]

    walk(0, ())
    return found


def imports(image):
    """(DLL, [function names]) of every import descriptor, read through its address table,
    with the descriptor's lookup table field."""
    rva, _ = image.directory(1)
    at, out = image.offset_of(rva), []
    while True:
        lookup, _, _, name, thunks = struct.unpack_from("<IIIII", image.data, at)
        if lookup == 0 and name == 0 and thunks == 0:
            return out
        functions, entry = [], image.offset_of(thunks)
        while (value := struct.unpack_from("<I", image.data, entry)[0]) != 0:
            functions.append(image.c_string(value + 2))  # behind the hint
            entry += 4
        out.append((image.c_string(name), functions, lookup))
        at += 20


class CompactedStubLayout(LayoutChecks, unittest.TestCase):
    """--compact on the linked stub: two sections, with every resource, import and
    relocation of the input where the loader looks for it."""

    @classmethod
    def setUpClass(cls):
        cls.path = compacted_stub()
        super().setUpClass()
        cls.original = PeImage(LINKED_STUB.read_bytes())

    def test_sections_are_folded_into_the_first_beside_the_relocations(self):
        first, last = self.original.sections[0], self.original.sections[-1]
        self.assertGreater(len(self.original.sections), 2)
        self.assertEqual([(s.name, s.rva) for s in self.image.sections],
                         [(first.name, first.rva), (last.name, last.rva)])
        merged = self.image.sections[0]
        folded_end = max(s.rva + s.virtual_size for s in self.original.sections[:-1])
        self.assertEqual(merged.rva + merged.virtual_size, folded_end)
        self.assertEqual(self.image.section_data(self.image.sections[1]),
                         self.original.section_data(last))
        for field in (16, 56):  # AddressOfEntryPoint, SizeOfImage
            with self.subTest(field=field):
                self.assertEqual(optional_u32(self.image, field), optional_u32(self.original, field))

    def test_the_first_section_keeps_its_bytes_up_to_the_lookup_tables(self):
        first = self.original.sections[0]
        lookup_start = min(lookup for _, _, lookup in imports(self.original))
        kept = lookup_start - first.rva
        old = self.original.section_data(first)[:kept]
        new = bytearray(self.image.section_data(self.image.sections[0])[:kept])
        rva, _ = self.image.directory(1)
        for i in range(len(imports(self.image))):  # the cleared lookup table fields
            at = rva - first.rva + 20 * i
            new[at : at + 4] = old[at : at + 4]
        self.assertEqual(bytes(new), old)

    def test_resources_are_the_same_at_their_new_place(self):
        self.assertEqual(resources(self.image), resources(self.original))
        self.assertNotEqual(self.image.directory(RESOURCE_DIRECTORY)[0],
                            self.original.directory(RESOURCE_DIRECTORY)[0])

    def test_imports_are_named_by_the_address_tables_alone(self):
        old, new = imports(self.original), imports(self.image)
        self.assertEqual([(d, f) for d, f, _ in new], [(d, f) for d, f, _ in old])
        self.assertTrue(all(lookup != 0 for _, _, lookup in old))
        self.assertEqual([lookup for _, _, lookup in new], [0] * len(new))
        self.assertEqual(self.image.directory(IAT_DIRECTORY),
                         self.original.directory(IAT_DIRECTORY))

    def test_only_empty_data_directories_are_dropped(self):
        count = self.image.directory_count
        self.assertLess(count, self.original.directory_count)
        for index in range(self.original.directory_count):
            with self.subTest(directory=index):
                if index >= count:
                    self.assertEqual(self.original.directory(index), (0, 0))
                elif index != RESOURCE_DIRECTORY:
                    self.assertEqual(self.image.directory(index),
                                     self.original.directory(index))


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

    def test_compacting_refuses_sections_it_cannot_fold(self):
        # The probe's data sections lie between its code and its relocations.
        target = WORK_DIR / "untouched.exe"
        target.write_bytes(b"before")
        result = subprocess.run([sys.executable, str(PELAYOUT), "--compact", str(PROBE),
                                 str(target)], capture_output=True, text=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn("is neither the resources nor zero-filled", result.stderr)
        self.assertEqual(target.read_bytes(), b"before")

    def test_wrong_number_of_arguments_is_a_usage_error(self):
        result = subprocess.run([sys.executable, str(PELAYOUT), str(PROBE)], capture_output=True,
                                text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("usage", result.stderr)


if __name__ == "__main__":
    unittest.main()
