#!/usr/bin/python3
"""Rewrites a linked PE32 i386 executable into the stub's file layout.

The linker puts the PE header right behind a DOS header of its own, but the stub needs room
there for the settings block that lzhsfx writes when it builds an installer:

    0x000  DOS header: a 512-byte header (32 paragraphs), entry CS:IP 0x26:0000, no relocations
    0x040  zero bytes
    0x200  SettingsBlock, 603 zero bytes, filled in later by lzhsfx
    0x45B  zero bytes
    0x460  DOS program: prints that the file needs 32-bit Windows and exits with status 1
    0x4D0  PE signature, COFF header, optional header and section table of the input
    ...    section data, moved as one block behind the headers; every RVA stays as it was

The checksum is set to zero (not present): lzhsfx writes the settings and appends the archive
afterwards, so any sum computed here would be wrong in the finished installer.

Everything in the input that is located by file offset must be known here, or the moved
sections would leave it pointing at the wrong bytes; such inputs are refused rather than
silently corrupted: a COFF symbol table, section relocations or line numbers, a certificate
table, a debug directory, data in the header area, and bytes behind the last section.

With --compact, the sections between the first one and the base relocations are folded into
the first one before the relayout, so that only two sections' ends are padded to the file
alignment: the resources are moved behind the first section's data (their data entries
rebased), zero-filled sections become the first section's zero-filled tail, and import lookup
tables that lie at the first section's end are dropped, the loader then reading the names
from the import address tables, which hold the same entries until the imports are bound.
The empty data directories behind the last one in use are dropped from the optional header.
Everything else keeps its address. The relocations stay a section of their own, as Win32s
wants them.

With --pack (which compacts too), the program's code, constants and data are stored
compressed (lzpack.py), for the unpacker at the entry point. The input's first section must
begin with the packing record of the stub's linker script (sfxstub.ld), which says where the
resources and the program lie. The file then holds the headers, imports, resources and
unpacker as they are, and the compressed program in the program's place. The program's base
relocations go into the compressed data, as a list the unpacker applies; the relocations
section keeps only those outside the program. The section's zero-filled tail grows by room
for the compressed data, which the unpacker moves there before decoding it.

Usage: pelayout.py [--compact | --pack] IN.exe OUT.exe  (OUT is replaced atomically)
"""

import os
import struct
import sys
import tempfile
from dataclasses import dataclass

import lzpack

SETTINGS_OFFSET = 0x200
SETTINGS_SIZE = 603
DOS_PROGRAM_OFFSET = 0x460
PE_OFFSET = 0x4D0

DOS_HEADER_PARAGRAPHS = SETTINGS_OFFSET // 16
DOS_STACK_BYTES = 0x100

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
PE32_MAGIC = 0x10B
IMPORT_DIRECTORY = 1
RESOURCE_DIRECTORY = 2
CERTIFICATE_DIRECTORY = 4
BASE_RELOCATION_DIRECTORY = 5
DEBUG_DIRECTORY = 6

IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40
IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x80
IMAGE_REL_BASED_HIGHLOW = 3
IMPORT_DESCRIPTOR = struct.Struct("<IIIII")  # lookup table, time stamp, chain, name, addresses
RESOURCE_ALIGNMENT = 8

COFF_HEADER = struct.Struct("<HHIIIHH")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
SECTION_POINTER_FIELD = 20  # PointerToRawData within a section header

# Offsets within the PE32 optional header.
OPT_SIZE_OF_CODE = 4
OPT_SIZE_OF_INITIALIZED_DATA = 8
OPT_SIZE_OF_UNINITIALIZED_DATA = 12
OPT_SECTION_ALIGNMENT = 32
OPT_FILE_ALIGNMENT = 36
OPT_SIZE_OF_IMAGE = 56
OPT_SIZE_OF_HEADERS = 60
OPT_CHECKSUM = 64
OPT_DIRECTORY_COUNT = 92
OPT_DIRECTORIES = 96


