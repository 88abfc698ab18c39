"""Builds an installer of examples/sample with its notice and setup directives, runs it
under Wine into a fresh folder, answering the notice and the dialog as a user would, and
lists what it installed. Where Wine cannot run, the installer runs under the emulator
(scripts/emulate) instead, and the Start-menu item is read from its transcript."""

import json
import subprocess
import tempfile
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))

import winehelper  # noqa: E402

STUB = ROOT / "build" / "win32" / "sfxstub.exe"
LZHSFX = ROOT / "build" / "release" / "lzhsfx"
SAMPLE = ROOT / "examples" / "sample"
EMULATE = ROOT / "scripts" / "emulate"
TITLE = "lzhsfx サンプル"
INSTALL_DIR = r"C:\demo-installed"


def build_installer(target):
    """The sample installer, made by the tool: the notice and directives it is given become
    the members "!" and "$" (the directives first), then the sample's files and folders."""
    subprocess.run([str(LZHSFX), "build", "-o", str(target), "--stub", str(STUB),
                    "--notice", str(ROOT / "examples" / "notice.txt"),
                    "--directives", str(ROOT / "examples" / "setup.txt"),
                    *(str(p) for p in sorted(SAMPLE.iterdir()))], check=True)


def list_tree(destination, windows_name):
    installed = sorted(destination.rglob("*")) if destination.exists() else []
    print(f"installed into {windows_name}:")
    for p in installed:
        size = "" if p.is_dir() else f" ({p.stat().st_size} bytes)"
        print(f"  {p.relative_to(destination)}{'/' if p.is_dir() else ''}{size}")


def emulated(reason):
    """The demo under the emulator: the same installer, answers given up front."""
    print(f"demo: Wine cannot run here ({reason}); installing under the emulator instead")
    drive_c = Path(tempfile.mkdtemp(prefix="lzhsfx-demo-c-"))
    target = drive_c / "sample-setup.exe"
    build_installer(target)
    print(f"installer: {target} ({target.stat().st_size} bytes)", flush=True)
    transcript = drive_c / "transcript.jsonl"
    # "-n-" keeps the dialog from starting by itself; Yes to the notice, then OK.
    status = subprocess.run([str(EMULATE), "--drive-c", str(drive_c), "--transcript",
                             str(transcript), "--answer", "yes", "--answer", "ok", str(target),
                             "-n-", INSTALL_DIR]).returncode
    print(f"exit status: {status}")
    list_tree(drive_c / "demo-installed", INSTALL_DIR)
    for line in transcript.read_text(encoding="utf-8").splitlines():
        event = json.loads(line)
        if event["event"] == "dde-execute":
            print(f"start menu (Program Manager command): {event['command']}")
    print(f"transcript: {transcript}")
    print("the dialog's screenshot needs Wine, which this machine cannot run")
    return 0 if status == 1 else status


def main():
    reason = winehelper.reason_unavailable()
    if reason is not None:
        return emulated(reason)
    with winehelper.WineSession() as wine:
        work = wine.drive_c / "demo"
        work.mkdir(exist_ok=True)
        target = work / "sample-setup.exe"
        build_installer(target)
        print(f"installer: {target} ({target.stat().st_size} bytes)", flush=True)

        destination = wine.drive_c / "demo-installed"
        if destination.exists():
            for p in sorted(destination.rglob("*"), reverse=True):
                p.rmdir() if p.is_dir() else p.unlink()
        # "-n-" keeps the dialog from starting by itself; the folder follows it.
        program = wine.spawn(target, "-n-", wine.windows_path(destination))
        # The notice comes first; say Yes to it as the user would.
        wine.ui("wait", TITLE, 15000, "click", 6)
        wine.ui("wait", TITLE, 15000)
        shot = wine.screenshot("demo-dialog")
        wine.ui("wait", TITLE, 15000, "click", 1)
        status = program.wait()
        print(f"dialog: {shot}")
        print(f"exit status: {status}")
        list_tree(destination, wine.windows_path(destination))
        start_menu = wine.drive_c / "users"
        for link in sorted(start_menu.rglob("lzhsfx Sample/*")):
            print(f"start menu: {link.relative_to(wine.drive_c)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
