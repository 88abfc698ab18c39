#!/usr/bin/env python3
"""Our installer against NSIS 3, side by side: size, build time and unattended install time.

    bench/peer_installers.py [--work DIR] [--rounds N] [--levels]

One payload of about 15 MB picked from this machine (texts, binaries, libraries and a tree of
headers; every `step`th file of a sorted list, as encoder_bench.sh picks its corpus, so the
same machine gives the same payload) is packed three ways:
  - `lzhsfx build` with its defaults (-lh7-, level 6, one thread per processor), with an
    install folder;
  - makensis with `SetCompressor zlib` and with `SetCompressor /SOLID lzma`, a script that
    puts the payload into $INSTDIR (a directory page and the progress page, as ours has).
The builds run in turn within each round, and so do the installs under Wine (one prefix,
windows unmanaged, no window manager): ours `setup.exe -n FOLDER`, NSIS's `/S /D=FOLDER`,
and ours silent, `setup.exe -s FOLDER` (no window at all), against NSIS's `/S`.
Every install is compared byte for byte with the payload. Medians of the rounds are printed.

Fixed costs are measured the same way for both: Wine's start-up is the run of a trivial
program (msgbox_probe.exe --platform); an empty NSIS installer (no files, per compressor)
gives NSIS's overhead in bytes and in install time; ours is the stub in front of the
archive, and an installer of one small member.

Our dialog presses OK by itself 700 ms after it opens. That wait is measured, not assumed:
one more run per round is traced by Wine's relay channel, limited to the few user32 calls
the installer makes around its timer and its progress texts, with time stamps. SetTimer to
the KillTimer of its WM_TIMER is the wait taken off our time; the same trace gives the time
spent in the progress texts and the message pumping between them. The tracing slows the
traced calls a little, so those shares are upper bounds; the timed runs are not traced.

With --levels the build is also timed at other methods and levels, and single-threaded, to
show what the build time depends on. Other jobs on the machine add noise to every figure.
Nothing here is a test: it prints numbers.
"""

import argparse
import filecmp
import gzip
import hashlib
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "wine"))

STUB = ROOT / "build" / "win32" / "sfxstub.exe"
TOOL = ROOT / "build" / "release" / "lzhsfx"
HELPERS = ROOT / "build" / "win32" / "tests" / "wine"
PAYLOAD_PARTS = ("text", "bin", "lib", "include")
NSIS_METHODS = {"zlib": "zlib", "lzma": "/SOLID lzma"}
AUTO_START_MS = 700
# The silent install of our installer, timed beside the others.
SILENT = "lzhsfx -lh7- silent"

# The calls around the dialog's timer and its progress texts; nothing else is traced.
TRACED = ("SetTimer", "KillTimer", "SetDlgItemTextA", "PeekMessageA", "IsDialogMessageA",
          "TranslateMessage", "DispatchMessageA")
PROGRESS_CALLS = set(TRACED) - {"SetTimer", "KillTimer"}

# ---------------------------------------------------------------------------------------------
# The payload
# ---------------------------------------------------------------------------------------------

SAFE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]*$")


def pick(target, step, budget, files, keep_tree_under=None):
    """Copies every `step`th file of the sorted `files`, of 2 KiB to 1 MiB (decompressed, .gz
    files are unpacked), into `target` until `budget` bytes are there. Names are the path with
    "/" turned into "_", or the path below `keep_tree_under`; names Windows could not hold or
    would take for another file's (case aside) are passed over."""
    seen, total = set(), 0
    for n, path in enumerate(sorted(files), 1):
        if n % step or not path.is_file() or path.is_symlink() or path.stat().st_size < 2048:
            continue
        if keep_tree_under is not None:
            parts = path.relative_to(keep_tree_under).parts
        else:
            parts = (str(path).strip("/").replace("/", "_"),)
        parts = parts[:-1] + (parts[-1].removesuffix(".gz"),)
        if not all(SAFE_NAME.match(p) for p in parts) or "/".join(parts).lower() in seen:
            continue
        data = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
        if len(data) > 1 << 20:
            continue
        seen.add("/".join(parts).lower())
        destination = target.joinpath(*parts)
        destination.parent.mkdir(parents=True, exist_ok=True)
        destination.write_bytes(data)
        total += len(data)
        if total >= budget:
            break


