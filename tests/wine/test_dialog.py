"""The install dialog and the folder browse dialog on the real stub: the dialog templates and the
icon as the stub carries them, what the user sees, the folder checks, extraction by OK and by the
-n switch, Cancel, and browsing for a folder."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

import installer
import winehelper
from installer import Member
from peimage import PeImage

STUB = Path(os.environ.get("SFXSTUB", winehelper.build_dir() / "sfxstub.exe"))
SOURCE_DIR = Path(__file__).resolve().parents[2]

TITLE = "試験セットアップ"
BROWSE_TITLE = "ﾃﾞｨﾚｸﾄﾘの参照"
REFUSED = "ﾃﾞｨﾚｸﾄﾘ名が正しくありません"
PROPOSED = "C:\\試験先"
SCREEN_WIDTH, SCREEN_HEIGHT = 1024, 768
BOX_TEXT = 0xFFFF
IDOK, IDCANCEL = 1, 2
FOLDER, FILE_LABEL, PROGRESS, FOLDER_LABEL, BROWSE, GROUP, ASSOCIATION = range(100, 107)
WAIT_MS = 10000

# Window, dialog and control styles.
WS_POPUP, WS_CHILD, WS_VISIBLE, WS_DISABLED = 0x80000000, 0x40000000, 0x10000000, 0x08000000
WS_CAPTION, WS_BORDER, WS_VSCROLL, WS_SYSMENU = 0x00C00000, 0x00800000, 0x00200000, 0x00080000
WS_GROUP, WS_TABSTOP, DS_MODALFRAME, WS_EX_DLGMODALFRAME = 0x00020000, 0x00010000, 0x80, 0x1
SS_LEFT, SS_LEFTNOWORDWRAP, SS_NOPREFIX = 0x0, 0xC, 0x80
ES_AUTOHSCROLL, ES_OEMCONVERT = 0x80, 0x400
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_CHECKBOX, BS_AUTOCHECKBOX = 0x0, 0x1, 0x2, 0x3
LBS_NOTIFY, LBS_SORT, LBS_OWNERDRAWFIXED, LBS_HASSTRINGS, LBS_DISABLENOSCROLL = (
    0x1, 0x2, 0x10, 0x40, 0x1000)
CBS_DROPDOWNLIST, CBS_OWNERDRAWFIXED, CBS_AUTOHSCROLL, CBS_SORT, CBS_HASSTRINGS = (
    0x3, 0x10, 0x40, 0x100, 0x200)
BUTTON, EDIT, STATIC, LISTBOX, COMBOBOX = 0x80, 0x81, 0x82, 0x83, 0x85
DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME
SHOWN = WS_CHILD | WS_VISIBLE
HIDDEN = WS_CHILD | WS_DISABLED
LIST_STYLE = (WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_SORT | LBS_OWNERDRAWFIXED
              | LBS_HASSTRINGS | LBS_DISABLENOSCROLL)

# Resource types and the language of every resource but the manifest: Japanese.
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = 3, 5, 14, 24
JAPANESE, NEUTRAL = 1041, 0

# (id, class, style, x, y, width, height, text), in template order.
SFX_DIALOG = [
    (103, STATIC, SHOWN | SS_LEFT | WS_GROUP, 10, 7, 157, 8, "ｲﾝｽﾄｰﾙするﾌｫﾙﾀﾞ(&D):"),
    (100, EDIT, SHOWN | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_OEMCONVERT, 10, 18, 135, 12,
     ""),
    (104, BUTTON, SHOWN | BS_PUSHBUTTON | WS_TABSTOP, 148, 17, 40, 14, "参照(&B)..."),
    (101, STATIC, SHOWN | SS_LEFTNOWORDWRAP | WS_GROUP, 12, 60, 130, 8, ""),
    (102, STATIC, SHOWN | SS_LEFTNOWORDWRAP | WS_GROUP, 144, 60, 45, 8, ""),
    (1, BUTTON, SHOWN | BS_DEFPUSHBUTTON | WS_TABSTOP, 40, 72, 40, 14, "OK(&O)"),
    (2, BUTTON, SHOWN | WS_TABSTOP, 110, 72, 40, 14, "ｷｬﾝｾﾙ(&C)"),
    (105, BUTTON, SHOWN | BS_CHECKBOX | WS_TABSTOP, 12, 32, 176, 12, "ｽﾀｰﾄﾒﾆｭｰに登録(&S)"),
    (106, BUTTON, SHOWN | BS_CHECKBOX | WS_TABSTOP, 12, 44, 176, 12, "関連付け(&A)"),
]
GET_DIR_DIALOG = [
    (65535, STATIC, SHOWN | WS_GROUP | SS_LEFT, 10, 11, 92, 9, "ディレクトリ(&D):"),
    (1088, STATIC, SHOWN | WS_GROUP | SS_LEFT | SS_NOPREFIX, 10, 22, 92, 9, ""),
    (1121, LISTBOX, SHOWN | WS_TABSTOP | LIST_STYLE, 10, 34, 92, 68, ""),
    (1091, STATIC, SHOWN | WS_GROUP | SS_LEFT, 10, 106, 92, 9, "ドライブ(&V):"),
    (1137, COMBOBOX, SHOWN | WS_BORDER | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST
     | CBS_OWNERDRAWFIXED | CBS_AUTOHSCROLL | CBS_SORT | CBS_HASSTRINGS, 10, 116, 92, 68, ""),
    (1, BUTTON, SHOWN | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 115, 12, 50, 14, "OK"),
    (2, BUTTON, SHOWN | WS_GROUP | WS_TABSTOP, 115, 30, 50, 14, "ｷｬﾝｾﾙ"),
    (1038, BUTTON, SHOWN | WS_GROUP | WS_TABSTOP, 115, 55, 50, 14, "ﾍﾙﾌﾟ(&H)"),
    (1090, STATIC, HIDDEN | WS_GROUP | SS_LEFT, -269, 8, 76, 9, "ファイル名(&N):"),
    (1152, EDIT, HIDDEN | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_OEMCONVERT, -271, 20, 90,
     12, ""),
    (1120, LISTBOX, HIDDEN | LIST_STYLE, -269, 37, 90, 68, ""),
    (1089, STATIC, HIDDEN | WS_GROUP | SS_LEFT, -269, 109, 90, 9, "ファイルの種類(&T):"),
    (1136, COMBOBOX, HIDDEN | WS_BORDER | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_AUTOHSCROLL, -268,
     121, 90, 36, ""),
    (1040, BUTTON, HIDDEN | WS_GROUP | BS_AUTOCHECKBOX, -263, 139, 63, 12, "上書き禁止(&R)"),
]
FILE_CONTROLS = {1090, 1152, 1120, 1089, 1136, 1040}
BROWSE_VISIBLE = {65535, 1088, 1121, 1091, 1137, IDOK, IDCANCEL}

MEMBERS = [
    Member("readme.txt", b"read me\r\n"),
    Member(dir="docs", directory=True),
    Member("guide.txt", b"a guide\r\n", dir="docs"),
]

# One session for the module's tests that run programs: started before the first of them,
# closed after the last test of the module. The resource checks need no Wine.
wine = winehelper.session()
tearDownModule = wine.close


# ---------------------------------------------------------------------------------------------
# Resources of the built stub
# ---------------------------------------------------------------------------------------------


def _sz_or_ord(data, at):
    """A template's name or ordinal field: (value, offset after it)."""
    first, = struct.unpack_from("<H", data, at)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    """A DLGTEMPLATE: its header fields and its items as tuples like SFX_DIALOG's."""
    style, exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    menu, at = _sz_or_ord(data, 18)
    cls, at = _sz_or_ord(data, at)
    title, at = _sz_or_ord(data, at)
    header = dict(style=style, exstyle=exstyle, rect=(x, y, cx, cy), menu=menu, cls=cls,
                  title=title, font=bool(style & 0x40))
    items = []
    for _ in range(count):
        at = (at + 3) & ~3
        style, exstyle, x, y, cx, cy, ident = struct.unpack_from("<IIhhhhH", data, at)
        cls, at = _sz_or_ord(data, at + 18)
        text, at = _sz_or_ord(data, at)
        extra, = struct.unpack_from("<H", data, at)
        at += 2 + extra
        items.append(((ident, cls, style, x, y, cx, cy, text), exstyle, extra))
    return header, items


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.resources = PeImage(STUB.read_bytes()).resources()

    def dialog(self, name):
        return parse_dialog(self.resources[RT_DIALOG, name, JAPANESE])

    def test_every_resource_but_the_language_neutral_manifest_is_japanese(self):
        self.assertEqual({(kind, name, language) for kind, name, language in self.resources
                          if language != JAPANESE}, {(RT_MANIFEST, 1, NEUTRAL)})
        self.assertEqual({(kind, name) for kind, name, _ in self.resources if kind != RT_ICON},
                         {(RT_DIALOG, "SFXDIALOG"), (RT_DIALOG, "GETDIRDIALOG"),
                          (RT_GROUP_ICON, 101), (RT_MANIFEST, 1)})

    def test_sfx_dialog_template_is_as_designed(self):
        header, items = self.dialog("SFXDIALOG")
        self.assertEqual(header, dict(style=0x80C80080, exstyle=WS_EX_DLGMODALFRAME,
                                      rect=(32, 32, 195, 94), menu="", cls="", title="ｲﾝｽﾄｰﾙ",
                                      font=False))
        self.assertEqual([item for item, _, _ in items], SFX_DIALOG)
        self.assertEqual({(exstyle, extra) for _, exstyle, extra in items}, {(0, 0)})

    def test_get_dir_dialog_template_is_as_designed(self):
        header, items = self.dialog("GETDIRDIALOG")
        self.assertEqual(header, dict(style=DIALOG_STYLE, exstyle=0, rect=(24, 24, 175, 140),
                                      menu="", cls="", title="", font=False))
        self.assertEqual([item for item, _, _ in items], GET_DIR_DIALOG)
        self.assertEqual({(exstyle, extra) for _, exstyle, extra in items}, {(0, 0)})

    def test_icon_101_holds_a_32_and_a_16_pixel_image_in_16_colours(self):
        group = self.resources[RT_GROUP_ICON, 101, JAPANESE]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind, count), (0, 1, 2))
        sizes = set()
        for i in range(count):
            width, height, colours, _, planes, bits, size, ident = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            image = self.resources[RT_ICON, ident, JAPANESE]
            self.assertEqual(len(image), size)
            header = struct.unpack_from("<IiiHH", image, 0)
            self.assertEqual(header, (40, width, 2 * height, 1, 4))
            self.assertEqual((colours, planes, bits), (16, 1, 4))
            sizes.add((width, height))
        self.assertEqual(sizes, {(32, 32), (16, 16)})

    def test_the_icon_file_is_what_its_script_draws(self):
        with tempfile.TemporaryDirectory() as folder:
            drawn = Path(folder) / "drawn.ico"
            subprocess.run(["python3", str(SOURCE_DIR / "tools" / "icon" / "make_icon.py"),
                            str(drawn)], check=True, timeout=30)
            self.assertEqual(drawn.read_bytes(),
                             (SOURCE_DIR / "src" / "ui" / "sfxstub.ico").read_bytes())


