#!/usr/bin/env python3
"""Speed and peak memory of the tool's reading commands on large archives.

    bench/read_bench.py [--work DIR] [--size-mib N] [--rounds N] [--tool NAME=PATH ...]
                        [--archive PATH ...] [--build-input] [--input DIR]

Without --archive, a payload of text and binaries taken from this machine is generated
under the work directory (every copy of the machine's files in a folder of its own, until
the payload packs to at least --size-mib MiB with `jlha co5`) and packed with `jlha co5`;
--kinds adds co6 and co7 archives of the same payload. Each tool (the release build
by default; several tools compare side by side, as NAME=PATH) runs `list`, `test`,
`extract` and `build --from-archive` on each archive, and `7z t` runs beside them within
each round, so a change in the machine's load touches all alike. Printed: the medians of
the rounds of wall-clock and CPU seconds (user and system), the largest peak resident
memory (/usr/bin/time's %M, everything the process kept resident, the archive's pages
included if it had mapped them), and the ratio of the `7z t` time to that of `test` and
`extract` (above 1: faster than 7z). With --build-input, `build` from the payload's
folders (or from those of --input DIR) runs too (default method and level).

Nothing here is a test: it prints numbers.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from decoder_bench import cpu_name

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "build" / "win32" / "sfxstub.exe"
DEFAULT_TOOL = ROOT / "build" / "release" / "lzhsfx"

# Files of at most this size are taken from these folders, binaries and text.
SOURCES = ["/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/include", "/usr/share/doc",
           "/usr/share/man"]
LARGEST = 16 << 20


def machine_files():
    """(path, size) of regular files with ASCII names, in a fixed order."""
    files = []
    for top in SOURCES:
        for folder, dirs, names in os.walk(top):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(folder, name)
                if not path.isascii() or os.path.islink(path) or not os.path.isfile(path):
                    continue
                size = os.path.getsize(path)
                if 0 < size <= LARGEST:
                    files.append((path, size))
    return files


def generate(work, size_mib, kinds):
    """The payload folder and its jlha archives; made once per size and kept."""
    payload = work / f"payload-{size_mib}"
    archives = {kind: work / f"jlha-{kind}-{size_mib}.lzh" for kind in kinds}
    done = payload / ".complete"
    if not done.exists():
        shutil.rmtree(payload, ignore_errors=True)
        payload.mkdir(parents=True)
        files = machine_files()
        pool = sum(size for _, size in files)
        # Machine files pack to about a third; copies are added until the packed size
        # is reached with a margin.
        copies = max(1, -(-size_mib * (1 << 20) * 34 // 10 // pool))
        for copy in range(copies):
            for path, _ in files:
                target = payload / f"copy{copy}" / path.lstrip("/")
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(path, target)
        done.write_text("")
    for kind, archive in archives.items():
        if not archive.exists():
            part = archive.with_suffix(".part")
            part.unlink(missing_ok=True)
            folders = sorted(p.name for p in payload.iterdir() if p.is_dir())
            subprocess.run(["jlha", f"{kind}q1", str(part), *folders], cwd=payload, check=True,
                           stdout=subprocess.DEVNULL)
            part.rename(archive)
    return payload, archives


def measured(command, cwd=None):
    """Wall seconds, CPU seconds and peak resident KiB of one run."""
    with tempfile.NamedTemporaryFile("r") as report:
        status = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", report.name,
                                 *map(str, command)], cwd=cwd, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
        wall, user, system, peak = report.read().split()[-4:]
    if status != 0:
        sys.exit(f"failed ({status}): {' '.join(map(str, command))}")
    return float(wall), float(user) + float(system), int(peak)


def commands(tool, archive, scratch):
    return {
        "list": [tool, "list", archive],
        "test": [tool, "test", "-q", archive],
        "extract": [tool, "extract", "-q", archive, "-d", scratch / "out"],
        "build --from-archive": [tool, "build", "-q", "--stub", STUB, "-o",
                                 scratch / "setup.exe", "--from-archive", archive],
    }


def fresh(scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)


def bench(tools, archives, rounds, work, payload):
    scratch = work / "scratch"
    print(f"median of {rounds} rounds: wall s, CPU s, peak resident MiB; "
          "7z/x: the `7z t` wall time over this command's")
    for name, archive in archives.items():
        size = archive.stat().st_size
        print(f"\n{name}: {archive.name}, {size / (1 << 20):.1f} MiB")
        results = {}
        for _ in range(rounds):
            results.setdefault(("7z", "t"), []).append(
                measured(["7z", "t", "-bso0", "-bsp0", archive]))
            for label, tool in tools.items():
                for what, command in commands(tool, archive, scratch).items():
                    fresh(scratch)
                    results.setdefault((label, what), []).append(measured(command))
        shutil.rmtree(scratch, ignore_errors=True)
        seven = statistics.median(r[0] for r in results[("7z", "t")])
        print(f"  {'':10} {'command':22} {'wall':>8} {'CPU':>8} {'peak MiB':>9} {'7z/x':>6}")
        for (label, what), runs in results.items():
            wall = statistics.median(r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs)
            peak = max(r[2] for r in runs) / 1024
            ratio = f"{seven / wall:6.2f}" if what in ("test", "extract") else ""
            print(f"  {label:10} {what:22} {wall:8.2f} {cpu:8.2f} {peak:9.1f} {ratio}")
    if payload is not None:
        folders = sorted(p.name for p in payload.iterdir() if p.is_dir())
        size = sum(f.stat().st_size for f in payload.rglob("*") if f.is_file())
        print(f"\nbuild from the payload's folders: {size / (1 << 20):.1f} MiB")
        for label, tool in tools.items():
            runs = []
            for _ in range(rounds):
                fresh(scratch)
                runs.append(measured([tool, "build", "-q", "--stub", STUB, "-o",
                                      scratch / "setup.exe", *folders], cwd=payload))
            installer = (scratch / "setup.exe").stat().st_size / (1 << 20)
            print(f"  {label:10} {'build':22} {statistics.median(r[0] for r in runs):8.2f} "
                  f"{statistics.median(r[1] for r in runs):8.2f} "
                  f"{max(r[2] for r in runs) / 1024:9.1f}  installer {installer:.1f} MiB")
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", type=Path, default=Path("/tmp/lzhsfx-read-bench"))
    parser.add_argument("--size-mib", type=int, default=1024,
                        help="packed size of the generated co5 archive (default 1024)")
    parser.add_argument("--kinds", nargs="+", default=["co5"], choices=["co5", "co6", "co7"])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--tool", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--archive", action="append", default=[], type=Path)
    parser.add_argument("--build-input", action="store_true",
                        help="also time `build` from the generated payload")
    parser.add_argument("--input", type=Path, help="time `build` from the folders in this one")
    args = parser.parse_args()
    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    if not STUB.is_file():
        sys.exit(f"no stub at {STUB}: run scripts/build first")
    tools = dict(t.split("=", 1) for t in args.tool) or {"lzhsfx": str(DEFAULT_TOOL)}
    payload = None
    if args.archive:
        archives = {a.stem: a.resolve() for a in args.archive}
    else:
        payload, archives = generate(work, args.size_mib, args.kinds)
        if not args.build_input:
            payload = None
    if args.input:
        payload = args.input.resolve()
    print(f"machine: {os.cpu_count()} x {cpu_name()}, {platform.system()} "
          f"{platform.release()}, load {open('/proc/loadavg').read().split()[:3]}")
    bench(tools, archives, args.rounds, work, payload)


if __name__ == "__main__":
    main()