def make_payload(work):
    payload = work / "payload"
    if (work / "payload.complete").exists():
        return payload
    shutil.rmtree(payload, ignore_errors=True)
    text = payload / "text"
    pick(text, 1, 1_000_000, Path("/usr/share/common-licenses").iterdir())
    pick(text, 3, 1_500_000, Path("/usr/share/doc").glob("*/copyright"))
    pick(text, 9, 2_500_000, Path("/usr/share/doc").glob("*/*.gz"))
    pick(payload / "bin", 9, 4_000_000,
         (p for p in Path("/usr/bin").iterdir() if p.stat().st_size > 20480))
    pick(payload / "lib", 7, 4_000_000,
         (p for p in Path("/usr/lib/x86_64-linux-gnu").glob("*.so*")
          if p.stat().st_size > 20480))
    pick(payload / "include", 3, 2_300_000, Path("/usr/include").rglob("*.h"),
         keep_tree_under=Path("/usr/include"))
    (work / "payload.complete").touch()
    return payload


def payload_files(payload):
    return sorted(p.relative_to(payload) for p in payload.rglob("*") if p.is_file())


def check_install(folder, payload, expected):
    """Fails unless `folder` holds exactly the payload's files, byte for byte."""
    found = sorted(p.relative_to(folder) for p in folder.rglob("*") if p.is_file())
    if found != expected:
        missing, extra = set(expected) - set(found), set(found) - set(expected)
        raise AssertionError(f"{folder}: {len(missing)} files missing (e.g. "
                             f"{sorted(missing)[:3]}), {len(extra)} extra ({sorted(extra)[:3]})")
    for name in expected:
        if not filecmp.cmp(payload / name, folder / name, shallow=False):
            raise AssertionError(f"{folder / name} differs from the payload's")


def copies(payload, files):
    """The files whose contents an earlier file (in sorted order) already has."""
    seen, repeated = set(), []
    for name in files:
        digest = hashlib.sha256((payload / name).read_bytes()).digest()
        if digest in seen:
            repeated.append(name)
        seen.add(digest)
    return repeated


def packed_sizes(installer):
    """Member name to its packed bytes, from `lzhsfx list`."""
    listing = subprocess.run([str(TOOL), "list", str(installer)], check=True,
                             capture_output=True, text=True).stdout
    return {line.split()[-1]: int(line.split()[1]) for line in listing.splitlines()
            if re.match(r"^-lh[0-7]- ", line)}


# ---------------------------------------------------------------------------------------------
# Building
# ---------------------------------------------------------------------------------------------


def timed(command, **options):
    """Runs a command to its end; returns wall and CPU (user + system) seconds."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([str(c) for c in command], check=True, stdout=subprocess.DEVNULL,
                   **options)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def ours_command(payload, target, *options, paths=None):
    """`lzhsfx build` of the payload's folders, or of `paths`."""
    return [TOOL, "build", "-q", "--stub", STUB, "-o", target, "--title", "bench",
            "--install-dir", r"C:\bench\ours", *options,
            *(paths or [payload / p for p in PAYLOAD_PARTS])]


def nsis_script(work, name, compressor, payload):
    """A script that installs the payload into $INSTDIR, or nothing when `payload` is None."""
    target = work / "installers" / f"{name}.exe"
    files = f'  File /r "{payload}/*"\n' if payload else ""
    script = work / f"{name}.nsi"
    script.write_text(
        "Unicode true\n"
        f'Name "bench"\nOutFile "{target}"\nInstallDir "C:\\bench\\nsis"\n'
        f"SetCompressor {compressor}\n"
        "Page directory\nPage instfiles\n"
        f"Section\n  SetOutPath $INSTDIR\n{files}SectionEnd\n", encoding="utf-8")
    return script, target


def nsis_command(script):
    return ["makensis", "-V1", "-INPUTCHARSET", "UTF8", script]


def archive_offset(installer):
    with open(installer, "rb") as f:
        f.seek(0x200)
        return int.from_bytes(f.read(4), "little")