class LayoutError(Exception):
    """The input is not an executable this tool can relay safely."""


def require(condition, message):
    if not condition:
        raise LayoutError(message)


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


# ---------------------------------------------------------------------------------------------
# DOS part
# ---------------------------------------------------------------------------------------------

DOS_MESSAGE = (
    "このプログラムは Windows 32ﾋﾞｯﾄ版の LZH 自己解凍書庫です.\r\n"
    "MS-DOS モードでは実行できません．\r\n"
    "$"
).encode("cp932")


def dos_program():
    """Real-mode code, entered with CS = the paragraph of file offset 0x460 and IP = 0."""
    message = 2  # offset of the text in the code segment, right behind the jump
    code = b"".join([
        bytes([0xEB, len(DOS_MESSAGE)]),       # jmp short start   ; over the text
        DOS_MESSAGE,                           # the text, ended by '$'
        b"\x0E",                               # start: push cs
        b"\x1F",                               # pop ds            ; DS = CS, where the text lies
        b"\xBA" + struct.pack("<H", message),  # mov dx, message   ; DS:DX = the text
        b"\xB4\x09",                           # mov ah, 09h       ; print up to '$'
        b"\xCD\x21",                           # int 21h
        b"\xB8\x01\x4C",                       # mov ax, 4C01h     ; end with exit status 1
        b"\xCD\x21",                           # int 21h
    ])
    assert len(DOS_MESSAGE) < 0x80 and DOS_PROGRAM_OFFSET + len(code) <= PE_OFFSET
    return code


def dos_header():
    """The 64-byte MZ header; the DOS load image runs from 0x200 to the PE header."""
    image_end = PE_OFFSET
    image_paragraphs = (image_end - SETTINGS_OFFSET) // 16
    header = struct.pack(
        "<2s13H",
        b"MZ",
        image_end % 512,  # e_cblp: bytes used in the last 512-byte page
        (image_end + 511) // 512,  # e_cp: pages, the last one partly used
        0,  # e_crlc: no relocations
        DOS_HEADER_PARAGRAPHS,  # e_cparhdr: the settings block begins the load image
        DOS_STACK_BYTES // 16,  # e_minalloc: room for the stack behind the image
        0xFFFF,  # e_maxalloc
        image_paragraphs,  # e_ss: the stack lies right behind the image
        DOS_STACK_BYTES,  # e_sp
        0,  # e_csum
        0,  # e_ip
        (DOS_PROGRAM_OFFSET - SETTINGS_OFFSET) // 16,  # e_cs: 0x26
        0x40,  # e_lfarlc: the (empty) relocation table follows the header
        0,  # e_ovno
    )
    header += bytes(0x3C - len(header))
    header += struct.pack("<I", PE_OFFSET)  # e_lfanew
    return header


def dos_part():
    """File bytes 0 to the PE header: header, zero settings block, DOS program."""
    part = bytearray(PE_OFFSET)
    header = dos_header()
    part[0 : len(header)] = header
    program = dos_program()
    part[DOS_PROGRAM_OFFSET : DOS_PROGRAM_OFFSET + len(program)] = program
    return bytes(part)


# ---------------------------------------------------------------------------------------------
# PE part
# ---------------------------------------------------------------------------------------------


@dataclass
class PeHeaders:
    """Where the input's PE headers lie, and the fields this tool reads or moves."""

    pe: int  # file offset of the PE signature
    optional: int  # file offset of the optional header
    table: int  # file offset of the section table
    table_end: int
    size: int  # SizeOfHeaders
    file_alignment: int
    symbols: tuple  # COFF PointerToSymbolTable, NumberOfSymbols
    directories: list  # (RVA, size) of each data directory
    sections: list  # SECTION_HEADER fields of each section


