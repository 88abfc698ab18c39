"""The install dialog and the folder browse dialog at 96, 144 and 192 DPI (Wine's LogPixels),
with the Japanese fonts: a screenshot of each in the test output folder, every text whole in its
control, and a layout that grows with the resolution and stays on the screen."""

import os
import subprocess
import unittest
from pathlib import Path

import installer
import winehelper
from installer import Member

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))

TITLE = "高解像度の試験"
BROWSE_TITLE = "ﾃﾞｨﾚｸﾄﾘの参照"
IDOK, IDCANCEL, BROWSE = 1, 2, 104
WAIT_MS = 10000
DPIS = (96, 144, 192)
# Room for the dialogs at 192 DPI, as a display of that resolution has.
SCREEN_WIDTH, SCREEN_HEIGHT = 2560, 1600
# Captions longer than the templates' own for the check boxes (from the directives) and the
# label (from the settings).
DIRECTIVES = ("$GroupTitle=ｽﾀｰﾄﾒﾆｭｰにｱｲｺﾝを登録する(&S)\r\n"
              "$ClassTitle=拡張子 .txt をこのｿﾌﾄに関連付ける(&A)\r\n")
INSTALL_TITLE = "インストール先のフォルダ(&D):"
# The dialogs' controls that show a text, by the way the control lays it out.
LABELS = {103, 65535, 1088, 1091}  # static: the text from the left edge
PUSH_BUTTONS = {IDOK, IDCANCEL, BROWSE}  # the text centred inside a frame
CHECK_BOXES = {105, 106}  # the box, then the text
COMBO_BOXES = {1137}  # its height follows the list's items
FRAME = 2  # a push button's frame and the blank inside it, in pixels

wine = winehelper.WineSession(screen=f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24")


def setUpModule():
    wine.start()


def tearDownModule():
    try:
        wine.set_dpi(None)
    finally:
        wine.close()


def drawn_box(shot, left, top, width, height):
    """The bounding box, relative to the given rectangle of the screenshot, of whatever is drawn
    in it on the colour of its top left pixel: (x, y, width, height), width 0 when nothing is."""
    box = subprocess.run(
        ["convert", str(shot), "-crop", f"{width}x{height}+{left}+{top}", "+repage",
         "-fuzz", "20%", "-format", "%@", "info:"],
        check=True, capture_output=True, text=True, timeout=30).stdout
    size, x, y = box.replace("+", " ").split()
    w, h = (int(n) for n in size.split("x"))
    return int(x), int(y), w, h


class Dialogs(unittest.TestCase):
    """Each dialog read and photographed once at every resolution."""

    @classmethod
    def setUpClass(cls):
        folder = wine.drive_c / "dpi"
        folder.mkdir(exist_ok=True)
        archive = installer.archive([Member("readme.txt", b"read me\r\n"),
                                     Member("$", DIRECTIVES.encode("cp932"))])
        setup = installer.make_installer(
            STUB, folder / "setup.exe", archive, window_title=TITLE,
            install_title=INSTALL_TITLE, install_dir="C:\\Program Files\\試験")
        cls.seen = {}
        try:
            for dpi in DPIS:
                wine.set_dpi(dpi)
                # Started in its own folder, so the browse dialog's path fits its field.
                program = wine.spawn(setup, cwd=folder)
                try:
                    [dialog] = wine.ui("wait", TITLE, WAIT_MS, "dump", "origin")
                    dialog_shot = wine.screenshot(f"dpi-{dpi}-install")
                    wine.ui("wait", TITLE, WAIT_MS, "click", BROWSE)
                    [picker] = wine.ui("wait", BROWSE_TITLE, WAIT_MS, "dump", "origin")
                    picker_shot = wine.screenshot(f"dpi-{dpi}-browse")
                    wine.ui("wait", BROWSE_TITLE, WAIT_MS, "click", IDCANCEL, "gone", WAIT_MS)
                    wine.ui("wait", TITLE, WAIT_MS, "click", IDCANCEL)
                    status = program.wait()
                finally:
                    program.kill()
                cls.seen[dpi] = {"install": (dialog, dialog_shot), "browse": (picker, picker_shot)}
                if status != 0:
                    raise AssertionError(f"the installer ended with {status} at {dpi} DPI")
        finally:
            wine.set_dpi(None)

    def each(self):
        """(dpi, dialog name, window, screenshot) of every dialog seen."""
        return [(dpi, name, window, shot) for dpi, dialogs in self.seen.items()
                for name, (window, shot) in dialogs.items()]

    def test_the_screenshots_are_kept(self):
        for dpi, name, _, shot in self.each():
            self.assertEqual(shot.name, f"dpi-{dpi}-{name}.png")
            self.assertGreater(shot.stat().st_size, 0)

    def test_the_layout_grows_with_the_resolution(self):
        for dpi, name, window, _ in self.each():
            if dpi == DPIS[0]:
                continue
            with self.subTest(dpi=dpi, dialog=name):
                base = self.seen[DPIS[0]][name][0]
                scale = dpi / DPIS[0]
                pairs = zip([base.own, *base.controls], [window.own, *window.controls])
                for before, after in pairs:
                    self.assertEqual(before.id, after.id)
                    if not after.visible:
                        continue
                    self.assertGreaterEqual(after.rect[2], before.rect[2] * scale * 0.95, after)
                    if after.id not in COMBO_BOXES:
                        self.assertGreaterEqual(after.rect[3], before.rect[3] * scale * 0.95,
                                                after)

    def test_every_dialog_lies_on_the_screen_and_every_control_inside_it(self):
        for dpi, name, window, _ in self.each():
            with self.subTest(dpi=dpi, dialog=name):
                x, y, width, height = window.own.rect
                self.assertTrue(0 <= x and x + width <= SCREEN_WIDTH, window.own)
                self.assertTrue(0 <= y and y + height <= SCREEN_HEIGHT, window.own)
                border = window.origin[0] - x  # left, right and bottom alike
                for control in window.controls:
                    if control.visible:
                        cx, cy, cw, ch = control.rect
                        self.assertGreaterEqual(min(cx, cy), 0, control)
                        self.assertLessEqual(window.origin[0] + cx + cw, x + width - border,
                                             control)
                        self.assertLessEqual(window.origin[1] + cy + ch, y + height - border,
                                             control)

    def test_no_text_is_cut(self):
        for dpi, name, window, shot in self.each():
            with self.subTest(dpi=dpi, dialog=name):
                self.assert_texts_whole(dpi, window, shot)

    def assert_texts_whole(self, dpi, window, shot):
        """What a control draws of its text ends inside it: nothing runs into the right or the
        bottom edge of a label or a check box, or of the inside of a push button's frame."""
        for control in window.controls:
            if not (control.visible and control.text) or control.id not in (
                    LABELS | PUSH_BUTTONS | CHECK_BOXES):
                continue
            x, y, width, height = control.rect
            left, top = window.origin[0] + x, window.origin[1] + y
            if control.id in PUSH_BUTTONS:
                left, top, width, height = (left + FRAME, top + FRAME, width - 2 * FRAME,
                                            height - 2 * FRAME)
            bx, by, bw, bh = drawn_box(shot, left, top, width, height)
            self.assertGreater(bw, 0, f"nothing drawn in {control}")
            self.assertLess(bx + bw, width, f"the text reaches the right edge of {control}")
            self.assertLess(by + bh, height, f"the text reaches the bottom of {control}")


if __name__ == "__main__":
    unittest.main()
