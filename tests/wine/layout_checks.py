"""The facts of the stub's file layout that every relaid executable shows.

`LayoutChecks` is mixed into a unittest.TestCase whose setUpClass sets `path` to the file and
then calls super().setUpClass().
"""

import os
import re
import subprocess
import tempfile
from pathlib import Path

from peimage import PeImage

SETTINGS_OFFSET = 0x200
SETTINGS_SIZE = 603
DOS_PROGRAM_OFFSET = 0x460
PE_OFFSET = 0x4D0

DOS_MESSAGE = (
    "このプログラムは Windows 32ﾋﾞｯﾄ版の LZH 自己解凍書庫です.\r\n"
    "MS-DOS モードでは実行できません．\r\n"
    "$"
).encode("cp932")


def disassemble_8086(code, start, count):
    """The first `count` instructions of 16-bit code from offset `start`, as objdump reads
    them: (offset, text with blanks collapsed) pairs."""
    objdump = os.environ.get("OBJDUMP", "objdump")
    with tempfile.NamedTemporaryFile(suffix=".bin") as file:
        file.write(code)
        file.flush()
        listing = subprocess.run(
            [objdump, "-D", "-b", "binary", "-m", "i8086", f"--start-address={start}", file.name],
            capture_output=True, text=True, check=True,
        ).stdout
    lines = re.findall(r"^\s*([0-9a-f]+):\t[0-9a-f ]+\t(.*)$", listing, re.MULTILINE)
    return [(int(offset, 16), " ".join(text.split())) for offset, text in lines[:count]]


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class LayoutChecks:
    path = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.data = Path(cls.path).read_bytes()
        cls.image = PeImage(cls.data)

    def test_dos_header_declares_a_512_byte_header_and_the_entry_at_0x460(self):
        image = self.image
        self.assertEqual(image.e_magic, b"MZ")
        self.assertEqual(image.e_cparhdr, 32)
        self.assertEqual((image.e_cs, image.e_ip), (0x26, 0))
        self.assertEqual(image.e_cparhdr * 16 + image.e_cs * 16 + image.e_ip, DOS_PROGRAM_OFFSET)
        self.assertEqual(image.e_crlc, 0, "relocations")
        self.assertEqual(image.e_lfarlc, 0x40)
        self.assertEqual(image.e_lfanew, PE_OFFSET)
        self.assertEqual(image.dos_image_end, PE_OFFSET, "e_cp and e_cblp")

    def test_dos_stack_lies_in_the_memory_dos_provides_and_clear_of_the_program(self):
        image = self.image
        load_size = image.dos_image_end - image.e_cparhdr * 16
        top = image.e_ss * 16 + image.e_sp
        self.assertEqual(image.e_sp % 2, 0)
        self.assertLessEqual(top, load_size + image.e_minalloc * 16)
        program = (DOS_PROGRAM_OFFSET - SETTINGS_OFFSET, PE_OFFSET - SETTINGS_OFFSET)
        bottom = top - 128  # room for the stack the interrupts use
        self.assertGreaterEqual(bottom, 0)
        self.assertTrue(top <= program[0] or bottom >= program[1], "stack overlaps the program")

    def test_bytes_between_dos_header_and_settings_block_are_zero(self):
        self.assertEqual(self.data[0x40:SETTINGS_OFFSET], bytes(SETTINGS_OFFSET - 0x40))

    def test_settings_block_is_603_zero_bytes_at_0x200_up_to_the_dos_program(self):
        self.assertEqual(self.data[SETTINGS_OFFSET : SETTINGS_OFFSET + SETTINGS_SIZE],
                         bytes(SETTINGS_SIZE))
        self.assertEqual(self.data[SETTINGS_OFFSET + SETTINGS_SIZE : DOS_PROGRAM_OFFSET],
                         bytes(DOS_PROGRAM_OFFSET - SETTINGS_OFFSET - SETTINGS_SIZE))

    def test_dos_program_prints_the_message_and_exits_with_status_1(self):
        code = self.data[DOS_PROGRAM_OFFSET:PE_OFFSET]
        [(_, jump)] = disassemble_8086(code, 0, 1)
        match = re.fullmatch(r"jmp 0x([0-9a-f]+)", jump)
        self.assertTrue(match, jump)
        start = int(match.group(1), 16)

        instructions = [text for _, text in disassemble_8086(code, start, 7)]
        self.assertEqual(instructions[:2], ["push %cs", "pop %ds"])
        message = re.fullmatch(r"mov \$0x([0-9a-f]+),%dx", instructions[2])
        self.assertTrue(message, instructions[2])
        self.assertEqual(
            instructions[3:], ["mov $0x9,%ah", "int $0x21", "mov $0x4c01,%ax", "int $0x21"]
        )

        text_at = int(message.group(1), 16)
        printed = code[text_at : code.index(b"$", text_at) + 1]  # the print service stops at '$'
        self.assertEqual(printed, DOS_MESSAGE)
        self.assertLessEqual(text_at + len(printed), start, "the jump lands inside the message")

    def test_pe_header_of_a_pe32_i386_executable_follows_at_0x4d0(self):
        image = self.image
        self.assertEqual(image.signature, b"PE\0\0")
        self.assertEqual(image.machine, 0x14C)
        self.assertEqual(image.magic, 0x10B)
        self.assertTrue(image.characteristics & 0x0002, "not marked executable")

    def test_section_data_follows_the_headers_without_gaps_or_trailing_bytes(self):
        image = self.image
        self.assertEqual(image.size_of_headers,
                         align_up(image.section_table_end, image.file_alignment))
        self.assertLessEqual(image.size_of_headers, min(s.rva for s in image.sections))
        end = image.size_of_headers
        for section in sorted(image.sections, key=lambda s: s.raw_pointer):
            if section.raw_size:
                self.assertEqual(section.raw_pointer, end, section.name)
                end += section.raw_size
        self.assertEqual(end, len(self.data))

    def test_checksum_is_left_unset(self):
        self.assertEqual(self.image.checksum, 0)
