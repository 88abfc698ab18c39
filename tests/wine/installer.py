"""Makes installers for the Wine tests: the built stub with a settings record at offset 512
and a level-2 LZH archive behind it. Members are stored (-lh0-) or directory entries, or
come from an archive another encoder made; headers can be damaged on purpose."""

import struct
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from lzh_craft import crc16  # noqa: E402,F401  (CRC-16/ARC, shared with the tool's tests)

SETTINGS_OFFSET = 512
SETTINGS_SIZE = 603
EPOCH_1601 = 116444736000000000  # FILETIME of 1970-01-01

# Flags bits of the settings record.
AUTO_START, OVERWRITE_SILENTLY, ARCHIVE_CHECKSUM, ASK_OFF = 0x01, 0x02, 0x04, 0x08


def sjis(text):
    return text.encode("cp932") if isinstance(text, str) else text


@dataclass
class Member:
    """One archive member. Names are str (stored as Shift-JIS) or bytes; `dir` uses "/" and
    is stored with the 0xFF separators of LZH directory names."""
    name: object = b""
    data: bytes = b""
    dir: object = b""
    directory: bool = False
    time: int = 1300000000
    attribute: int = 0x20
    file_times: tuple = None  # (creation, last write, last access) as Unix seconds
    data_crc: int = None
    bad_header_crc: bool = False

    def header(self):
        name, folder = sjis(self.name), sjis(self.dir).replace(b"/", b"\xff")
        if folder and not folder.endswith(b"\xff"):
            folder += b"\xff"
        records = [b"\x00\x00\x00"]
        if name:
            records.append(b"\x01" + name)
        if folder:
            records.append(b"\x02" + folder)
        records.append(b"\x40" + struct.pack("<H", self.attribute))
        if self.file_times:
            records.append(b"\x41" + b"".join(
                struct.pack("<Q", EPOCH_1601 + t * 10000000) for t in self.file_times))
        method = b"-lhd-" if self.directory else b"-lh0-"
        data = b"" if self.directory else self.data
        crc = crc16(data) if self.data_crc is None else self.data_crc
        head = bytearray(struct.pack("<H5sIIIBBHc", 0, method, len(data), len(data), self.time,
                                     self.attribute, 2, crc, b"W"))
        head += struct.pack("<H", len(records[0]) + 2)
        crc_at = len(head) + 1
        for i, record in enumerate(records):
            head += record
            head += struct.pack("<H", len(records[i + 1]) + 2 if i + 1 < len(records) else 0)
        struct.pack_into("<H", head, 0, len(head))
        header_crc = crc16(head) ^ (0x0101 if self.bad_header_crc else 0)
        struct.pack_into("<H", head, crc_at, header_crc)
        return bytes(head), data

    def bytes(self):
        head, data = self.header()
        return head + data

    def data_crc_value(self):
        return crc16(b"" if self.directory else self.data) if self.data_crc is None \
            else self.data_crc


def archive(members, checksum=False, end_mark=True):
    """The archive bytes: an optional checksum, the members and the end mark."""
    body = b"".join(m.bytes() for m in members) + (b"\x00" if end_mark else b"")
    if not checksum:
        return body
    xor = 0
    for m in members:
        xor ^= m.data_crc_value()
    return struct.pack("<H", xor) + body


def jlha_archive(folder, method=5):
    """An archive of `folder`'s contents made by jlha (level 2, -lh5-/-lh6-/-lh7-)."""
    folder = Path(folder)
    target = folder.parent / f"{folder.name}.lh{method}.lzh"
    target.unlink(missing_ok=True)
    entries = sorted(p.name for p in folder.iterdir())
    subprocess.run(["jlha", f"co{method}", str(target), *entries], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return target.read_bytes()


def settings(archive_offset, window_title=b"", install_title=b"", install_dir=b"",
             command=b"", flags=0, restore_attributes=0):
    """The 603-byte settings record."""
    return struct.pack("<I41s41s256s259sBB", archive_offset, sjis(window_title),
                       sjis(install_title), sjis(install_dir), sjis(command), flags,
                       restore_attributes)


def make_installer(stub, target, archive_bytes, archive_offset=None, **fields):
    """Writes stub + settings + archive to `target`. The archive starts right behind the
    stub unless `archive_offset` says otherwise."""
    image = bytearray(Path(stub).read_bytes())
    offset = len(image) if archive_offset is None else archive_offset
    image[SETTINGS_OFFSET:SETTINGS_OFFSET + SETTINGS_SIZE] = settings(offset, **fields)
    Path(target).write_bytes(bytes(image) + archive_bytes)
    return Path(target)


def member_methods(archive_bytes):
    """The (method, name) of every member of a level-2 archive, in order: what an encoder
    chose for each file. The name is the directory name, with "/" for its separators,
    followed by the file name."""
    found, at = [], 0
    while at + 2 <= len(archive_bytes):
        size, = struct.unpack_from("<H", archive_bytes, at)
        if size == 0:
            break
        method = archive_bytes[at + 2:at + 7].decode("ascii")
        packed, = struct.unpack_from("<I", archive_bytes, at + 7)
        names = {}
        record = at + 24
        while True:
            record_size, = struct.unpack_from("<H", archive_bytes, record)
            if record_size == 0:
                break
            kind = archive_bytes[record + 2]
            if kind in (0x01, 0x02):
                names[kind] = archive_bytes[record + 3:record + record_size].replace(b"\xff", b"/")
            record += record_size
        found.append((method, (names.get(0x02, b"") + names.get(0x01, b"")).decode("cp932")))
        at += size + packed
    return found
