"""Builds an installer of examples/sample with its notice and setup directives, runs it
under Wine with an automatic start into a fresh folder, and lists what it installed."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))

import installer  # noqa: E402
import winehelper  # noqa: E402
from installer import Member  # noqa: E402

STUB = ROOT / "build" / "win32" / "sfxstub.exe"
SAMPLE = ROOT / "examples" / "sample"
TITLE = "lzhsfx サンプル"


def shift_jis(path):
    """A UTF-8 text file as the stub reads texts: Shift-JIS with CR LF line ends."""
    text = path.read_text(encoding="utf-8").replace("\r\n", "\n").replace("\n", "\r\n")
    return text.encode("cp932")


def sample_members():
    # The directives come first, so that the notice already shows the sample's title.
    members = [Member("$", shift_jis(ROOT / "examples" / "setup.txt")),
               Member("!", shift_jis(ROOT / "examples" / "notice.txt"))]
    for path in sorted(SAMPLE.rglob("*")):
        rel = path.relative_to(SAMPLE)
        folder = "/".join(rel.parts[:-1])
        if path.is_dir():
            members.append(Member(dir="/".join(rel.parts), directory=True))
        else:
            members.append(Member(rel.name, path.read_bytes(), dir=folder))
    return members


def main():
    with winehelper.WineSession() as wine:
        work = wine.drive_c / "demo"
        work.mkdir(exist_ok=True)
        target = work / "sample-setup.exe"
        installer.make_installer(STUB, target, installer.archive(sample_members()))
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