def read_headers(data):
    require(data[:2] == b"MZ", "no DOS header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    require(data[pe : pe + 4] == b"PE\0\0", "no PE signature")

    coff = pe + 4
    machine, section_count, _, symbols, symbol_count, opt_size, flags = COFF_HEADER.unpack_from(
        data, coff
    )
    require(machine == IMAGE_FILE_MACHINE_I386, f"machine 0x{machine:X} is not i386")
    require(flags & IMAGE_FILE_EXECUTABLE_IMAGE, "not an executable image")
    require(section_count > 0, "has no sections")

    opt = coff + COFF_HEADER.size
    require(struct.unpack_from("<H", data, opt)[0] == PE32_MAGIC, "not a PE32 optional header")
    file_alignment = struct.unpack_from("<I", data, opt + OPT_FILE_ALIGNMENT)[0]
    require(
        file_alignment >= 512 and file_alignment & (file_alignment - 1) == 0,
        f"bad file alignment 0x{file_alignment:X}",
    )
    directory_count = struct.unpack_from("<I", data, opt + OPT_DIRECTORY_COUNT)[0]
    require(OPT_DIRECTORIES + 8 * directory_count <= opt_size, "data directories overrun")

    table = opt + opt_size
    return PeHeaders(
        pe=pe,
        optional=opt,
        table=table,
        table_end=table + SECTION_HEADER.size * section_count,
        size=struct.unpack_from("<I", data, opt + OPT_SIZE_OF_HEADERS)[0],
        file_alignment=file_alignment,
        symbols=(symbols, symbol_count),
        directories=[
            struct.unpack_from("<II", data, opt + OPT_DIRECTORIES + 8 * i)
            for i in range(directory_count)
        ],
        sections=[
            SECTION_HEADER.unpack_from(data, table + SECTION_HEADER.size * i)
            for i in range(section_count)
        ],
    )


def refuse_file_offsets(data, headers):
    """Refuses whatever the move of the headers or of the section data would break."""
    require(headers.symbols == (0, 0), "has a COFF symbol table (link with -s)")
    for name, _, _, _, _, relocs, lines, reloc_count, line_count, _ in headers.sections:
        name = name.rstrip(b"\0").decode("latin-1")
        require(
            relocs == 0 and lines == 0 and reloc_count == 0 and line_count == 0,
            f"section {name} has relocations or line numbers",
        )

    # The certificate table and the debug directory's data are found by file offset; data
    # directories inside the header area would be lost when the headers are rebuilt.
    first_rva = min(s[2] for s in headers.sections)
    for index, (rva, size) in enumerate(headers.directories):
        if size == 0:
            continue
        require(index != CERTIFICATE_DIRECTORY, "has a certificate table")
        require(index != DEBUG_DIRECTORY, "has a debug directory")
        require(rva >= first_rva, f"data directory {index} lies in the headers")

    require(headers.table_end <= headers.size, "section table overruns SizeOfHeaders")
    require(len(data) >= headers.size, "truncated headers")
    require(
        not any(data[headers.table_end : headers.size]),
        "data between the section table and the first section",
    )

    # The section data must fill the file from the headers to its end, so it moves as one block.
    end = headers.size
    for _, _, _, raw_size, raw_pointer, *_ in sorted(headers.sections, key=lambda s: s[4]):
        if raw_size == 0:
            continue
        require(raw_pointer == end, f"section data at 0x{raw_pointer:X}, expected 0x{end:X}")
        end += raw_size
    require(end <= len(data), "section data runs past the end of the file")
    require(end == len(data), f"{len(data) - end} bytes behind the last section")


def relaid(data, headers):
    """The DOS part, then the input's PE headers, then its section data, moved behind them."""
    new_size = align_up(PE_OFFSET + headers.table_end - headers.pe, headers.file_alignment)
    require(new_size <= min(s[2] for s in headers.sections),
            "the moved headers would overlap the first section")
    shift = new_size - headers.size

    pe_headers = bytearray(data[headers.pe : headers.table_end])
    opt = headers.optional - headers.pe
    struct.pack_into("<I", pe_headers, opt + OPT_SIZE_OF_HEADERS, new_size)
    struct.pack_into("<I", pe_headers, opt + OPT_CHECKSUM, 0)
    for i, (_, _, _, raw_size, raw_pointer, *_) in enumerate(headers.sections):
        if raw_size:
            field = headers.table - headers.pe + SECTION_HEADER.size * i + SECTION_POINTER_FIELD
            struct.pack_into("<I", pe_headers, field, raw_pointer + shift)

    out = bytearray(dos_part())
    out += pe_headers
    out += bytes(new_size - len(out))
    out += data[headers.size :]
    return bytes(out)


# ---------------------------------------------------------------------------------------------
# Compaction
# ---------------------------------------------------------------------------------------------


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def relocated_rvas(data, headers, section):
    """The RVA of every place the base relocations patch, read from `section`'s data."""
    rva, size = headers.directories[BASE_RELOCATION_DIRECTORY]
    start = section[4] + rva - section[2]
    at, end, places = start, start + size, []
    while at < end:
        page, block = struct.unpack_from("<II", data, at)
        require(block >= 8 and at + block <= end, "bad base relocation block")
        for entry in struct.unpack_from(f"<{(block - 8) // 2}H", data, at + 8):
            kind = entry >> 12
            require(kind in (0, IMAGE_REL_BASED_HIGHLOW), f"base relocation of type {kind}")
            if kind:
                places.append(page + (entry & 0xFFF))
        at += block
    return places


def rebased_resources(data, section, new_rva):
    """The resource section's bytes with every data entry moved along to `new_rva`."""
    rva, size = section[2], section[1]
    out = bytearray(data[section[4] : section[4] + min(size, section[3])])
    out += bytes(size - len(out))
    seen = set()

    def walk(offset, depth):
        require(depth < 3 and offset not in seen and offset + 16 <= size, "bad resource tree")
        seen.add(offset)
        named, numbered = struct.unpack_from("<HH", out, offset + 12)
        for i in range(named + numbered):
            entry = offset + 16 + 8 * i
            require(entry + 8 <= size, "bad resource tree")
            target = u32(out, entry + 4)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, depth + 1)
                continue
            require(target + 16 <= size and target not in seen, "bad resource data entry")
            seen.add(target)
            data_rva, data_size = struct.unpack_from("<II", out, target)
            require(rva <= data_rva and data_rva + data_size <= rva + size,
                    "resource data outside the resource section")
            struct.pack_into("<I", out, target, data_rva - rva + new_rva)

    walk(0, 0)
    return bytes(out)


