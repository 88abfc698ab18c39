"""Byte-by-byte LZH members as other systems' LHA tools write them, quirks included: level-0
and level-1 headers with their MS-DOS times and checksums, level-2 headers with or without the
common record, with a wrong header size or 64-bit sizes, and level-3 headers. Shared by the
tool's tests and the Wine tests."""

import struct

DOS_TIME = (2020 - 1980) << 25 | 9 << 21 | 13 << 16 | 12 << 11 | 26 << 5 | 20  # 2020-09-13
UNIX_TIME = 1600000000  # the same moment, 2020-09-13 12:26:40 UTC


def crc16(data, crc=0):
    """CRC-16/ARC, bit by bit."""
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def _fixed(method, packed, unpacked, time, attribute, level):
    return struct.pack("<5sIIIBB", method, packed, unpacked, time, attribute, level)


def level0(name, data=b"", method=b"-lh0-", attribute=0x20, time=DOS_TIME, unpacked=None,
           crc=None):
    """A level-0 member: the whole path, as stored, in the fixed part."""
    size = len(data) if unpacked is None else unpacked
    body = _fixed(method, len(data), size, time, attribute, 0) + bytes([len(name)]) + name
    body += struct.pack("<H", crc16(data) if crc is None else crc)
    return bytes([len(body), sum(body) & 0xFF]) + body + data


def level1(name, data=b"", method=b"-lh0-", records=(), os_id=b"U", attribute=0x20,
           time=DOS_TIME, unpacked=None, crc=None):
    """A level-1 member: the name in the fixed part, then extended records (type, body) that
    its packed size counts, then the data."""
    size = len(data) if unpacked is None else unpacked
    chain = _chain(records, 2)
    body = _fixed(method, len(data) + len(chain) - 2, size, time, attribute, 1)
    body += bytes([len(name)]) + name + struct.pack("<H", crc16(data) if crc is None else crc)
    body += os_id + chain[:2]
    return bytes([len(body), sum(body) & 0xFF]) + body + chain[2:] + data


def _chain(records, width):
    """The first-record size field and the records, each followed by the next one's size."""
    fmt = "<H" if width == 2 else "<I"
    sizes = [1 + len(body) + width for _, body in records] + [0]
    out = struct.pack(fmt, sizes[0])
    for i, (kind, body) in enumerate(records):
        out += bytes([kind]) + body + struct.pack(fmt, sizes[i + 1])
    return out


def level2(data=b"", name=None, directory=None, method=b"-lh0-", records=(), os_id=b"U",
           attribute=0x20, time=UNIX_TIME, unpacked=None, crc=None, common=True,
           size_error=0, sizes64=None, extra_packed=None):
    """A level-2 member. `directory` is stored as given (0xFF separators, a trailing one or
    not); `common` adds the record with the header CRC; `size_error` is added to the header
    size field after the CRC is made over the true header; `sizes64` (packed, unpacked) adds
    the 0x42 record and puts their low 32 bits in the fixed part."""
    size = len(data) if unpacked is None else unpacked
    packed = len(data) if extra_packed is None else extra_packed
    all_records = [(0x00, b"\0\0")] if common else []
    if name is not None:
        all_records.append((0x01, name))
    if directory is not None:
        all_records.append((0x02, directory))
    if sizes64 is not None:
        all_records.append((0x42, struct.pack("<QQ", *sizes64)))
        packed, size = sizes64[0] & 0xFFFFFFFF, sizes64[1] & 0xFFFFFFFF
    all_records += list(records)
    head = bytearray(struct.pack("<H", 0) + _fixed(method, packed, size, time, attribute, 2))
    head += struct.pack("<H", crc16(data) if crc is None else crc) + os_id
    head += _chain(all_records, 2)
    if len(head) % 256 == 0:
        head += b"\0"  # a size of a multiple of 256 would start with the end mark's zero
    struct.pack_into("<H", head, 0, len(head))
    if common:
        struct.pack_into("<H", head, 27, crc16(bytes(head)))
    struct.pack_into("<H", head, 0, len(head) + size_error)
    return bytes(head) + data


def level3(data=b"", name=b"", method=b"-lh0-", os_id=b"U", time=UNIX_TIME):
    """A level-3 member: 4-byte header size and 4-byte record sizes."""
    records = [(0x00, b"\0\0"), (0x01, name)]
    head = bytearray(struct.pack("<H", 4) + _fixed(method, len(data), len(data), time, 0x20, 3))
    head += struct.pack("<H", crc16(data)) + os_id + struct.pack("<I", 0) + _chain(records, 4)
    struct.pack_into("<I", head, 24, len(head))
    struct.pack_into("<H", head, 33, crc16(bytes(head)))
    return bytes(head) + data


def archive(*members, end=b"\0"):
    return b"".join(members) + end


def macbinary(name, data, resource=b""):
    """A MacBinary II header and the forks it describes, padded to 128 bytes each."""
    head = bytearray(128)
    head[1] = len(name)
    head[2:2 + len(name)] = name
    head[65:73] = b"TEXTttxt"
    struct.pack_into(">II", head, 83, len(data), len(resource))
    head[122] = head[123] = 0x81
    struct.pack_into(">H", head, 124, _crc_ccitt(bytes(head[:124])))

    def pad(b):
        return b + bytes(-len(b) % 128)
    return bytes(head) + pad(data) + (pad(resource) if resource else b"")


def _crc_ccitt(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc
