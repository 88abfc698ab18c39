#!/usr/bin/env python3
"""How long installs take under the emulator (scripts/emulate): a one-member installer, the
sample of examples/ and the 15 MB payload of peer_installers.py, each installed unattended
(`-n FOLDER`, the notice answered) into a fresh drive C: and compared byte for byte with what
`lzhsfx extract` writes. Prints the fastest of the rounds, in wall and CPU seconds.

    bench/emulator_bench.py [--work DIR] [--rounds N]

Nothing here is a test: it prints numbers. Other jobs on the machine add noise.
"""

import argparse
import filecmp
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from peer_installers import make_payload  # noqa: E402

STUB = ROOT / "build" / "win32" / "sfxstub.exe"
TOOL = ROOT / "build" / "release" / "lzhsfx"
EMULATE = ROOT / "scripts" / "emulate"
EXAMPLES = ROOT / "examples"


def build(target, *inputs, options=()):
    subprocess.run([str(TOOL), "build", "--quiet", "--stub", str(STUB), "-o", str(target),
                    *options, *map(str, inputs)], check=True)


def same_trees(a, b):
    compared = filecmp.dircmp(a, b)
    return (not compared.left_only and not compared.right_only and not compared.diff_files
            and all(same_trees(Path(a) / d, Path(b) / d) for d in compared.common_dirs))


def install(installer, work, answers):
    drive_c = work / "drive_c"
    shutil.rmtree(drive_c, ignore_errors=True)
    drive_c.mkdir()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    status = subprocess.run([str(EMULATE), "--drive-c", str(drive_c),
                             *(a for answer in answers for a in ("--answer", answer)),
                             str(installer), "-n", r"C:\out"], stdout=subprocess.DEVNULL).returncode
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    if status != 1:
        raise SystemExit(f"{installer.name}: the install ended with {status}")
    return wall, cpu, drive_c / "out"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", type=Path, default=Path("/tmp/lzhsfx-emulator-bench"))
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    work = args.work
    work.mkdir(parents=True, exist_ok=True)

    one = work / "one"
    shutil.rmtree(one, ignore_errors=True)
    one.mkdir()
    (one / "readme.txt").write_bytes(b"One member, installed under the emulator.\r\n" * 50)
    payload = make_payload(work)
    cases = [
        ("one member", work / "one.exe", [one / "readme.txt"], (), []),
        ("the sample", work / "sample.exe", sorted((EXAMPLES / "sample").iterdir()),
         ("--notice", str(EXAMPLES / "notice.txt"), "--directives", str(EXAMPLES / "setup.txt")),
         ["yes"]),
        ("15 MB payload", work / "payload.exe", sorted(payload.iterdir()), (), []),
    ]
    print(f"{'installer':<16}{'bytes':>12}{'payload':>12}{'wall s':>9}{'CPU s':>8}")
    for name, target, inputs, options, answers in cases:
        build(target, *inputs, options=options)
        expected = work / "expected"
        shutil.rmtree(expected, ignore_errors=True)
        subprocess.run([str(TOOL), "extract", "--quiet", str(target), "-d", str(expected)],
                       check=True, stdout=subprocess.DEVNULL)
        for special in ("!", "$"):
            (expected / special).unlink(missing_ok=True)
        best = None
        for _ in range(args.rounds):
            wall, cpu, out = install(target, work, answers)
            if not same_trees(out, expected):
                raise SystemExit(f"{name}: the emulated install differs from lzhsfx extract")
            best = (wall, cpu) if best is None or wall < best[0] else best
        size = sum(p.stat().st_size for p in expected.rglob("*") if p.is_file())
        print(f"{name:<16}{target.stat().st_size:>12,}{size:>12,}{best[0]:>9.2f}{best[1]:>8.2f}")


if __name__ == "__main__":
    main()