def dropped_lookup_tables(data, first, end, headers):
    """Where the first section's content may end once the import lookup tables at its end
    are dropped, and the descriptors whose lookup table field is to be cleared."""
    rva, size = headers.directories[IMPORT_DIRECTORY]
    if size == 0:
        return end, []
    base = first[4] - first[2]  # file offset minus RVA within the first section
    require(first[2] <= rva and rva + size <= end, "imports outside the first section")
    descriptors, tables = [], []
    at = rva
    while True:
        require(at + IMPORT_DESCRIPTOR.size <= end, "unterminated import directory")
        lookup, stamp, _, name, addresses = IMPORT_DESCRIPTOR.unpack_from(data, base + at)
        if lookup == 0 and name == 0 and addresses == 0:
            break
        if lookup:
            require(stamp == 0, "bound imports")
            length = 0
            while u32(data, base + lookup + length) != 0:
                length += 4
            length += 4
            require(data[base + lookup : base + lookup + length]
                    == data[base + addresses : base + addresses + length],
                    "import lookup and address tables differ")
            descriptors.append(at)
            tables.append((lookup, lookup + length))
        at += IMPORT_DESCRIPTOR.size
    if not tables:
        return end, []
    tables.sort()
    start = tables[0][0]
    for (_, table_end), (next_start, _) in zip(tables, tables[1:]):
        require(table_end == next_start, "import lookup tables are not contiguous")
    require(tables[-1][1] == end, "import lookup tables do not end the first section")
    return start, descriptors


