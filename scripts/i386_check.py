"""Finds out whether this machine runs 32-bit x86 programs, which Wine needs.

Some kernels are built or booted without their 32-bit support ("32-bit emulation disabled"
in the kernel log): every i386 program then fails with "Exec format error", and Wine with
exit status 126. This check runs a tiny i386 Linux program of its own, so it depends on no
installed package. LZHSFX_FORCE_EMULATOR=1 makes it answer as such a machine would.

Run as a script it prints nothing and exits 0 when the machine runs them, else prints the
one-line reason and exits 1.
"""

import errno
import functools
import os
import struct
import subprocess
import sys
import tempfile

FORCE_VARIABLE = "LZHSFX_FORCE_EMULATOR"
_BASE = 0x08048000
# mov eax, 1 (exit); xor ebx, ebx (status 0); int 0x80
_CODE = bytes.fromhex("b801000000" "31db" "cd80")


def _program():
    """A static i386 ELF executable of one loadable segment that exits with status 0."""
    header_size, segment_header_size = 52, 32
    entry = _BASE + header_size + segment_header_size
    size = header_size + segment_header_size + len(_CODE)
    elf = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    elf += struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, header_size, 0, 0, header_size,
                       segment_header_size, 1, 0, 0, 0)
    elf += struct.pack("<IIIIIIII", 1, 0, _BASE, _BASE, size, size, 5, 0x1000)
    return elf + _CODE


@functools.cache
def reason_unavailable():
    """None when 32-bit x86 programs run here, else why not, in a few words."""
    if os.environ.get(FORCE_VARIABLE, "") not in ("", "0"):
        return f"{FORCE_VARIABLE} is set"
    with tempfile.TemporaryDirectory(prefix="i386-check") as folder:
        path = os.path.join(folder, "exit0")
        with open(path, "wb") as out:
            out.write(_program())
        os.chmod(path, 0o700)
        try:
            status = subprocess.run([path], timeout=20).returncode
        except OSError as error:
            if error.errno == errno.ENOEXEC:
                return ("this machine's kernel cannot run 32-bit x86 programs "
                        "(Exec format error; its 32-bit emulation is disabled)")
            return f"a 32-bit x86 program could not be started ({error.strerror})"
        except subprocess.TimeoutExpired:
            return "a 32-bit x86 program did not end"
    if status != 0:
        return f"a 32-bit x86 program that exits with 0 ended with {status}"
    return None


def main():
    reason = reason_unavailable()
    if reason is None:
        return 0
    print(reason)
    return 1


if __name__ == "__main__":
    sys.exit(main())
