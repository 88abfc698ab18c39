"""The relayout tool on a small MinGW-linked program: the layout it writes, what it keeps of the
input, that the result still runs under Wine, and the inputs it must refuse."""

import functools
import os
import random
import shutil
import struct
import subprocess
import sys
import unittest
from pathlib import Path

import installer
import winehelper
from layout_checks import LayoutChecks
from peimage import PeImage

PELAYOUT = Path(os.environ.get("PELAYOUT", winehelper.SOURCE_DIR / "tools/pelayout/pelayout.py"))
sys.path.insert(0, str(PELAYOUT.parent))
import lzpack  # noqa: E402  the packer's format, beside the tool
PROBE = winehelper.test_program("MSGBOX_PROBE", "msgbox_probe.exe")
# One folder a backend: the Wine and emulated runs of this module go side by side.
WORK_DIR = winehelper.build_dir() / f"pelayout-test-{winehelper.backend()}"


def relay(source, target, *options):
    return subprocess.run([sys.executable, str(PELAYOUT), *options, str(source), str(target)],
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


@winehelper.needs_wine("the probe is a MinGW program with its C runtime")
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
STUB = winehelper.test_program("SFXSTUB", "sfxstub.exe")
RESOURCE_DIRECTORY = 2
BASE_RELOCATION_DIRECTORY = 5
IAT_DIRECTORY = 12
PACKING_RECORD = struct.Struct("<11I")
BARE_STUB_TITLE = "LZH 自己解凍書庫 V2.60.w32.0027"


@functools.cache
def packed_stub():
    """The linked stub run through the tool with --pack, once per test process."""
    WORK_DIR.mkdir(parents=True, exist_ok=True)
    target = WORK_DIR / "sfxstub-packed.exe"
    result = relay(LINKED_STUB, target, "--pack")
    if result.returncode != 0:
        raise RuntimeError(f"pelayout --pack failed on the stub: {result.stderr}")
    return target


def relocation_sites(image):
    """The RVA of every place the base relocations patch."""
    rva, size = image.directory(BASE_RELOCATION_DIRECTORY)
    at = image.offset_of(rva)
    end, sites = at + size, []
    while at < end:
        page, block = struct.unpack_from("<II", image.data, at)
        for entry in struct.unpack_from(f"<{(block - 8) // 2}H", image.data, at + 8):
            if entry >> 12 == 3:
                sites.append(page + (entry & 0xFFF))
        at += block
    return sorted(sites)


def moved(data, new_base):
    """The executable as a linker would have made it for `new_base`: what the loader will
    not relocate when it loads it there."""
    image = PeImage(data)
    out = bytearray(data)
    field = image.optional_offset + 28  # ImageBase
    old_base = struct.unpack_from("<I", data, field)[0]
    struct.pack_into("<I", out, field, new_base)
    for site in relocation_sites(image):
        at = image.offset_of(site)
        value = struct.unpack_from("<I", data, at)[0]
        struct.pack_into("<I", out, at, value - old_base + new_base)
    return bytes(out)


def optional_u32(image, field):
    return struct.unpack_from("<I", image.data, image.optional_offset + field)[0]


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


class PackedStubLayout(LayoutChecks, unittest.TestCase):
    """--pack on the linked stub: the imports, resources and unpacker where the loader and
    the shell look for them, and a stream that unpacks to the linked program exactly."""

    @classmethod
    def setUpClass(cls):
        cls.path = packed_stub()
        super().setUpClass()
        cls.original = PeImage(LINKED_STUB.read_bytes())
        first = cls.original.sections[0]
        cls.record = PACKING_RECORD.unpack_from(cls.original.section_data(first), 0)
        cls.packed_record = PACKING_RECORD.unpack_from(
            cls.image.section_data(cls.image.sections[0]), 0)

    def program(self):
        """The linked program's bounds, and what the packed stream decodes to there."""
        _, _, _, _, _, start, end, stream, size, _, list_size = self.packed_record
        data = self.image.data[self.image.offset_of(stream) : self.image.offset_of(stream) + size]
        return start, end, lzpack.decompress(data, end - start + list_size)

    def test_is_the_stub_the_build_made(self):
        self.assertEqual(self.data, STUB.read_bytes())

    def test_the_stream_unpacks_to_the_linked_program(self):
        start, end, unpacked = self.program()
        offset = self.original.offset_of(start)
        self.assertEqual(unpacked[: end - start], self.original.data[offset : offset + end - start])

    def test_every_base_relocation_is_kept_either_in_the_stream_or_for_the_loader(self):
        start, end, unpacked = self.program()
        site, inside = start, []
        for step in unpacked[end - start :]:
            site += step
            if step != 0xFF:
                inside.append(site)
        loader = relocation_sites(self.image)
        self.assertTrue(inside and loader)
        self.assertTrue(all(start <= p < end for p in inside))
        self.assertFalse(any(start <= p < end for p in loader))
        self.assertEqual(sorted(inside + loader), relocation_sites(self.original))

    def test_what_lies_before_the_program_keeps_its_bytes(self):
        first = self.original.sections[0]
        start = self.record[5]
        old = self.original.section_data(first)[: start - first.rva]
        new = bytearray(self.image.section_data(self.image.sections[0])[: start - first.rva])
        rva, _ = self.image.directory(1)
        for i in range(len(imports(self.image))):  # the cleared lookup table fields
            at = rva - first.rva + 20 * i
            new[at : at + 4] = old[at : at + 4]
        filled = PACKING_RECORD.size - 16  # the four fields the tool fills in
        new[filled : PACKING_RECORD.size] = old[filled : PACKING_RECORD.size]
        self.assertEqual(bytes(new), old)
        self.assertEqual(self.record[7:], (0, 0, 0, 0))

    def test_the_stream_and_its_scratch_room_lie_in_the_section(self):
        merged = self.image.sections[0]
        _, _, _, _, _, start, end, stream, size, scratch, list_size = self.packed_record
        self.assertEqual(stream, start)
        self.assertLessEqual(stream + size, end)
        self.assertEqual(merged.raw_size, -(-(stream + size - merged.rva) // 512) * 512)
        bss = self.original.sections[1]
        self.assertGreaterEqual(scratch, max(bss.rva + bss.virtual_size, end + list_size))
        # Zeros behind the stream: more than a damaged stream can make the unpacker read.
        self.assertGreater(merged.rva + merged.virtual_size,
                           scratch + size + (end - start + list_size) * 9 // 8)
        self.assertLessEqual(merged.rva + merged.virtual_size, self.image.sections[1].rva)

    def test_resources_stay_in_the_file_where_the_linker_put_them(self):
        rva, size = self.image.directory(RESOURCE_DIRECTORY)
        self.assertEqual((rva, size), (self.record[3], self.record[4]))
        self.assertLessEqual(rva + size, self.record[5])
        found = self.image.resources()
        self.assertIn((3, 1, 1041), found)  # the icon's first image, in Japanese
        self.assertGreaterEqual(len(found), 4)

    def test_imports_are_named_by_the_address_tables_alone(self):
        old, new = imports(self.original), imports(self.image)
        self.assertEqual([(d, f) for d, f, _ in new], [(d, f) for d, f, _ in old])
        self.assertTrue(all(lookup != 0 for _, _, lookup in old))
        self.assertEqual([lookup for _, _, lookup in new], [0] * len(new))
        self.assertEqual(self.image.directory(IAT_DIRECTORY),
                         self.original.directory(IAT_DIRECTORY))

    def test_the_entry_point_is_the_unpacker(self):
        entry = optional_u32(self.image, 16)
        self.assertEqual(entry, optional_u32(self.original, 16))
        self.assertTrue(self.record[3] + self.record[4] <= entry < self.record[5])


class PackedStubRunsAwayFromItsLinkedAddress(unittest.TestCase):
    """The stub made for another base address, as the loader would find it after placing it
    elsewhere: only the unpacker's relocations to the packed program move it."""

    @classmethod
    def setUpClass(cls):
        cls.wine = winehelper.session()
        cls.wine.start()
        WORK_DIR.mkdir(parents=True, exist_ok=True)
        cls.stub = WORK_DIR / "sfxstub-moved.exe"
        cls.stub.write_bytes(moved(STUB.read_bytes(), 0x10000000))

    @classmethod
    def tearDownClass(cls):
        cls.wine.set_mode(winehelper.NT)
        cls.wine.close()

    def test_it_reports_its_missing_archive_and_installs_an_archive_in_both_modes(self):
        source = WORK_DIR / "moved-source"
        shutil.rmtree(source, ignore_errors=True)
        (source / "data").mkdir(parents=True)
        files = {"readme.txt": "".join(f"{i}: 移動したスタブ\r\n" for i in range(2000))
                 .encode("cp932"),
                 "data/table.bin": bytes((i * 7 ^ i >> 3) & 0xFF for i in range(70000))}
        for name, data in files.items():
            (source / name).write_bytes(data)
        setup = installer.make_installer(self.stub, self.wine.drive_c / "moved-setup.exe",
                                         installer.jlha_archive(source, 7),
                                         window_title=b"moved")
        for mode in (winehelper.NT, winehelper.WIN32S):
            with self.subTest(mode=mode):
                self.wine.set_mode(mode)
                program = self.wine.spawn(self.stub)
                self.addCleanup(program.kill)
                [box] = self.wine.ui("wait", BARE_STUB_TITLE, 10000, "dump", "click", 1)
                self.assertIn("ﾍｯﾀﾞｰの内容が不正", box.control(0xFFFF).text)
                self.assertEqual(program.wait(), 0)

                dest = self.wine.drive_c / f"moved-{mode}"
                shutil.rmtree(dest, ignore_errors=True)
                self.assertEqual(self.wine.run(setup, "-n", self.wine.windows_path(dest)), 1)
                for name, data in files.items():
                    self.assertEqual((dest / name).read_bytes(), data, name)


class PackedStreams(unittest.TestCase):
    """The packer's stream format at its edges, through the tool's own decoder."""

    def test_edge_inputs_round_trip(self):
        rng = random.Random(20)
        cases = {
            "empty": b"",
            "one byte": b"x",
            "incompressible": bytes(rng.randrange(256) for _ in range(3000)),
            "a run": bytes(5000),
            "distances over 256 and 64 KiB": (bytes(rng.randrange(256) for _ in range(300))
                                              + bytes(70000) + bytes(range(256)) * 3),
            "repeats after literals": b"".join(b"ab%cab%c" % (i, i) for i in range(200)),
        }
        for name, data in cases.items():
            with self.subTest(name):
                stream = lzpack.compress(data)
                self.assertEqual(lzpack.decompress(stream, len(data)), data)
                if len(data) > 1000:
                    self.assertLess(len(stream), len(data) * 9 // 8 + 2)

    def test_streams_that_do_not_decode_to_the_size_are_refused(self):
        data = b"".join(b"line %d of the text\r\n" % (i % 37) for i in range(400))
        stream = lzpack.compress(data)
        for name, bad, size in [("cut short", stream[:-3], len(data)),
                                ("bytes behind", stream + b"\0", len(data)),
                                ("copy before the start", b"\xc0\x00\x00", 4),
                                ("too long for the size", stream, len(data) - 1)]:
            with self.subTest(name):
                with self.assertRaises(lzpack.FormatError):
                    lzpack.decompress(bad, size)


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

    def assert_refused(self, data, reason, *options):
        """The tool fails on `data` with `reason` and leaves its output file as it was."""
        source = WORK_DIR / "malformed.exe"
        target = WORK_DIR / "untouched.exe"
        source.write_bytes(data)
        target.write_bytes(b"before")
        result = relay(source, target, *options)
        self.assertEqual(result.returncode, 1)
        self.assertIn(reason, result.stderr)
        self.assertEqual(target.read_bytes(), b"before")
        self.assertEqual(sorted(p.name for p in WORK_DIR.glob(".pelayout-*")), [])

    def test_each_malformed_input_is_refused_and_leaves_the_output_alone(self):
        for name, data, reason in self.cases():
            with self.subTest(name):
                self.assert_refused(data, reason)

    def test_compacting_refuses_sections_it_cannot_fold(self):
        # The probe's data sections lie between its code and its relocations.
        self.assert_refused(self.data, "is neither the resources nor zero-filled", "--compact")

    def test_packing_refuses_a_stub_without_an_empty_packing_record(self):
        linked = LINKED_STUB.read_bytes()
        record = PeImage(linked).sections[0].raw_pointer
        for name, data in [("no tag", patched(linked, record, "<I", 0x12345678)),
                           ("filled in", patched(linked, record + 28, "<I", 0x2000))]:
            with self.subTest(name):
                self.assert_refused(data, "no packing record", "--pack")

    def test_wrong_number_of_arguments_is_a_usage_error(self):
        result = subprocess.run([sys.executable, str(PELAYOUT), str(PROBE)], capture_output=True,
                                text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("usage", result.stderr)


if __name__ == "__main__":
    unittest.main()
