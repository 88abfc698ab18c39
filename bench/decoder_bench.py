#!/usr/bin/env python3
"""Decoding speed and start-up cost, measured side by side.

    bench/decoder_bench.py [--work DIR] [--rounds N] [--no-wine]

1. `lzhsfx test` against `7z t`, `lhasa t` and `lsar -t` on the same archives: the corpus of
   encoder_bench.sh packed by jlha (co5, co6, co7) and by lzhsfx (-lh5-, -lh6-, -lh7-). The
   programs run in turn within each round, so that a change in the machine's load touches
   all of them alike; the medians of the rounds and each peer's ratio to lzhsfx are printed.
2. The real stub extracting the -lh7- payload under Wine (`-n FOLDER`, no dialog) against
   `lzhsfx extract` of the same installer on the host. A Wine process costs a start-up of its
   own that no program can shorten, so the stub is also timed on an installer of one small
   member, and that run's median is taken off.
3. An installer of 10,000 members reaching its dialog under Wine, against one of a single
   member: the time from the start until the UI helper, started at the same moment, finds
   the dialog. The helper's own start-up is in it, so it bounds the time from above.

The tool is built optimised, without sanitizers, in a tree of its own under the work
directory; the stub is build/win32/sfxstub.exe. Nothing here is a test: it prints numbers.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "wine"))

STUB = ROOT / "build" / "win32" / "sfxstub.exe"
PEERS = {
    "7z t": lambda a: ["7z", "t", "-bso0", "-bsp0", str(a)],
    "lhasa t": lambda a: ["lhasa", "tq", str(a)],
    "lsar -t": lambda a: ["lsar", "-t", str(a)],
}


def run(command, check=True, **options):
    return subprocess.run([str(c) for c in command], check=check, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, **options)


def timed(command, check=True, **options):
    """Seconds of wall time; with check off, also the exit status."""
    start = time.perf_counter()
    status = run(command, check=check, **options).returncode
    elapsed = time.perf_counter() - start
    return elapsed if check else (elapsed, status)


def build_tool(work):
    tree = work / "build-decoder"
    run(["cmake", "-S", ROOT, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DLZHSFX_SANITIZE=OFF"])
    run(["cmake", "--build", tree, "--target", "lzhsfx"])
    return tree / "lzhsfx"


def corpus(work):
    if not (work / "corpus").is_dir():
        run([ROOT / "bench" / "encoder_bench.sh", work], env=dict(os.environ, REPEAT="1"))
    files = sorted(str(p.relative_to(work / "corpus")) for p in (work / "corpus").rglob("*")
                   if p.is_file())
    return files, sum((work / "corpus" / f).stat().st_size for f in files)


def archive_part(installer, target):
    """The plain archive behind an installer's stub, for the peers."""
    data = installer.read_bytes()
    offset = int.from_bytes(data[0x200:0x204], "little")
    target.write_bytes(data[offset:])
    return target


def make_archives(tool, work, files):
    archives = {}
    for level in (5, 6, 7):
        jlha = work / f"jlha-lh{level}.lzh"
        jlha.unlink(missing_ok=True)
        run(["jlha", f"co{level}q1", jlha, *files], cwd=work / "corpus")
        archives[f"jlha co{level}"] = jlha
        setup = work / f"lzhsfx-lh{level}.exe"
        run([tool, "build", "-q", "--stub", STUB, "--method", f"lh{level}", "-o", setup,
             "text", "bin", "lib"], cwd=work / "corpus")
        archives[f"lzhsfx -lh{level}-"] = archive_part(setup, work / f"lzhsfx-lh{level}.lzh")
    return archives


def median(values):
    return statistics.median(values)


def bench_test(tool, archives, rounds):
    print(f"\n1. decoding every member and checking it, median of {rounds} alternating rounds")
    print(f"{'archive':16} {'lzhsfx test':>12}" + "".join(f"{p:>12}" for p in PEERS)
          + "   ratios peer/lzhsfx")
    for name, archive in archives.items():
        times = {"lzhsfx": []} | {p: [] for p in PEERS}
        failed = set()
        for _ in range(rounds):
            times["lzhsfx"].append(timed([tool, "test", "-q", archive]))
            for peer, command in PEERS.items():
                elapsed, status = timed(command(archive), check=False)
                times[peer].append(elapsed)
                if status:
                    failed.add(peer)
        ours = median(times["lzhsfx"])
        ratios = "  ".join(f"{p.split()[0]} {median(times[p]) / ours:.2f}" for p in PEERS)
        print(f"{name:16} {ours:11.3f}s" + "".join(f"{median(times[p]):11.3f}s" for p in PEERS)
              + f"   {ratios}")
        for peer in sorted(failed):
            print(f"  ({peer} reported faults in {name}: its time is of a run that gave up "
                  "on some members)")


