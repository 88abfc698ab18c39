#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/NAME/.

Every seed is a valid input: level-2 headers with correct checksums, and packed data
of -lh5-, -lh6- and -lh7- made by jlha (an independent LHA encoder), which also
stands for -lh4- where its matches stay within 4 KiB, and of -lh1- made by the
tool tests' encoder (tests/tools/lh1_encoder.py, proven there with lhasa). Run it
again only to change the seeds; routine fuzzing never writes here.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import lh1_encoder  # noqa: E402
import lzh_craft  # noqa: E402


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def header(method, packed, unpacked, data_crc, name=b"", dirname=b"", os_id=b"W",
           time=1300000000, attribute=0x20, windows_times=False):
    records = [b"\x00\x00\x00"]
    if name:
        records.append(b"\x01" + name)
    if dirname:
        records.append(b"\x02" + dirname)
    if windows_times:
        ft = 116444736000000000 + time * 10000000
        records.append(b"\x41" + struct.pack("<QQQ", ft, ft, ft))
        records.append(b"\x40" + struct.pack("<H", attribute))
    h = bytearray(struct.pack("<H", 0) + method + struct.pack("<III", packed, unpacked, time))
    h += bytes([attribute, 2]) + struct.pack("<H", data_crc) + os_id
    h += struct.pack("<H", len(records[0]) + 2)
    crc_at = len(h) + 1
    for i, r in enumerate(records):
        h += r
        h += struct.pack("<H", len(records[i + 1]) + 2 if i + 1 < len(records) else 0)
    struct.pack_into("<H", h, 0, len(h))
    struct.pack_into("<H", h, crc_at, crc16(bytes(h)))
    return bytes(h)


def stored(name, data, dirname=b"", **kw):
    return header(b"-lh0-", len(data), len(data), crc16(data), name, dirname, **kw) + data


def directory(dirname):
    return header(b"-lhd-", 0, 0, 0, dirname=dirname)


def jlha_members(method, files):
    """(name, data, packed) of every member jlha writes for `files` with `method`."""
    work = tempfile.mkdtemp()
    try:
        for name, data in files:
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        subprocess.run(["jlha", "c" + method, "x.lzh"] + [n for n, _ in files], cwd=work,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(work, "x.lzh"), "rb") as f:
            archive = f.read()
    finally:
        shutil.rmtree(work)
    members, at = [], 0
    by_name = dict(files)
    while at + 2 <= len(archive):
        size = struct.unpack_from("<H", archive, at)[0]
        if size == 0:
            break
        h = archive[at:at + size]
        packed_size = struct.unpack_from("<I", h, 7)[0]
        name, ext = b"", 24
        while True:
            n = struct.unpack_from("<H", h, ext)[0]
            if n == 0:
                break
            if h[ext + 2] == 1:
                name = h[ext + 3:ext + 2 + n - 2]
            ext += n
        members.append((h[2:7], name.decode(), by_name[name.decode()],
                        archive[at + size:at + size + packed_size]))
        at += size + packed_size
    return members


def write(target, seed, data):
    """Writes one seed; a target's folder is emptied the first time, so seeds of other
    origins (as decoder_diff's) are kept."""
    d = os.path.join(CORPUS, target)
    if target not in write.cleared:
        shutil.rmtree(d, ignore_errors=True)
        write.cleared.add(target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, seed), "wb") as f:
        f.write(data)


write.cleared = set()