def compacted(data, headers):
    """The input with the sections between the first and the base relocations folded into
    the first one; the result is laid out as a linker would write it."""
    sections = headers.sections
    require(len(sections) >= 3, "nothing to fold")
    first, folded, last = sections[0], sections[1:-1], sections[-1]
    opt = headers.optional
    section_alignment = u32(data, opt + OPT_SECTION_ALIGNMENT)
    reloc_rva, reloc_size = headers.directories[BASE_RELOCATION_DIRECTORY]
    require(reloc_size and last[2] <= reloc_rva and reloc_rva + reloc_size <= last[2] + last[1],
            "the last section does not hold the base relocations")
    require(first[3] and first[1] <= first[3], "the first section is not all file data")
    resources = headers.directories[RESOURCE_DIRECTORY]
    resource_section = None
    for section in folded:
        name = section[0].rstrip(b"\0").decode("latin-1")
        if section[3] == 0:
            continue  # zero-filled: becomes the first section's tail
        require(resources[1] and resources[0] == section[2] and resources[1] <= section[1]
                and resource_section is None,
                f"section {name} is neither the resources nor zero-filled")
        resource_section = section
    for index, (rva, size) in enumerate(headers.directories):
        if size and index not in (RESOURCE_DIRECTORY, BASE_RELOCATION_DIRECTORY):
            require(first[2] <= rva and rva + size <= first[2] + first[1],
                    f"data directory {index} lies outside the first section")

    places = relocated_rvas(data, headers, last)
    content_end, descriptors = dropped_lookup_tables(data, first, first[2] + first[1], headers)
    require(not any(content_end < p + 4 and p < first[2] + first[1] for p in places),
            "base relocations in the import lookup tables")
    content = bytearray(data[first[4] : first[4] + content_end - first[2]])
    for at in descriptors:
        struct.pack_into("<I", content, at - first[2], 0)

    directories = list(headers.directories)
    if resource_section is not None:
        require(not any(resource_section[2] < p + 4 and p < resource_section[2]
                        + resource_section[1] for p in places),
                "base relocations in the resources")
        new_rva = align_up(first[2] + len(content), RESOURCE_ALIGNMENT)
        content += bytes(new_rva - first[2] - len(content))
        content += rebased_resources(data, resource_section, new_rva)
        # Never beyond where the resources were, so clear of the zero-filled sections.
        assert first[2] + len(content) <= resource_section[2] + resource_section[1]
        directories[RESOURCE_DIRECTORY] = (new_rva, resources[1])

    for before, after in zip(sections, sections[1:]):
        require(after[2] == align_up(before[2] + before[1], section_alignment),
                "sections are not contiguous")
    folded_end = folded[-1][2] + folded[-1][1]
    virtual_size = max(folded_end - first[2], len(content))
    characteristics = first[9]
    for section in folded:
        characteristics |= section[9]

    raw_size = align_up(len(content), headers.file_alignment)
    merged = (first[0], virtual_size, first[2], raw_size, first[4], 0, 0, 0, 0, characteristics)
    relocs = last[:4] + (first[4] + raw_size,) + last[5:]
    # The data directories end with the last one in use: the ones behind it are empty,
    # and the shorter optional header leaves room for the PE headers in fewer bytes.
    used = max(i for i, entry in enumerate(directories) if entry != (0, 0)) + 1
    table = opt + OPT_DIRECTORIES + 8 * used
    out = bytearray(data[: headers.size])
    struct.pack_into("<H", out, headers.pe + 6, 2)  # NumberOfSections
    struct.pack_into("<H", out, headers.pe + 20, table - opt)  # SizeOfOptionalHeader
    struct.pack_into("<I", out, opt + OPT_DIRECTORY_COUNT, used)
    out[opt + OPT_DIRECTORIES : headers.table_end] = bytes(headers.table_end - opt - OPT_DIRECTORIES)
    for index, entry in enumerate(directories[:used]):
        struct.pack_into("<II", out, opt + OPT_DIRECTORIES + 8 * index, *entry)
    SECTION_HEADER.pack_into(out, table, *merged)
    SECTION_HEADER.pack_into(out, table + SECTION_HEADER.size, *relocs)
    code = raw_size if characteristics & IMAGE_SCN_CNT_CODE else 0
    struct.pack_into("<III", out, opt + OPT_SIZE_OF_CODE, code, raw_size + last[3], 0)
    out += content + bytes(raw_size - len(content))
    out += data[last[4] : last[4] + last[3]]
    return bytes(out)