# ---------------------------------------------------------------------------------------------
# The dialogs under Wine
# ---------------------------------------------------------------------------------------------


class DialogCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine.start()

    def setUp(self):
        self.folder = wine.drive_c / "dialog"
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir()
        shutil.rmtree(wine.linux_path(PROPOSED), ignore_errors=True)

    def make(self, directives="", members=MEMBERS, **fields):
        fields.setdefault("window_title", TITLE)
        fields.setdefault("install_dir", PROPOSED)
        if directives:
            members = [*members, Member("$", directives.encode("cp932"))]
        return installer.make_installer(STUB, self.folder / "setup.exe",
                                        installer.archive(members), **fields)

    def start(self, path, *args, cwd=None):
        program = wine.spawn(path, *args, cwd=cwd)
        self.addCleanup(program.kill)
        return program

    def dump(self, caption=TITLE):
        [window] = wine.ui("wait", caption, WAIT_MS, "dump")
        return window

    def wait_for_box(self):
        """The message box captioned like the dialog: the dialog itself answers `wait` until
        the box has come up and disabled it."""
        for _ in range(100):
            window = self.dump()
            if any(c.id == BOX_TEXT for c in window.controls):
                return window
        self.fail("no message box over the dialog")

    def assert_extracted(self, linux_folder):
        self.assertEqual((linux_folder / "readme.txt").read_bytes(), b"read me\r\n")
        self.assertEqual((linux_folder / "docs" / "guide.txt").read_bytes(), b"a guide\r\n")


