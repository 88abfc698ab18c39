"""Says in one line which backends the end-to-end tests ran on, and what was left out and why,
from the log of the last ctest run of the win32 tree.

    backend_summary.py LOG
"""

import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from i386_check import reason_unavailable  # noqa: E402


def modules(log):
    """{ctest name: [skip reasons of its tests]} for every module in the log."""
    found, name = {}, None
    for line in log.splitlines():
        started = re.match(r"^\d+/\d+ Testing: (\S+)", line)
        if started:
            name = started.group(1)
            found.setdefault(name, [])
        skipped = re.search(r"\.\.\. skipped ['\"](.*)['\"]$", line)
        if skipped and name is not None:
            found[name].append(skipped.group(1))
    return found


def main(argv):
    found = modules(Path(argv[1]).read_text(encoding="utf-8", errors="replace"))
    emulated = sorted(n for n in found if n.startswith("emu."))
    wine_modules = sorted(n for n in found if n.startswith("wine.") and n not in
                          ("wine.prefix", "wine.stop"))
    wine_only = sorted(n for n in wine_modules if "emu." + n[5:] not in found)
    reason = reason_unavailable()
    needs_wine = sum(1 for n in emulated for why in found[n] if why.startswith("needs Wine"))
    if reason is None:
        print(f"Backends: Wine ran {len(wine_modules)} modules and the emulator "
              f"{len(emulated)} of them too; {needs_wine} tests of those need Wine and ran "
              "on Wine alone")
    else:
        print(f"Backends: Wine left out ({reason}); the emulator ran {' '.join(emulated)}, "
              f"less {needs_wine} tests that need Wine; left out with Wine: "
              f"{' '.join(wine_only)} (Wine's pixels, registry and DDE server, and the Windows "
              "test programs)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