# ---------------------------------------------------------------------------------------------
# Packing
# ---------------------------------------------------------------------------------------------

PACKING_TAG = 0x4B505A4C  # "LZPK"
PACKING_RECORD = struct.Struct("<11I")
SKIP_STEP = 0xFF  # a step of the relocation list that marks no address


def relocation_list(places, start):
    """The unpacker's list of absolute addresses: each byte the distance from the previous
    one (the first from `start`), a byte 255 advancing by 255 without an address."""
    out, at = bytearray(), start
    for place in places:
        gap = place - at
        while gap >= SKIP_STEP:
            out.append(SKIP_STEP)
            gap -= SKIP_STEP
        out.append(gap)
        at = place
    return bytes(out)


def relocation_blocks(places):
    """Base relocation blocks, one per 4 KiB page, for the sorted RVAs `places`."""
    out = bytearray()
    pages = sorted({place & ~0xFFF for place in places})
    for page in pages:
        entries = [IMAGE_REL_BASED_HIGHLOW << 12 | place & 0xFFF
                   for place in places if place & ~0xFFF == page]
        if len(entries) % 2:
            entries.append(0)  # the blocks stay 4-byte aligned
        out += struct.pack(f"<II{len(entries)}H", page, 8 + 2 * len(entries), *entries)
    return bytes(out)


def zero_tail(unpacked_size):
    """Zero bytes the unpacker may read behind the stream when the stream is damaged."""
    return unpacked_size * 9 // 8 + 2