def bench_wine(tool, work, rounds):
    import installer
    import winehelper
    from installer import Member

    # A prefix of its own; the helper programs of the Wine tests from the stub's build.
    os.environ.setdefault("WINETEST_DIR", str(work / "wine"))
    for variable, name in (("UIHELPER", "uihelper.exe"), ("MSGBOX_PROBE", "msgbox_probe.exe")):
        os.environ.setdefault(variable, str(STUB.parent / "tests" / "wine" / name))
    (work / "wine").mkdir(exist_ok=True)
    with winehelper.WineSession() as wine:
        folder = wine.drive_c / "bench"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        payload = folder / "payload.exe"
        shutil.copy(work / "lzhsfx-lh7.exe", payload)
        small = installer.make_installer(STUB, folder / "small.exe",
                                         installer.archive([Member("a.txt", b"a")]))
        dest = folder / "dest"

        def stub_run(path):
            shutil.rmtree(dest, ignore_errors=True)
            start = time.perf_counter()
            status = wine.spawn(path, "-n", wine.windows_path(dest)).wait(120)
            elapsed = time.perf_counter() - start
            assert status == 1, f"{path.name} ended with {status}"
            return elapsed

        def host_run():
            out = work / "extract"
            shutil.rmtree(out, ignore_errors=True)
            return timed([tool, "extract", "-q", payload, "-d", out])

        stub, empty, host = [], [], []
        stub_run(payload)  # the first run fills the caches
        for _ in range(rounds):
            stub.append(stub_run(payload))
            empty.append(stub_run(small))
            host.append(host_run())
        s, e, h = median(stub), median(empty), median(host)
        print(f"\n2. extracting the -lh7- payload, median of {rounds} alternating rounds")
        print(f"stub under Wine {s:.3f}s, of which {e:.3f}s is a one-member installer's run; "
              f"lzhsfx extract {h:.3f}s")
        print(f"stub / lzhsfx extract: {(s - e) / h:.2f} without Wine's start-up, "
              f"{s / h:.2f} with it")

        many = installer.make_installer(
            STUB, folder / "many.exe",
            installer.archive([Member(f"f{i:05}.txt", b"%d" % i, dir=f"d{i // 500:02}")
                               for i in range(10000)]), window_title="多数")
        one = installer.make_installer(STUB, folder / "one.exe",
                                       installer.archive([Member("a.txt", b"a")]),
                                       window_title="多数")

        def to_dialog(path):
            # Cancel ends each run, so that no window of one is found by the next.
            start = time.perf_counter()
            program = wine.spawn(path)
            try:
                wine.ui("wait", "多数", 30000)
                elapsed = time.perf_counter() - start
                wine.ui("wait", "多数", 30000, "click", "2")
                assert program.wait(30) == 0
                return elapsed
            finally:
                program.kill()

        to_dialog(many)
        big, small_runs = [], []
        for _ in range(rounds):
            big.append(to_dialog(many))
            small_runs.append(to_dialog(one))
        b, o = median(big), median(small_runs)
        print(f"\n3. start to dialog, median of {rounds} alternating rounds")
        print(f"10,000 members {b:.3f}s, one member {o:.3f}s ({many.stat().st_size} bytes)")
        print("  (until the UI helper, started at once, finds the dialog: an upper bound that "
              "holds the helper's own start-up)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", type=Path, default=Path("/tmp/lzhsfx-bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-wine", action="store_true")
    args = parser.parse_args()
    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    if not STUB.is_file():
        sys.exit(f"no stub at {STUB}: run scripts/build first")

    tool = build_tool(work)
    files, size = corpus(work)
    print(f"machine: {os.cpu_count()} x {cpu_name()}, {platform.system()} "
          f"{platform.release()}, load {open('/proc/loadavg').read().split()[:3]}")
    print(f"corpus: {len(files)} files, {size} bytes")
    archives = make_archives(tool, work, files)
    for name, archive in archives.items():
        print(f"  {name:16} {archive.stat().st_size:>10} bytes")
    bench_test(tool, archives, args.rounds)
    if not args.no_wine:
        bench_wine(tool, work, args.rounds)


def cpu_name():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


if __name__ == "__main__":
    main()
