#!/usr/bin/env python3
"""The instruction-count guard of the tool's speed, and its memory.

Counts the instructions (valgrind's callgrind) that the optimised `lzhsfx` executes to
build an installer from a payload this script generates, per byte of input, and to test
and extract that installer's archive, read as a plain .lzh (the reading of foreign archives
included), per byte of output. The count of `lzhsfx --help`, the cost of starting at all,
is taken off first. Each figure is compared with its budget in instruction_budgets.json:
a count more than 10% over its budget fails, naming the command and both counts. A count
well under its budget is only noted, as a hint to lower the budget.

The same three commands also run without valgrind, and their peak resident memory must
stay within 10% (and 1 MiB) of its budget: memory that grows with the archive or the
input, as a copy of either would, shows here even where few instructions do.

Counts do not depend on the machine's load, so the guard holds on a busy machine; the
times are the benchmarks' business (bench/). The payload is a few MB of text and binary
data made by a fixed generator, so every machine counts the same work.

    LZHSFX=build/release/lzhsfx python3 tests/perf/instruction_guard.py [--update]

--update writes the counts measured as the new budgets.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "tools"))
from test_cli import fake_stub  # noqa: E402  (a stand-in stub, so no Windows build is needed)

LZHSFX = Path(os.environ.get("LZHSFX", ROOT / "build" / "release" / "lzhsfx")).resolve()
BUDGETS = Path(__file__).with_name("instruction_budgets.json")
TOLERANCE = 0.10
TIME = 1600000000
# Fixed, so that any machine counts the same work: with more threads, only the split of
# the work changes.
THREADS = "2"


class Generator:
    """xorshift64*: the same bytes on every machine and Python version."""

    def __init__(self, seed):
        self.state = seed or 1

    def next(self):
        x = self.state
        x ^= (x >> 12)
        x ^= (x << 25) & 0xFFFFFFFFFFFFFFFF
        x ^= (x >> 27)
        self.state = x
        return (x * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF

    def below(self, n):
        return self.next() % n


WORDS = (b"the of and to in is that for it as with was on be by this archive member header "
         b"installer folder file data window table code length block symbol match offset "
         b"record value setup program system version error message read write extract "
         b"0 1 2 10 16 32 64 100 256 1024 4096 65536").split()


def text(g, size):
    out = bytearray()
    while len(out) < size:
        line = b" ".join(WORDS[g.below(len(WORDS))] for _ in range(3 + g.below(12)))
        out += line + b".\r\n"
    return bytes(out[:size])


def binary(g, size):
    """Machine-code-like bytes: small values, repeated runs and structures, some noise."""
    out = bytearray()
    table = [g.next().to_bytes(8, "little") for _ in range(64)]
    while len(out) < size:
        kind = g.below(4)
        if kind == 0:
            out += table[g.below(len(table))][:1 + g.below(8)]
        elif kind == 1:
            out += bytes(g.below(16) for _ in range(1 + g.below(12)))
        elif kind == 2:
            at = len(out) - 1 - g.below(min(len(out), 4096) or 1)
            out += out[at:at + 3 + g.below(30)] if at >= 0 else b"\0"
        else:
            out += g.next().to_bytes(8, "little")[:2 + g.below(6)]
    return bytes(out[:size])


def payload(folder):
    """About 3 MB in 40 files of varied sizes, in three folders; fixed times."""
    g = Generator(0x1DA5F)
    total = 0
    for i in range(40):
        size = [2000, 15000, 50000, 120000, 250000][i % 5] + g.below(1000)
        sub = folder / ["docs", "bin", "lib/x"][i % 3]
        sub.mkdir(parents=True, exist_ok=True)
        path = sub / f"f{i:02}.{'txt' if i % 2 == 0 else 'bin'}"
        path.write_bytes(text(g, size) if i % 2 == 0 else binary(g, size))
        total += size
    for path in sorted(folder.rglob("*"), reverse=True):
        os.utime(path, (TIME, TIME))
    return total


def instructions(command, cwd):
    """The instructions callgrind counts for one run of `command`, which must succeed."""
    r = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                        *map(str, command)], cwd=cwd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    err = r.stderr.decode(errors="replace")
    found = re.findall(r"Collected : (\d+)", err)
    if r.returncode != 0 or not found:
        sys.exit(f"failed: {' '.join(map(str, command))} (status {r.returncode})\n{err}")
    return int(found[-1])


def peak_kib(command, cwd):
    """The peak resident memory of one run of `command`, which must succeed. GNU time
    measures it: a child of this interpreter would count the interpreter's pages as its
    own from before it started the command."""
    with tempfile.NamedTemporaryFile("r") as report:
        status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name,
                                 *map(str, command)], cwd=cwd, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
        if status != 0:
            sys.exit(f"failed: {' '.join(map(str, command))} (status {status})")
        return int(report.read().split()[-1])


def measure(work):
    inputs = work / "in"
    size = payload(inputs)
    stub = work / "stub.exe"
    stub.write_bytes(fake_stub())
    start = instructions([LZHSFX, "--help"], work)
    installer = work / "setup.exe"
    archive = work / "archive.lzh"
    commands = {
        "build": ([LZHSFX, "build", "-q", "--threads", THREADS, "--stub", stub, "-o", installer,
                   "docs", "bin", "lib"], inputs, "per input byte"),
        "test": ([LZHSFX, "test", "-q", "--threads", THREADS, archive], work, "per output byte"),
        "extract": ([LZHSFX, "extract", "-q", "--force", "--threads", THREADS, archive, "-d",
                     work / "out"], work, "per output byte"),
    }
    counts = {}
    for name, (command, cwd, unit) in commands.items():
        counts[f"{name} {unit}"] = (instructions(command, cwd) - start) / size
        counts[f"{name} peak KiB"] = peak_kib(command, cwd)
        if name == "build":
            data = installer.read_bytes()
            archive.write_bytes(data[int.from_bytes(data[512:516], "little"):])
    return counts, size


def main():
    for program in ("valgrind", "/usr/bin/time"):
        if shutil.which(program) is None:
            sys.exit(f"{program} is not installed: scripts/setup installs it")
    update = "--update" in sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        counts, size = measure(Path(tmp))
    print(f"payload {size} bytes")
    if update:
        BUDGETS.write_text(json.dumps({k: round(v, 2) for k, v in counts.items()}, indent=2)
                           + "\n")
        print(f"wrote {BUDGETS}")
    budgets = json.loads(BUDGETS.read_text())
    failed = []
    for what, count in counts.items():
        budget = budgets[what]
        command, unit = what.split(" ", 1)
        memory = unit == "peak KiB"
        line = f"{what}: {count:.2f}, budget {budget:.2f}"
        over = budget * (1 + TOLERANCE) + (1024 if memory else 0)
        if count > over:
            failed.append(f"lzhsfx {command}: {count:.2f} "
                          f"{'KiB at its peak' if memory else 'instructions ' + unit}, more than "
                          f"10% over the budget of {budget:.2f} ({count / budget - 1:+.1%})")
        elif count < budget * (1 - TOLERANCE):
            line += f" ({count / budget - 1:+.1%}: the budget could come down)"
        print(line)
    for f in failed:
        print(f"FAILED: {f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