def bench_builds(work, payload, rounds):
    (work / "installers").mkdir(exist_ok=True)
    builds = {"lzhsfx -lh7-": (ours_command(payload, work / "installers" / "ours.exe"),
                               work / "installers" / "ours.exe")}
    empty = {}
    for method, compressor in NSIS_METHODS.items():
        script, target = nsis_script(work, f"nsis-{method}", compressor, payload)
        builds[f"NSIS {method}"] = (nsis_command(script), target)
        script, target = nsis_script(work, f"nsis-{method}-empty", compressor, None)
        timed(nsis_command(script))
        empty[f"NSIS {method}"] = target
    times = {name: [] for name in builds}
    for _ in range(rounds):
        for name, (command, _) in builds.items():
            times[name].append(timed(command))
    return ({name: target for name, (_, target) in builds.items()},
            {name: (median(w for w, _ in t), median(c for _, c in t)) for name, t in times.items()},
            empty)


def bench_levels(work, payload, rounds):
    """Times the build at other methods, levels and thread counts, in rounds with makensis
    zlib among them, so that each ratio compares runs under the same load."""
    cpus = os.cpu_count()
    grid = [("lh0", 6, cpus)] + [(m, level, cpus) for m in ("lh5", "lh6") for level in (1, 6)]
    grid += [("lh7", level, cpus) for level in (1, 2, 3, 4, 6, 9)]
    grid += [("lh7", 1, 1), ("lh7", 6, 1)]
    commands = {"makensis zlib": nsis_command(work / "nsis-zlib.nsi")}
    for method, level, threads in grid:
        target = work / "installers" / f"ours-{method}-{level}-{threads}.exe"
        commands[(method, level, threads, target)] = ours_command(
            payload, target, "--method", method, "--level", str(level), "--threads", str(threads))
    runs = {key: [] for key in commands}
    for _ in range(rounds):
        for key, command in commands.items():
            runs[key].append(timed(command))
    times = {key: (median(w for w, _ in r), median(c for _, c in r)) for key, r in runs.items()}
    zlib_wall, zlib_cpu = times.pop("makensis zlib")
    print(f"\nbuild time by method and level, lzhsfx build against makensis zlib in {rounds} "
          f"alternating rounds (makensis zlib: {zlib_wall:.2f} s, {zlib_cpu:.2f} s CPU)")
    print(f"{'method level threads':22} {'bytes':>10} {'wall s':>7} {'CPU s':>7} "
          f"{'makensis wall / ours':>21} {'CPU / ours':>11}")
    for (method, level, threads, target), (wall, cpu) in times.items():
        label = "-lh0- (stored)" if method == "lh0" else f"-{method}- {level}"
        print(f"{label + f' {threads}':22} {target.stat().st_size:>10} {wall:7.2f} {cpu:7.2f} "
              f"{zlib_wall / wall:21.2f} {zlib_cpu / cpu:11.2f}")


# ---------------------------------------------------------------------------------------------
# Installing under Wine
# ---------------------------------------------------------------------------------------------


def prefix_processes(prefix):
    """The Unix processes of a Wine prefix: its wineserver and the services Wine keeps."""
    key = f"WINEPREFIX={prefix}".encode()
    pids = set()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and key in (entry / "environ").read_bytes().split(b"\0"):
                pids.add(int(entry.name))
        except OSError:
            pass
    return pids


