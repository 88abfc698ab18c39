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

Usage: pelayout.py IN.exe OUT.exe  (OUT is replaced atomically)
"""

import os
import struct
import sys
import tempfile
from dataclasses import dataclass

SETTINGS_OFFSET = 0x200
SETTINGS_SIZE = 603
DOS_PROGRAM_OFFSET = 0x460
PE_OFFSET = 0x4D0

DOS_HEADER_PARAGRAPHS = SETTINGS_OFFSET // 16
DOS_STACK_BYTES = 0x100

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
PE32_MAGIC = 0x10B
CERTIFICATE_DIRECTORY = 4
DEBUG_DIRECTORY = 6

COFF_HEADER = struct.Struct("<HHIIIHH")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
SECTION_POINTER_FIELD = 20  # PointerToRawData within a section header

# Offsets within the PE32 optional header.
OPT_FILE_ALIGNMENT = 36
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


def relayout(data):
    """Returns the input executable rewritten into the stub's layout."""
    try:
        headers = read_headers(data)
    except struct.error:
        raise LayoutError("truncated headers") from None
    refuse_file_offsets(data, headers)
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
    if len(argv) != 3:
        print("usage: pelayout.py IN.exe OUT.exe", file=sys.stderr)
        return 2
    source, target = argv[1], argv[2]
    try:
        with open(source, "rb") as file:
            data = file.read()
    except OSError as error:
        return fail(f"cannot read {source}: {error.strerror}")
    try:
        out = relayout(data)
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