def main():
    random.seed(1)
    text = (b"This archive installs the sample program. " * 30) + b"\r\n"
    binary = bytes(random.choice(b"abcd\x00\xff") for _ in range(1200))
    small = b"hello, hello, hello world\r\n" * 8
    files = [("readme.txt", text), ("data.bin", binary), ("small.txt", small)]
    packed = {}
    for method in "567":
        for m, name, data, p in jlha_members("o" + method, files):
            assert m == b"-lh%s-" % method.encode(), (name, m)
            packed[(method, name)] = (m, data, p)

    # Decoder: byte 0 the method index into "04567" (+8: to a file), 3 bytes of size.
    def decoder_seed(index, to_file, data, p):
        return bytes([index + (8 if to_file else 0)]) + struct.pack("<I", len(data))[:3] + p
    write("decoder", "lh0_small", decoder_seed(0, True, small, small))
    write("decoder", "lh4_small", decoder_seed(1, True, small, packed[("5", "small.txt")][2]))
    for method, index in (("5", 2), ("6", 3), ("7", 4)):
        for name in ("readme.txt", "data.bin"):
            m, data, p = packed[(method, name)]
            write("decoder", "lh%s_%s" % (method, name.split(".")[0]),
                  decoder_seed(index, name == "readme.txt", data, p))

    # The tool's -lh1- decoder: 3 bytes of size, then the packed data; the last seed
    # has over 0x8000 symbols, so that its tree is rebuilt.
    rebuilt = bytes(random.getrandbits(8) for _ in range(34000))
    for name, data in (("readme", text), ("data", binary), ("small", small),
                       ("rebuilt", rebuilt)):
        write("lh1_decoder", "lh1_" + name,
              struct.pack("<I", len(data))[:3] + lh1_encoder.encode(data))

    def member(method, name, dirname=b"", **kw):
        m, data, p = packed[(method, name)]
        return header(m, len(p), len(data), crc16(data), name.encode(), dirname, **kw) + p

    # Member headers: one option byte (0: no repair), then a chain of members.
    write("member_header", "stored_and_dir",
          b"\0" + directory(b"doc\xff") + stored(b"a.txt", b"aaa", b"doc\xff") + b"\0")
    write("member_header", "windows_records",
          b"\0" + stored(b"readme.txt", small, windows_times=True, os_id=b"M") + b"\0")
    write("member_header", "lh5_member", b"\0" + member("5", "small.txt"))
    write("member_header", "sjis_name", b"\0" + stored("\u8aac\u660e.txt".encode("cp932"), b"x"))

    # Whole runs: two option bytes, then the archive behind the stub.
    notice = stored(b"!", b"Please read this notice.\r\n")
    directives = stored(b"$", b"$WindowTitle=Sample\r\n$InstallDir=C:\\Sample\r\n"
                              b"$ClassTitle=Associate\r\n$Class=.smp,Sample,sample.exe,Sample.File\r\n"
                              b"$GroupTitle=Group\r\n$Group=Sample,Sample,sample.exe,\r\n"
                              b"$Command=sample.exe /setup\r\n$Flag=18\r\n")
    write("archive_pass", "notice_directives_files",
          b"\0\0" + notice + directives + directory(b"doc\xff") +
          stored(b"readme.txt", small, b"doc\xff") + member("5", "data.bin") + b"\0")
    write("archive_pass", "lh6_lh7_existing",
          b"\x80\x02" + member("6", "readme.txt") + member("7", "small.txt", b"sub\xff") + b"\0")
    body = stored(b"a.txt", b"first") + member("5", "small.txt", windows_times=True)
    sums = crc16(b"first") ^ crc16(small)
    write("archive_pass", "checksum_short_names", b"\x44\x10" + struct.pack("<H", sums) + body)

    # Directives: option byte, size byte, then the text.
    write("directives", "all_keywords", b"\x08\xff" + directives[-160:])
    write("directives", "flags_and_breaks",
          b"\x0f\x10$Flag=-1\n$Flag=+257\r$WindowTitle=A\tB\r\n\r\n $Command=x\r\n$AskRegist=")
    write("directives", "long_value", b"\x01\x20$Command=" + b"c" * 300 + b"\r\n$InstallDir=D")

    # Sanitiser: option byte, limit byte, then the path.
    write("sanitise", "short_path", b"\x00\x08C:/Program Files/App/archive.tar.gz")
    write("sanitise", "long_path", b"\x01\x08/a:b?.txt//" + "\u8868\u793a".encode("cp932") + b"/..")
    write("sanitise", "component", b"\x04\x08" + b".profile")
    write("sanitise", "span", b"\x07\x03ab\x81\x5c")

    # Command lines: option byte, then the whole line with the program's name.
    write("tokeniser", "quoted_folder", b"\x00\"C:\\Sfx\\setup.exe\" -c \"C:\\Program Files\\App\"")
    write("tokeniser", "switches", b"\x30setup.exe -N -n- -q x C:\\Dest -n")
    write("tokeniser", "inner_quotes", b"\x00setup ab\"c d\"e\t-c-")
    write("tokeniser", "silent_and_log",
          b"\x00setup.exe -s -lC:\\Logs\\a.log \"-LC:\\My Logs\\b.log\" -s- -S C:\\Dest -lx")
    write("tokeniser", "more_than_1024_tokens", b"\x00setup" + b" -n" * 1100 + b" C:\\Last")

    # Paths: option byte, then install directory, member path, destination, a value.
    write("paths", "macros", b"\x00%WinDir%\\Apps\0doc/readme.txt\0C:\\Dest\0C:\\TEMP\\")
    write("paths", "search_and_work", b"\x56%WORK%\0%Search%/SHARED.DLL\0C:\0")
    write("paths", "program_files", b"\x07%ProgramFiles%\\App\0\\Sys\\a.ini\0C:\\Dest\\\0D:\\Programs")

    # Foreign archives: whole archives as other systems' LHA tools write them.
    L0, L1, L2 = lzh_craft.level0, lzh_craft.level1, lzh_craft.level2
    for level in "012":
        work = tempfile.mkdtemp()
        try:
            os.makedirs(os.path.join(work, "d", "empty"))
            for name, data in files:
                with open(os.path.join(work, "d", name), "wb") as f:
                    f.write(data)
            for folder, dirs, names in os.walk(work):  # the same seeds at every run
                for name in dirs + names:
                    os.utime(os.path.join(folder, name), (1600000000, 1600000000))
            subprocess.run(["jlha", "a%so5" % level, "x.lzh", "d"], cwd=work, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(os.path.join(work, "x.lzh"), "rb") as f:
                write("foreign_archive", "jlha_level" + level, f.read())
        finally:
            shutil.rmtree(work)
    write("foreign_archive", "amiga_atari_os9", lzh_craft.archive(
        L2(b"hello\n", name=b"hello.txt", directory=b"subdir\xffsubdir2", os_id=b"A"),
        L0(b"dir/note.txt\0A comment", b"commented"),
        L2(b"no crc", name=b"a.txt", directory=b"d\xff", common=False, os_id=b"a"),
        L2(b"short", name=b"s.txt", common=False, size_error=-2, os_id=b"K")))
    write("foreign_archive", "folders_and_padding", lzh_craft.archive(
        L0(b"empty/", method=b"-lh0-"), L1(b"os9dir\\", method=b"-lh0-", os_id=b"K"),
        L2(b"\0\0\x05EA.TYPE", name=b"FOLDER", attribute=0x10, os_id=b"2"),
        L2(b"inside", name=b"x.txt", directory=b"FOLDER\xff", os_id=b"2"),
        end=b"\0" + b"\xe5" * 40))
    write("foreign_archive", "big_level3_root", lzh_craft.archive(
        L2(b"\0" * 8, name=b"big", method=b"-lh5-", sizes64=(8, 1 << 33)),
        lzh_craft.level3(b"three", name=b"b.txt"),
        L2(b"root", name=b"a.txt", directory=b"\xffUntitled\xff", os_id=b"m"),
        L0(b"../up.txt", b"up")))
    write("foreign_archive", "lh1", lzh_craft.archive(
        lh1_encoder.level0_member(b"old.txt", small), L0(b"new.txt", b"stored")))
    write("foreign_archive", "lh1_level2", lzh_craft.archive(
        L2(lh1_encoder.encode(small), name=b"old.txt", method=b"-lh1-", unpacked=len(small),
           crc=crc16(small), os_id=b"m"), L2(b"stored", name=b"new.txt", os_id=b"m")))
    write("foreign_archive", "folders_without_names", lzh_craft.archive(
        L1(b"", records=[(0x02, b"Empty\xff")], os_id=b"A"),
        L0(b"", method=b"-lhd-", attribute=0x10), L0(b"a.txt", b"first")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
