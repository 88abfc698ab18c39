"""Reads the headers of a PE32 executable, for tests that check a built file's layout.

Independent of the relayout tool on purpose: the tests check its output with a second reader.
"""

import struct
from dataclasses import dataclass

IMPORT_DIRECTORY = 1
RESOURCE_DIRECTORY = 2
BASE_RELOCATION_DIRECTORY = 5
TLS_DIRECTORY = 9

SECTION_HEADER_SIZE = 40


@dataclass
class Section:
    header_offset: int  # where its header lies in the file
    name: str
    virtual_size: int
    rva: int
    raw_size: int
    raw_pointer: int
    relocations_pointer: int
    line_numbers_pointer: int
    characteristics: int


class PeImage:
    def __init__(self, data):
        self.data = data
        (
            self.e_magic, self.e_cblp, self.e_cp, self.e_crlc, self.e_cparhdr, self.e_minalloc,
            self.e_maxalloc, self.e_ss, self.e_sp, self.e_csum, self.e_ip, self.e_cs,
            self.e_lfarlc, self.e_ovno,
        ) = struct.unpack_from("<2s13H", data, 0)
        self.e_lfanew = self._u32(0x3C)

        self.signature = data[self.e_lfanew : self.e_lfanew + 4]
        self.coff_offset = self.e_lfanew + 4
        (
            self.machine, section_count, _, self.symbol_table_pointer, self.symbol_count,
            optional_size, self.characteristics,
        ) = struct.unpack_from("<HHIIIHH", data, self.coff_offset)

        opt = self.optional_offset = self.coff_offset + 20
        self.magic = self._u16(opt)
        self.file_alignment = self._u32(opt + 36)
        self.subsystem_version = (self._u16(opt + 48), self._u16(opt + 50))
        self.size_of_headers = self._u32(opt + 60)
        self.checksum = self._u32(opt + 64)
        self.subsystem = self._u16(opt + 68)
        self.dll_characteristics = self._u16(opt + 70)
        self.directory_count = self._u32(opt + 92)

        self.section_table_offset = opt + optional_size
        self.section_table_end = self.section_table_offset + SECTION_HEADER_SIZE * section_count
        self.sections = []
        for i in range(section_count):
            at = self.section_table_offset + SECTION_HEADER_SIZE * i
            name, vsize, rva, raw_size, raw_pointer, relocs, lines = struct.unpack_from(
                "<8sIIIIII", data, at
            )
            flags = self._u32(at + 36)
            self.sections.append(
                Section(at, name.rstrip(b"\0").decode("latin-1"), vsize, rva, raw_size,
                        raw_pointer, relocs, lines, flags)
            )

    def _u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    @property
    def dos_image_end(self):
        """File offset where the DOS load module ends, from e_cp and e_cblp."""
        return self.e_cp * 512 - (512 - self.e_cblp if self.e_cblp else 0)

    def directory_offset(self, index):
        """File offset of data directory entry `index` (its RVA, then its size)."""
        return self.optional_offset + 96 + 8 * index

    def directory(self, index):
        if index >= self.directory_count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.directory_offset(index))

    def section_data(self, section):
        return self.data[section.raw_pointer : section.raw_pointer + section.raw_size]

    def offset_of(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + max(s.virtual_size, s.raw_size):
                if rva - s.rva >= s.raw_size:
                    raise ValueError(f"RVA 0x{rva:X} has no file data")
                return s.raw_pointer + rva - s.rva
        raise ValueError(f"RVA 0x{rva:X} lies in no section")

    def c_string(self, rva):
        start = self.offset_of(rva)
        return self.data[start : self.data.index(b"\0", start)].decode("latin-1")

    def imported_dlls(self):
        """Names of the DLLs in the import directory, in its order."""
        rva, size = self.directory(IMPORT_DIRECTORY)
        names = []
        if size == 0:
            return names
        at = self.offset_of(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if lookup == 0 and name == 0 and thunks == 0:
                return names
            names.append(self.c_string(name))
            at += 20

    def resources(self):
        """Every resource as {(type, name, language): bytes}; a name is an int or an upper-case
        str."""
        rva, _ = self.directory(RESOURCE_DIRECTORY)
        base = self.offset_of(rva)
        data = self.data

        def entries(offset):
            named, ids = struct.unpack_from("<HH", data, base + offset + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length, = struct.unpack_from("<H", data, at)
                    name = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield name, target

        found = {}
        for kind, types in entries(0):
            for name, names in entries(types & 0x7FFFFFFF):
                for language, leaf in entries(names & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", data, base + leaf)
                    at = self.offset_of(data_rva)
                    found[kind, name, language] = data[at:at + size]
        return found