class InstallDialog(DialogCase):
    def test_shows_the_settings_and_the_template_texts_and_cancel_ends_with_status_0(self):
        program = self.start(self.make("$GroupTitle=ｸﾞﾙｰﾌﾟに登録\r\n"))
        dialog = self.dump()
        wine.screenshot("dialog-install")
        self.assertEqual(dialog.caption, TITLE)
        self.assertEqual([c.id for c in dialog.controls], [item[0] for item in SFX_DIALOG])
        texts = {c.id: c.text for c in dialog.controls}
        self.assertEqual(texts, {FOLDER_LABEL: "ｲﾝｽﾄｰﾙするﾌｫﾙﾀﾞ(&D):", FOLDER: PROPOSED,
                                 BROWSE: "参照(&B)...", FILE_LABEL: "", PROGRESS: "",
                                 IDOK: "OK(&O)", IDCANCEL: "ｷｬﾝｾﾙ(&C)", GROUP: "ｸﾞﾙｰﾌﾟに登録",
                                 ASSOCIATION: "関連付け(&A)"})
        self.assertTrue(dialog.control(GROUP).checked and dialog.control(GROUP).enabled)
        self.assertIn("unchecked", dialog.control(ASSOCIATION).state)
        self.assertFalse(dialog.control(ASSOCIATION).enabled)
        self.assertIn("default", dialog.control(IDOK).state)
        self.assertIn("focused", dialog.control(FOLDER).state)
        x, y, width, height = dialog.own.rect
        self.assertEqual((x, y), ((SCREEN_WIDTH - width) // 2, (SCREEN_HEIGHT - height) // 2))

        wine.ui("wait", TITLE, WAIT_MS, "click", IDCANCEL)
        self.assertEqual(program.wait(), 0)
        self.assertFalse(wine.linux_path(PROPOSED).exists())

    def test_an_install_title_and_a_class_title_replace_the_template_texts(self):
        program = self.start(self.make("$ClassTitle=拡張子を関連付ける\r\n",
                                       install_title="展開先:"))
        dialog = self.dump()
        self.assertEqual(dialog.control(FOLDER_LABEL).text, "展開先:")
        self.assertEqual(dialog.control(ASSOCIATION).text, "拡張子を関連付ける")
        self.assertTrue(dialog.control(ASSOCIATION).checked)
        self.assertTrue(dialog.control(ASSOCIATION).enabled)
        self.assertEqual(dialog.control(GROUP).text, "ｽﾀｰﾄﾒﾆｭｰに登録(&S)")
        self.assertFalse(dialog.control(GROUP).checked or dialog.control(GROUP).enabled)
        wine.ui("wait", TITLE, WAIT_MS, "click", IDCANCEL)
        self.assertEqual(program.wait(), 0)

    def test_n_with_a_folder_extracts_without_input_and_ends_with_status_1(self):
        program = self.start(self.make(), "-n", "C:\\dialog\\自動")
        self.assertEqual(program.wait(), 1)
        self.assert_extracted(self.folder / "自動")
        self.assertFalse(wine.linux_path(PROPOSED).exists())

    def test_a_folder_typed_in_quotes_is_used_without_them(self):
        program = self.start(self.make())
        wine.ui("wait", TITLE, WAIT_MS, "settext", FOLDER, '"C:\\dialog\\with blank"', "click",
                IDOK)
        self.assertEqual(program.wait(), 1)
        self.assert_extracted(self.folder / "with blank")

    def test_a_network_folder_is_refused_with_every_control_enabled_until_corrected(self):
        program = self.start(self.make("$GroupTitle=ｸﾞﾙｰﾌﾟ\r\n$ClassTitle=関連付け\r\n"))
        wine.ui("wait", TITLE, WAIT_MS, "settext", FOLDER, "\\\\server\\share", "click", IDOK)
        box = self.wait_for_box()
        self.assertEqual(box.control(BOX_TEXT).text, REFUSED)
        wine.ui("wait", TITLE, WAIT_MS, "click", IDOK, "gone", WAIT_MS)

        dialog = self.dump()
        self.assertEqual([c.id for c in dialog.controls if not c.enabled], [])
        self.assertEqual(dialog.control(FOLDER).text, "\\\\server\\share")
        wine.ui("wait", TITLE, WAIT_MS, "settext", FOLDER, "C:\\dialog\\fixed", "click", IDOK)
        self.assertEqual(program.wait(), 1)
        self.assert_extracted(self.folder / "fixed")


class BrowseDialog(DialogCase):
    def browse(self):
        """Opens the browse dialog, reads it, and presses its OK; returns the dump."""
        wine.ui("wait", TITLE, WAIT_MS, "click", BROWSE)
        dump = self.dump(BROWSE_TITLE)
        wine.ui("wait", BROWSE_TITLE, WAIT_MS, "click", IDOK, "gone", WAIT_MS)
        return dump

    def test_only_the_folder_and_drive_lists_and_the_buttons_show_and_a_root_is_c_backslash(self):
        program = self.start(self.make(), cwd=wine.drive_c)
        wine.ui("wait", TITLE, WAIT_MS, "click", BROWSE)
        picker = self.dump(BROWSE_TITLE)
        wine.screenshot("dialog-browse")
        self.assertEqual({c.id for c in picker.controls if c.visible}, BROWSE_VISIBLE)
        for control in picker.controls:
            if control.id in FILE_CONTROLS:
                self.assertFalse(control.enabled, control)
                self.assertLess(control.rect[0] + control.rect[2], 0, control)
        self.assertFalse(picker.control(1038).visible)  # help, not asked for
        self.assertEqual(picker.control(1152).text, "work.txt")
        wine.ui("wait", BROWSE_TITLE, WAIT_MS, "click", IDOK, "gone", WAIT_MS)

        self.assertEqual(self.dump().control(FOLDER).text, "C:\\")
        wine.ui("wait", TITLE, WAIT_MS, "click", IDCANCEL)
        self.assertEqual(program.wait(), 0)

    def test_a_folder_with_a_blank_lands_in_quotes_and_is_extracted_into(self):
        chosen = self.folder / "my folder"
        chosen.mkdir()
        program = self.start(self.make(), cwd=chosen)
        self.browse()
        self.assertEqual(self.dump().control(FOLDER).text, '"C:\\dialog\\my folder\\"')
        wine.ui("wait", TITLE, WAIT_MS, "click", IDOK)
        self.assertEqual(program.wait(), 1)
        self.assert_extracted(chosen)

    def test_cancelling_the_picker_leaves_the_folder(self):
        program = self.start(self.make(), cwd=self.folder)
        wine.ui("wait", TITLE, WAIT_MS, "click", BROWSE)
        wine.ui("wait", BROWSE_TITLE, WAIT_MS, "click", IDCANCEL, "gone", WAIT_MS)
        self.assertEqual(self.dump().control(FOLDER).text, PROPOSED)
        wine.ui("wait", TITLE, WAIT_MS, "click", IDCANCEL)
        self.assertEqual(program.wait(), 0)


if __name__ == "__main__":
    unittest.main()
