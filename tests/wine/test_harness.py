"""The harness itself: the UI helper finds, reads and operates windows, Japanese texts survive
the way through the ANSI code page, paths map both ways, and each platform mode is what the
programs see."""

import os
import shutil
import struct
import unittest
from pathlib import Path

import winehelper
from winehelper import NT, UI_NOT_FOUND, UI_NOT_USABLE, UI_TIMED_OUT, WIN32S

TITLE = "LZH 自己解凍書庫 V2.60.w32.0027"
MISSING_DATA = "ﾃﾞｰﾀが欠落しています"

MB_OK, MB_OKCANCEL, MB_YESNO = 0, 1, 4
MB_ICONERROR, MB_TASKMODAL = 0x10, 0x2000
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
BOX_TEXT_ID = 0xFFFF  # the static control that holds a message box's text

FORM = "probe form"
FORM_BOX = "probe form text"
EDIT, CHECK, HIDDEN, DISABLED = 100, 101, 102, 103

WAIT_MS = 10000

# One session for the module's tests: started before the first, closed after the last.
wine = winehelper.WineSession()
setUpModule = wine.start
tearDownModule = wine.close


def spawn(test, *args):
    """Starts the probe for `test`; a failed test does not leave it running for the next."""
    program = wine.spawn(wine.probe, *args)
    test.addCleanup(program.kill)
    return program


class MessageBoxes(unittest.TestCase):
    def test_box_is_found_by_caption_and_its_japanese_text_reads_back(self):
        program = spawn(self, MB_YESNO | MB_ICONERROR | MB_TASKMODAL, TITLE, MISSING_DATA)
        [box] = wine.ui("wait", TITLE, WAIT_MS, "dump", "click", IDNO)
        self.assertEqual(box.caption, TITLE)
        self.assertEqual(box.control(BOX_TEXT_ID).text, MISSING_DATA)
        self.assertEqual(box.control(BOX_TEXT_ID).cls.lower(), "static")
        buttons = {c.id for c in box.controls if c.cls.lower() == "button"}
        self.assertEqual(buttons, {IDYES, IDNO})
        self.assertEqual(program.wait(), IDNO)

    def test_pressing_a_button_ends_the_box_with_that_buttons_id(self):
        for style, button in [(MB_OK, IDOK), (MB_YESNO, IDYES), (MB_YESNO, IDNO),
                              (MB_OKCANCEL, IDCANCEL)]:
            with self.subTest(style=style, button=button):
                caption = f"probe {style} {button}"
                program = spawn(self, style, caption, "押してください")
                wine.ui("wait", caption, WAIT_MS, "click", button, "gone", WAIT_MS)
                self.assertEqual(program.wait(), button)

    def test_backslashes_tabs_and_a_0x5c_trail_byte_read_back_exactly(self):
        text = "C:\\ソフト\\表示\tです"  # ソ and 表 end in the byte 0x5C in Shift-JIS
        program = spawn(self, MB_OK, "probe escapes", text)
        [box] = wine.ui("wait", "probe escapes", WAIT_MS, "dump", "click", IDOK)
        self.assertEqual(box.control(BOX_TEXT_ID).text, text)
        self.assertEqual(program.wait(), IDOK)

    def test_wait_for_a_caption_no_window_bears_times_out(self):
        wine.ui("wait", "no such window", 200, expect=UI_TIMED_OUT)