def cpu_times(pids):
    """Process id to the user and system seconds it has used, for those still there."""
    times = {}
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        times[pid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return times


def parse_trace(text):
    """From a relay trace with time stamps (ms), in seconds: the first traced line to the
    timer's start, the timer's wait, its end to the last traced line, and for each progress
    call after the timer its count and the time in it (outermost calls only)."""
    call = re.compile(r"^(\d+\.\d+):[0-9a-f]+:(Call|Ret ) user32\.(\w+)\(")
    first = set_at = kill_at = None
    depth, entered, last = 0, 0.0, 0.0
    calls = {name: [0, 0.0] for name in sorted(PROGRESS_CALLS)}
    for line in text.splitlines():
        m = re.match(r"^(\d+\.\d+):", line)
        if m and first is None:
            first = float(m.group(1))
        m = call.match(line)
        if not m:
            continue
        stamp, kind, name = float(m.group(1)), m.group(2), m.group(3)
        last = stamp
        if name == "SetTimer" and kind == "Call":
            set_at = stamp
        elif name == "KillTimer" and kind == "Call":
            kill_at = stamp
        elif name in PROGRESS_CALLS and kill_at is not None:
            depth += 1 if kind == "Call" else -1
            if kind == "Call" and depth == 1:
                entered = stamp
                calls[name][0] += 1
            elif depth == 0:
                calls[name][1] += stamp - entered
    if set_at is None or kill_at is None:
        raise AssertionError("the traced run shows no auto-start timer")
    return set_at - first, kill_at - set_at, last - kill_at, calls


def bench_installs(work, payload, installers, empty, rounds):
    import winehelper

    os.environ.setdefault("WINETEST_DIR", str(work / "wine"))
    os.environ.setdefault("UIHELPER", str(HELPERS / "uihelper.exe"))
    os.environ.setdefault("MSGBOX_PROBE", str(HELPERS / "msgbox_probe.exe"))
    (work / "wine").mkdir(exist_ok=True)
    expected = payload_files(payload)
    with winehelper.WineSession() as wine:
        base = wine.drive_c / "bench-install"
        shutil.rmtree(base, ignore_errors=True)
        one = work / "one-member.txt"
        one.write_bytes(b"a")
        small = work / "installers" / "ours-one-member.exe"
        subprocess.run([str(c) for c in ours_command(None, small, paths=[one])], check=True)

        def launch(program, *args, status, env=None, err=None):
            """One run of `wine program args`, which must end with `status`: its wall seconds,
            and the CPU seconds while it ran of the program, of the prefix's wineserver and
            services, and of the X server, which other jobs on the machine lengthen less."""
            services = prefix_processes(wine.prefix)
            before = cpu_times(services | {wine._xvfb.pid})
            children = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            ended = subprocess.run(["wine", str(program), *args], env=env or wine.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=err or subprocess.DEVNULL, timeout=300).returncode
            elapsed = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            assert ended == status, f"{Path(program).name} ended with {ended}, not {status}"
            used = {pid: t - before.get(pid, 0.0) for pid, t in
                    cpu_times(services | prefix_processes(wine.prefix) | {wine._xvfb.pid}).items()}
            x_server = used.pop(wine._xvfb.pid, 0.0)
            own = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
            return elapsed, (own, sum(used.values()), x_server)

        def install(path, folder, env=None, err=None, silent=False):
            shutil.rmtree(folder, ignore_errors=True)
            if silent:  # no window at all; status 0 when every file is installed
                return launch(path, "-s", wine.windows_path(folder), status=0, env=env, err=err)
            if path.name.startswith("ours"):  # our dialog's OK result is 1
                return launch(path, "-n", wine.windows_path(folder), status=1, env=env, err=err)
            return launch(path, "/S", f"/D={wine.windows_path(folder)}", status=0)

        def traced():
            trace = work / "relay.txt"
            env = dict(wine.env, WINEDEBUG="+timestamp,+relay")
            with open(trace, "w") as err:
                wall, _ = install(installers["lzhsfx -lh7-"], base / "traced", env, err)
            check_install(base / "traced", payload, expected)
            return (wall, *parse_trace(trace.read_text(errors="replace")))

        folder = {name: base / name.replace(" ", "-") for name in [*installers, SILENT]}
        runs = {"Wine start-up": lambda: launch(wine.probe, "--platform",
                                                status=winehelper.PLATFORM_IDS[winehelper.NT]),
                **{name: (lambda p=path, n=name: install(p, folder[n]))
                   for name, path in installers.items()},
                SILENT: lambda: install(installers["lzhsfx -lh7-"], folder[SILENT], silent=True),
                "lzhsfx one member": lambda: install(small, base / "one"),
                **{f"{name} empty": (lambda p=path: install(p, base / "empty"))
                   for name, path in empty.items()}}
        wine._reg("add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d",
                  ";".join(f"user32.{name}" for name in TRACED), "/f")
        try:
            times = {name: [] for name in runs}
            traces = []
            for round_ in range(rounds + 1):  # the first round fills the caches
                for name, run in runs.items():
                    elapsed = run()
                    if name in installers or name == SILENT:
                        check_install(folder[name], payload, expected)
                    if round_:
                        times[name].append(elapsed)
                if round_:
                    traces.append(traced())
        finally:
            wine._reg("delete", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/f")
        shutil.rmtree(base, ignore_errors=True)
    calls = {name: [median(t[-1][name][i] for t in traces) for i in range(2)]
             for name in traces[0][-1]}
    return ({name: median(w for w, _ in t) for name, t in times.items()},
            {name: tuple(median(c[i] for _, c in t) for i in range(3))
             for name, t in times.items()},
            tuple(median(t[i] for t in traces) for i in range(4)) + (calls,))


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------


def median(values):
    return statistics.median(list(values))


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    nsis = subprocess.run(["makensis", "-VERSION"], capture_output=True, text=True).stdout
    return (f"machine: {os.cpu_count()} x {cpu}, {platform.system()} {platform.release()}, "
            f"{wine}, makensis {nsis.strip()}, load {open('/proc/loadavg').read().split()[:3]}")


def report(payload, installers, builds, empty, installs, install_cpu, trace, rounds):
    files = payload_files(payload)
    size = sum((payload / f).stat().st_size for f in files)
    parts = ", ".join(f"{p} {sum((payload / f).stat().st_size for f in files if f.parts[0] == p)}"
                      for p in PAYLOAD_PARTS)
    print(f"payload: {len(files)} files, {size} bytes ({parts})")
    print("(other jobs on this machine may add noise to every time below; the CPU times, "
          "less so)")

    ours, zlib = "lzhsfx -lh7-", "NSIS zlib"
    traced_wall, to_timer, timer, extraction, calls = trace
    cpu_parts, install_cpu = install_cpu, {name: sum(c) for name, c in install_cpu.items()}
    startup = installs["Wine start-up"]
    overhead = {ours: archive_offset(installers[ours])}
    overhead |= {name: path.stat().st_size for name, path in empty.items()}
    print(f"\nmedians of {rounds} alternating rounds. Install: wall clock from the start of "
          "`wine` to its end, and the CPU time of the program, the prefix's wineserver and "
          "services and the X server")
    print(f"{'installer':14} {'bytes':>10} {'overhead':>9} {'build s':>8} {'CPU s':>6} "
          f"{'install s':>10} {'- Wine start':>13} {'CPU s':>6}")
    for name, path in installers.items():
        wall, cpu = builds[name]
        print(f"{name:14} {path.stat().st_size:>10} {overhead[name]:>9} {wall:8.3f} {cpu:6.3f} "
              f"{installs[name]:10.3f} {installs[name] - startup:13.3f} {install_cpu[name]:6.3f}")
    print("install CPU seconds of the program, of Wine's processes and of the X server: "
          + "; ".join(f"{name} " + " / ".join(f"{c:.3f}" for c in cpu_parts[name])
                      for name in installers))
    ours_no_timer = installs[ours] - timer
    print(f"\nWine start-up (a trivial program): {startup:.3f} s, "
          f"{install_cpu['Wine start-up']:.3f} s CPU")
    print(f"ours without the auto-start timer: {ours_no_timer:.3f} s "
          f"({installs[ours]:.3f} s less the timer's measured wait of {timer:.3f} s, "
          f"nominally {AUTO_START_MS / 1000:.3f} s)")
    print(f"ours silent (-s FOLDER, no window): {installs[SILENT]:.3f} s, "
          f"{install_cpu[SILENT]:.3f} s CPU; NSIS zlib /S {installs[zlib]:.3f} s, "
          f"{install_cpu[zlib]:.3f} s CPU")
    print(f"fixed install costs: our one-member installer {installs['lzhsfx one member']:.3f} s "
          f"({installs['lzhsfx one member'] - timer:.3f} s without the timer, "
          f"{install_cpu['lzhsfx one member']:.3f} s CPU); "
          + ", ".join(f"empty {name} {installs[name + ' empty']:.3f} s "
                      f"({install_cpu[name + ' empty']:.3f} s CPU)" for name in empty))
    print(f"where our install's time goes, from one relay-traced run per round (medians; the "
          f"tracing slows it, to {traced_wall:.3f} s):")
    print(f"  Wine's launch before the first trace line and the end of the process "
          f"{traced_wall - to_timer - timer - extraction:.3f} s, the stub's start to its timer "
          f"{to_timer:.3f} s, the timer {timer:.3f} s, its end to the last progress call "
          f"{extraction:.3f} s")
    progress = sum(t for _, t in calls.values())
    print(f"  of that last span, {progress:.3f} s in progress texts and message pumping: "
          + ", ".join(f"{name} {n:.0f} calls, {t:.3f} s ({t / n * 1e6:.0f} us each)"
                      for name, (n, t) in calls.items() if n))
    print("  (PeekMessageA mostly finds the queue empty: its time per call bounds what the "
          "tracing adds to each call)")

    repeated = copies(payload, files)
    packed = packed_sizes(installers[ours])
    repeated_packed = sum(packed[name.as_posix()] for name in repeated)
    ours_size, zlib_size, lzma_size = (installers[n].stat().st_size
                                       for n in (ours, zlib, "NSIS lzma"))
    print(f"\n{len(repeated)} files repeat the contents of others "
          f"({sum((payload / n).stat().st_size for n in repeated)} bytes); NSIS stores such data "
          f"once, an LZH archive once per member: {repeated_packed} bytes of ours. Without them "
          f"ours would be {(ours_size - repeated_packed) / zlib_size:.3f} of NSIS zlib's size")

    smaller_overhead = min(overhead[n] for n in empty)
    targets = [
        (f"stub overhead <= 1/4 of NSIS's (the smaller, {smaller_overhead} bytes)",
         overhead[ours] / smaller_overhead, 0.25),
        ("build time <= 1/2 of makensis zlib's", builds[ours][0] / builds[zlib][0], 0.5),
        ("installer size <= 0.95 of NSIS zlib's", ours_size / zlib_size, 0.95),
        ("install time without the timer <= 1.2 of NSIS zlib's",
         ours_no_timer / installs[zlib], 1.2),
        ("silent install (-s against /S) <= 0.9 of NSIS zlib's", installs[SILENT] / installs[zlib],
         0.9),
    ]
    print("\ntargets (ours / NSIS):")
    for text, ratio, bound in targets:
        print(f"  {text:58} {ratio:6.3f} (at most {bound}): "
              f"{'met' if ratio <= bound else 'NOT met'}")
    print("  for comparison: build CPU time (makensis works on one thread, ours on "
          f"{os.cpu_count()}) {builds[ours][1] / builds[zlib][1]:.3f}; install time without "
          f"the timer and without Wine's start-up on both sides "
          f"{(ours_no_timer - startup) / (installs[zlib] - startup):.3f}; install CPU time "
          f"{install_cpu[ours] / install_cpu[zlib]:.3f}")
    print(f"  against NSIS lzma: size {ours_size / lzma_size:.3f}, build time "
          f"{builds[ours][0] / builds['NSIS lzma'][0]:.3f}, install time without the timer "
          f"{ours_no_timer / installs['NSIS lzma']:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", type=Path, default=Path("/tmp/lzhsfx-bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--levels", action="store_true",
                        help="also time the build at other methods, levels and thread counts")
    args = parser.parse_args()
    for program, hint in ((STUB, "cmake --preset win32 && cmake --build --preset win32"),
                          (TOOL, "cmake --preset release && cmake --build --preset release"),
                          (HELPERS / "msgbox_probe.exe", "the win32 build")):
        if not program.is_file():
            sys.exit(f"no {program}: run {hint} first")
    if shutil.which("makensis") is None:
        sys.exit("no makensis: run scripts/setup (Debian's nsis package)")
    import winehelper
    reason = winehelper.reason_unavailable()
    if reason is not None:
        sys.exit(f"the installs run under Wine, which cannot run here: {reason}")
    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)

    print(machine())
    payload = make_payload(work)
    installers, builds, empty = bench_builds(work, payload, args.rounds)
    installs, install_cpu, trace = bench_installs(work, payload, installers, empty, args.rounds)
    report(payload, installers, builds, empty, installs, install_cpu, trace, args.rounds)
    if args.levels:
        bench_levels(work, payload, args.rounds)


if __name__ == "__main__":
    main()