def packed(data, headers):
    """A compacted image with its program stored compressed; see the module's description."""
    require(len(headers.sections) == 2, "the image to pack is not compacted")
    first, last = headers.sections
    opt = headers.optional
    section_alignment = u32(data, opt + OPT_SECTION_ALIGNMENT)
    content = bytearray(data[first[4] : first[4] + first[3]])
    require(len(content) >= PACKING_RECORD.size, "no packing record")
    (tag, _, record_rva, resources, resources_size, start, end, *filled) = \
        PACKING_RECORD.unpack_from(content, 0)
    require(tag == PACKING_TAG and record_rva == first[2] and not any(filled),
            "no packing record at the start of the first section")
    base = first[2]
    require(base < resources <= resources + resources_size <= start <= end
            <= base + len(content), "the packing record's parts are out of order")
    entry = u32(data, opt + 16)
    require(resources + resources_size <= entry < start, "the entry point is not the unpacker's")

    places = sorted(relocated_rvas(data, headers, last))
    require(not any(p < start < p + 4 or p < end < p + 4 for p in places),
            "a base relocation straddles the program's bounds")
    inside = [p for p in places if start <= p < end]
    # The unpacker adds to each address once: no two may overlap.
    require(all(b - a >= 4 for a, b in zip(places, places[1:])), "overlapping base relocations")
    outside = [p for p in places if not start <= p < end]
    require(outside, "the unpacker makes no use of its load address")

    program = bytes(content[start - base : end - base]) + relocation_list(inside, start)
    stream = lzpack.compress(program)
    require(lzpack.decompress(stream, len(program)) == program, "the packer lost data")
    require(not any(content[end - base :]), "data behind the program")
    virtual_end = base + first[1]
    # The stream is loaded where the program goes; behind it the zero-filled data begins.
    require(len(stream) <= end - start, "the program does not compress")
    scratch = align_up(max(virtual_end, start + len(program)), 16)
    packed_content = content[: start - base] + stream
    struct.pack_into("<4I", packed_content, PACKING_RECORD.size - 16, start, len(stream), scratch,
                     len(program) - (end - start))
    # Zeros behind the stream bound what the unpacker reads of a damaged one: a run of
    # bits 1 ends at the first zero byte, and zero bytes decode as literals, at most 9 bits
    # for each byte still to be written.
    virtual_size = scratch + len(stream) + zero_tail(len(program)) - base

    blocks = relocation_blocks(outside)
    reloc_rva = align_up(base + virtual_size, section_alignment)
    raw_size = align_up(len(packed_content), headers.file_alignment)
    reloc_raw = align_up(len(blocks), headers.file_alignment)
    out = bytearray(data[: headers.size])
    table = headers.table
    SECTION_HEADER.pack_into(out, table, first[0], virtual_size, base, raw_size, first[4],
                             0, 0, 0, 0, first[9])
    SECTION_HEADER.pack_into(out, table + SECTION_HEADER.size, last[0], len(blocks), reloc_rva,
                             reloc_raw, first[4] + raw_size, 0, 0, 0, 0, last[9])
    struct.pack_into("<II", out, opt + OPT_DIRECTORIES + 8 * RESOURCE_DIRECTORY, resources,
                     resources_size)
    struct.pack_into("<II", out, opt + OPT_DIRECTORIES + 8 * BASE_RELOCATION_DIRECTORY,
                     reloc_rva, len(blocks))
    struct.pack_into("<I", out, opt + OPT_SIZE_OF_IMAGE,
                     align_up(reloc_rva + len(blocks), section_alignment))
    code = raw_size if first[9] & IMAGE_SCN_CNT_CODE else 0
    struct.pack_into("<III", out, opt + OPT_SIZE_OF_CODE, code, raw_size + reloc_raw, 0)
    out += packed_content + bytes(raw_size - len(packed_content))
    out += blocks + bytes(reloc_raw - len(blocks))
    return bytes(out)


def relayout(data, compact=False, pack=False):
    """Returns the input executable rewritten into the stub's layout."""
    try:
        headers = read_headers(data)
        refuse_file_offsets(data, headers)
        if compact or pack:
            data = compacted(data, headers)
            headers = read_headers(data)
            refuse_file_offsets(data, headers)
        if pack:
            data = packed(data, headers)
            headers = read_headers(data)
            refuse_file_offsets(data, headers)
    except struct.error:
        raise LayoutError("truncated headers") from None
    return relaid(data, headers)


def write_atomically(path, data):
    """Replaces `path` with `data` in one rename, so no reader sees a half-written file."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".pelayout-")
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
        os.chmod(temporary, 0o755)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv):
    mode = argv[1] if argv[1:2] in (["--compact"], ["--pack"]) else None
    arguments = argv[2:] if mode else argv[1:]
    if len(arguments) != 2:
        print("usage: pelayout.py [--compact | --pack] IN.exe OUT.exe", file=sys.stderr)
        return 2
    source, target = arguments
    try:
        with open(source, "rb") as file:
            data = file.read()
    except OSError as error:
        return fail(f"cannot read {source}: {error.strerror}")
    try:
        out = relayout(data, mode == "--compact", mode == "--pack")
    except LayoutError as error:
        return fail(f"{source}: {error}")
    try:
        write_atomically(target, out)
    except OSError as error:
        return fail(f"cannot write {target}: {error.strerror}")
    return 0


def fail(message):
    print(f"pelayout: {message}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
