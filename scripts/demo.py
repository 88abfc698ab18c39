"""Builds an installer of examples/sample with its notice and setup directives, runs it
under Wine with an automatic start into a fresh folder, and lists what it installed."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))

import winehelper  # noqa: E402

STUB = ROOT / "build" / "win32" / "sfxstub.exe"
LZHSFX = ROOT / "build" / "release" / "lzhsfx"
SAMPLE = ROOT / "examples" / "sample"
TITLE = "lzhsfx サンプル"


def build_installer(target):
    """The sample installer, made by the tool: the notice and directives it is given become
    the members "!" and "$" (the directives first), then the sample's files and folders."""
    subprocess.run([str(LZHSFX), "build", "-o", str(target), "--stub", str(STUB),
                    "--notice", str(ROOT / "examples" / "notice.txt"),
                    "--directives", str(ROOT / "examples" / "setup.txt"),
                    *(str(p) for p in sorted(SAMPLE.iterdir()))], check=True)


def main():
    reason = winehelper.reason_unavailable()
    if reason is not None:
        print(f"demo: Wine cannot run here: {reason}; nothing was installed", file=sys.stderr)
        return 3
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
        installed = sorted(p for p in destination.rglob("*")) if destination.exists() else []
        print(f"installed into {wine.windows_path(destination)}:")
        for p in installed:
            size = "" if p.is_dir() else f" ({p.stat().st_size} bytes)"
            print(f"  {p.relative_to(destination)}{'/' if p.is_dir() else ''}{size}")
        start_menu = wine.drive_c / "users"
        for link in sorted(start_menu.rglob("lzhsfx Sample/*")):
            print(f"start menu: {link.relative_to(wine.drive_c)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