class Controls(unittest.TestCase):
    def finish_form(self):
        """Presses OK on the form and answers its box; returns the box and the exit status."""
        program = self.program
        [box] = wine.ui("wait", FORM, WAIT_MS, "click", IDOK, "wait", FORM_BOX, WAIT_MS, "dump",
                        "click", IDOK)
        return box, program.wait()

    def setUp(self):
        self.program = spawn(self, "--form")

    def test_dump_reports_each_controls_visibility_enabled_and_check_state(self):
        [form] = wine.ui("wait", FORM, WAIT_MS, "dump")
        self.assertEqual(form.caption, FORM)
        self.assertEqual([c.id for c in form.controls], [EDIT, CHECK, HIDDEN, DISABLED, IDOK])
        self.assertEqual(form.control(EDIT).cls.lower(), "edit")
        self.assertTrue(form.control(EDIT).visible and form.control(EDIT).enabled)
        self.assertFalse(form.control(HIDDEN).visible)
        self.assertFalse(form.control(DISABLED).enabled)
        self.assertIn("unchecked", form.control(CHECK).state)
        self.assertIn("default", form.control(IDOK).state)
        self.assertEqual(form.control(CHECK).rect[2:], (220, 24))
        self.finish_form()

    def test_typed_text_and_a_toggled_check_box_reach_the_program(self):
        typed = "C:\\インストール先\\ソフト"
        [form] = wine.ui("wait", FORM, WAIT_MS, "settext", EDIT, typed, "click", CHECK, "dump")
        self.assertEqual(form.control(EDIT).text, typed)
        self.assertTrue(form.control(CHECK).checked)
        box, status = self.finish_form()
        self.assertEqual(box.control(BOX_TEXT_ID).text, typed)  # as GetDlgItemTextA read it
        self.assertEqual(status, 1)  # checked, and the disabled button never clicked

    def test_hidden_disabled_or_missing_controls_are_not_operated(self):
        wine.ui("wait", FORM, WAIT_MS, "click", DISABLED, expect=UI_NOT_USABLE)
        wine.ui("wait", FORM, WAIT_MS, "settext", HIDDEN, "x", expect=UI_NOT_USABLE)
        wine.ui("wait", FORM, WAIT_MS, "click", 999, expect=UI_NOT_FOUND)
        _, status = self.finish_form()
        self.assertEqual(status, 0)

    def test_a_window_disabled_by_its_modal_box_is_not_waited_for(self):
        wine.ui("wait", FORM, WAIT_MS, "click", IDOK, "wait", FORM_BOX, WAIT_MS)
        wine.ui("wait", FORM, 300, expect=UI_TIMED_OUT)
        wine.ui("wait", FORM_BOX, WAIT_MS, "click", IDOK)
        self.assertEqual(self.program.wait(), 0)


class PlatformModes(unittest.TestCase):
    def test_nt_mode_reports_platform_id_2(self):
        wine.set_mode(NT)
        self.assertEqual(wine.run(wine.probe, "--platform"), 2)

    def test_win32s_mode_reports_platform_id_0(self):
        self.addCleanup(wine.set_mode, NT)
        wine.set_mode(WIN32S)
        self.assertEqual(wine.run(wine.probe, "--platform"), 0)

    def test_boxes_are_read_and_answered_in_win32s_mode_too(self):
        # The mode holds for every program of the prefix, the UI helper included.
        self.addCleanup(wine.set_mode, NT)
        wine.set_mode(WIN32S)
        program = spawn(self, MB_YESNO | MB_ICONERROR | MB_TASKMODAL, TITLE, MISSING_DATA)
        [box] = wine.ui("wait", TITLE, WAIT_MS, "dump", "click", IDYES)
        self.assertEqual(box.control(BOX_TEXT_ID).text, MISSING_DATA)
        self.assertEqual(program.wait(), IDYES)


class Paths(unittest.TestCase):
    def test_programs_start_by_their_windows_paths_on_c_and_z(self):
        folder = wine.drive_c / "harness" / "試験"
        folder.mkdir(parents=True, exist_ok=True)
        copy = folder / "probe.exe"
        shutil.copyfile(wine.probe, copy)
        self.assertEqual(wine.windows_path(copy), "C:\\harness\\試験\\probe.exe")

        original = Path(os.path.abspath(wine.probe))
        self.assertEqual(wine.windows_path(original), "Z:" + str(original).replace("/", "\\"))
        for path in (copy, original):
            with self.subTest(path=path):
                windows = wine.windows_path(path)
                self.assertEqual(wine.linux_path(windows), path)
                self.assertEqual(wine.run(windows, "--platform"), 2)

    def test_relative_or_other_drive_paths_are_refused(self):
        for path in ("harness\\probe.exe", "D:\\probe.exe", "C:probe.exe"):
            with self.subTest(path=path), self.assertRaises(ValueError):
                wine.linux_path(path)


class Screenshots(unittest.TestCase):
    def test_screenshot_is_a_png_of_the_whole_screen(self):
        path = wine.screenshots / "harness-screen.png"
        path.unlink(missing_ok=True)
        self.assertEqual(wine.screenshot("harness-screen"), path)
        data = path.read_bytes()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", data[16:24]), (1024, 768))


if __name__ == "__main__":
    unittest.main()
