// The program's dialogs as the emulated user sees them: templates read from its
// resources, the modal loop's driver (the auto-start timer, then the user's answer), the
// procedure that calls the program's own dialog procedure, and the three kinds of window
// that wait for the user: a dialog of the program, a message box, the folder dialog.
#include <stdlib.h>

#include <map>

#include "platform/host_dialogs_control.h"
#include "platform/host_shell_control.h"
#include "platform/host_state.h"
#include "session.h"

namespace {

constexpr int kEditField = 100; // the install dialog's folder field
constexpr int kTimerLimit = 1000;
constexpr DWORD kStyleDisabled = 0x08000000; // WS_DISABLED
constexpr DWORD kStyleVisible = 0x10000000;  // WS_VISIBLE

struct TemplateItem {
    int id;
    uint16_t cls; // the predefined class's ordinal: 0x80 button, 0x81 edit, 0x82 static...
    DWORD style;
    RECT rect; // in pixels, from the template's dialog units
    std::string text;
};

struct DialogTemplateInfo {
    std::string caption;
    std::vector<TemplateItem> items;
};

std::map<std::string, DialogTemplateInfo> &Templates() {
    static std::map<std::string, DialogTemplateInfo> templates; // by upper-cased name
    return templates;
}

std::string Utf16Cp932(const std::u16string &text) {
    std::string bytes(reinterpret_cast<const char *>(text.data()), text.size() * 2);
    std::string out;
    Convert("CP932", "UTF-16LE", bytes, &out);
    return out;
}

// A template's name or ordinal field, UTF-16; advances `at`.
std::u16string SzOrOrd(const std::vector<uint8_t> &d, size_t *at, uint16_t *ordinal) {
    auto word = [&](size_t i) -> uint16_t { return i + 2 <= d.size() ? d[i] | d[i + 1] << 8 : 0; };
    *ordinal = 0;
    if (word(*at) == 0xFFFF) {
        *ordinal = word(*at + 2);
        *at += 4;
        return u"";
    }
    std::u16string s;
    while (*at + 2 <= d.size() && word(*at) != 0) {
        s += static_cast<char16_t>(word(*at));
        *at += 2;
    }
    *at += 2;
    return s;
}

const char *ClassName(uint16_t cls) {
    switch (cls) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    case 0x83:
        return "ListBox";
    case 0x85:
        return "ComboBox";
    default:
        return "Unknown";
    }
}

bool IsCheckBox(const TemplateItem &item, DWORD style) {
    DWORD type = style & BS_TYPEMASK;
    return item.cls == 0x80 && (type == 2 || type == 3 || type == 5 || type == 6);
}

// A template parsed into the model's definition and the emulator's own record; false
// when the program has none of that name.
const DialogTemplateInfo *LoadTemplate(const std::string &name) {
    auto known = Templates().find(name);
    if (known != Templates().end()) {
        return &known->second;
    }
    const PeImage::Resource *r = Current().image.FindResource("#5", name);
    if (r == nullptr) {
        return nullptr;
    }
    const std::vector<uint8_t> &d = r->data;
    auto dword = [&](size_t i) -> uint32_t {
        return i + 4 <= d.size()
                   ? d[i] | d[i + 1] << 8 | d[i + 2] << 16 | static_cast<uint32_t>(d[i + 3]) << 24
                   : 0;
    };
    auto word = [&](size_t i) -> int16_t {
        return static_cast<int16_t>(i + 2 <= d.size() ? d[i] | d[i + 1] << 8 : 0);
    };
    if (dword(0) == 0xFFFF0001u) {
        Current().machine.Fault("the extended dialog template " + name + " is not modelled");
    }
    DialogTemplateInfo info;
    uint32_t style = dword(0);
    size_t count = static_cast<uint16_t>(word(8));
    size_t at = 18;
    uint16_t ordinal;
    SzOrOrd(d, &at, &ordinal); // menu
    SzOrOrd(d, &at, &ordinal); // class
    info.caption = Utf16Cp932(SzOrOrd(d, &at, &ordinal));
    if (style & 0x40) { // DS_SETFONT: point size and face name
        at += 2;
        SzOrOrd(d, &at, &ordinal);
    }
    for (size_t i = 0; i < count && at < d.size(); ++i) {
        at = (at + 3) & ~size_t{3};
        TemplateItem item;
        item.style = dword(at);
        // Dialog units to pixels with the base units of the system font, 6 by 13 pixels.
        int x = word(at + 8), y = word(at + 10), cx = word(at + 12), cy = word(at + 14);
        item.rect = RECT{x * 6 / 4, y * 13 / 8, (x + cx) * 6 / 4, (y + cy) * 13 / 8};
        item.id = static_cast<uint16_t>(word(at + 16));
        at += 18;
        SzOrOrd(d, &at, &item.cls);
        uint16_t text_ordinal;
        std::u16string text = SzOrOrd(d, &at, &text_ordinal);
        item.text = text_ordinal != 0 ? "" : Utf16Cp932(text);
        size_t extra = static_cast<uint16_t>(word(at));
        at += 2 + extra;
        info.items.push_back(item);
    }
    std::vector<HostControlSpec> specs;
    for (const TemplateItem &item : info.items) {
        specs.push_back(HostControlSpec{item.id, item.text.c_str(), item.style});
    }
    HostDefineTemplate(name.c_str(), specs);
    return &(Templates()[name] = info);
}

std::string StateWords(bool visible, bool enabled) {
    return std::string(visible ? "visible" : "hidden") + (enabled ? " enabled" : " disabled");
}

// A dialog of the program, waiting in its modal loop.
class DialogWaiting : public Waiting {
  public:
    DialogWaiting(HWND dialog, const DialogTemplateInfo &info) : dialog_(dialog), info_(info) {}
    HWND window() override {
        return dialog_;
    }
    std::string Dump() override {
        std::string out = DumpLine("window", "#32770", HostWindowCaption(dialog_),
                                   "visible enabled", HostWindowRect(dialog_));
        for (const TemplateItem &item : info_.items) {
            HostControl *c = HostFindControl(dialog_, item.id);
            if (c == nullptr) {
                continue;
            }
            std::string state = StateWords((c->style & kStyleVisible) != 0, c->enabled);
            if (item.cls == 0x80 && (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                state += " default";
            }
            if (IsCheckBox(item, c->style)) {
                state += c->check == BST_CHECKED ? " checked" : " unchecked";
            }
            if (HostFocus() == GetDlgItem(dialog_, item.id)) {
                state += " focused";
            }
            out +=
                DumpLine(std::to_string(item.id), ClassName(item.cls), c->text, state, item.rect);
        }
        return out;
    }
    int SetText(int id, const std::string &text) override {
        HostControl *c = Usable(id);
        if (c == nullptr) {
            return status_;
        }
        c->text = text;
        return 0;
    }
    int Click(int id, std::string *answer) override {
        if (Usable(id) == nullptr) {
            return status_;
        }
        *answer = "click:" + std::to_string(id);
        return 0;
    }

  private:
    HostControl *Usable(int id) {
        HostControl *c = HostFindControl(dialog_, id);
        status_ = c == nullptr ? 3 : (!c->enabled || (c->style & kStyleVisible) == 0) ? 4 : 0;
        return status_ == 0 ? c : nullptr;
    }
    HWND dialog_;
    const DialogTemplateInfo &info_;
    int status_ = 0;
};

void RecordDialogWaiting(HWND dialog, const std::string &name, const DialogTemplateInfo &info) {
    std::string controls = "[";
    for (const TemplateItem &item : info.items) {
        HostControl *c = HostFindControl(dialog, item.id);
        if (c == nullptr) {
            continue;
        }
        std::string states = "[";
        auto add = [&](const char *state) {
            states += (states.size() > 1 ? ",\"" : "\"") + std::string(state) + "\"";
        };
        if (c->style & kStyleVisible) {
            add("visible");
        }
        if (c->enabled) {
            add("enabled");
        }
        if (IsCheckBox(item, c->style)) {
            add(c->check == BST_CHECKED ? "checked" : "unchecked");
        }
        controls += (controls.size() > 1 ? "," : "") + std::string("{\"id\":") +
                    std::to_string(item.id) + ",\"text\":" + JsonString(Utf8FromCp932(c->text)) +
                    ",\"states\":" + states + "]}";
    }
    Event e("dialog");
    e.Text("template", name).Text("caption", HostWindowCaption(dialog));
    Current().Record(e.Raw("controls", controls + "]"));
}

// Acts as the user when the dialog's queue is empty: the auto-start timer first, as
// time passes, then the user's answer.
bool DriveDialog(HWND dialog) {
    Session &s = Current();
    for (const HostTimer &timer : HostTimers()) {
        if (timer.window == dialog) {
            if (++s.timer_firings > kTimerLimit) {
                s.machine.Fault("the dialog's timer fired " + std::to_string(kTimerLimit) +
                                " times and the dialog did not end");
            }
            Sleep(timer.milliseconds);
            PostMessageA(dialog, WM_TIMER, timer.id, 0);
            return true;
        }
    }
    const std::string &name = s.open_dialogs.back();
    const DialogTemplateInfo &info = Templates()[name];
    RecordDialogWaiting(dialog, name, info);
    DialogWaiting waiting(dialog, info);
    std::string answer = s.Await(waiting, "the dialog " + name);
    int button = 0;
    if (answer == "ok") {
        button = IDOK;
    } else if (answer == "cancel") {
        button = IDCANCEL;
    } else if (answer.compare(0, 7, "folder:") == 0) {
        HostControl *field = HostFindControl(dialog, kEditField);
        std::string folder;
        if (field == nullptr || !Cp932FromUtf8(answer.substr(7), &folder)) {
            s.machine.Fault("the answer " + answer + " cannot be typed into this dialog");
        }
        field->text = folder;
        button = IDOK;
    } else if (answer.compare(0, 6, "click:") == 0) {
        button = atoi(answer.c_str() + 6);
    } else {
        s.machine.Fault("the answer " + answer +
                        " is not one a dialog takes (ok, cancel, folder:PATH, click:ID)");
    }
    HostControl *control = HostFindControl(dialog, button);
    if (control == nullptr || !control->enabled) {
        s.machine.Fault("the answer " + answer + " names a control that is missing or disabled");
    }
    // A click reports BN_CLICKED (0) from the button to its dialog.
    PostMessageA(dialog, WM_COMMAND, static_cast<WPARAM>(button),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    return true;
}

// The texts Wine's Japanese message boxes give their buttons.
const char *const kButtonTexts[] = {"",           "OK",       "ｷｬﾝｾﾙ",    "中止(&A)",
                                    "再試行(&R)", "無視(&I)", "はい(&Y)", "いいえ(&N)"};
const char *const kButtonNames[] = {"", "ok", "cancel", "abort", "retry", "ignore", "yes", "no"};

} // namespace

// ---- Message boxes and the folder dialog ------------------------------------------------

BoxWaiting::BoxWaiting(const std::string &caption, const std::string &text, UINT style)
    : caption_(caption), text_(text) {
    static const int kButtons[][3] = {{IDOK, 0, 0},     {IDOK, IDCANCEL, 0},
                                      {3, 4, 5},        {IDYES, IDNO, IDCANCEL},
                                      {IDYES, IDNO, 0}, {4, IDCANCEL, 0}};
    static uintptr_t next_box = 0x00B00000;
    window_ = reinterpret_cast<HWND>(next_box++);
    UINT set = style & 0x0F;
    for (int id : set <= 5 ? kButtons[set] : kButtons[0]) {
        if (id != 0) {
            buttons_.push_back(id);
        }
    }
}

std::string BoxWaiting::ButtonNames() const {
    std::string names;
    for (int id : buttons_) {
        names += (names.empty() ? "" : ",") + std::string(kButtonNames[id]);
    }
    return names;
}

int BoxWaiting::Button(const std::string &name) const {
    for (int id : buttons_) {
        if (name == kButtonNames[id]) {
            return id;
        }
    }
    return 0;
}

std::string BoxWaiting::Dump() {
    std::string out =
        DumpLine("window", "#32770", caption_, "visible enabled", RECT{362, 309, 662, 459});
    out += DumpLine("65535", "Static", text_, "visible enabled", RECT{60, 20, 280, 60});
    int x = 20;
    for (int id : buttons_) {
        std::string label;
        Cp932FromUtf8(kButtonTexts[id], &label);
        out += DumpLine(std::to_string(id), "Button", label,
                        id == buttons_.front() ? "visible enabled default" : "visible enabled",
                        RECT{x, 80, x + 80, 104});
        x += 90;
    }
    return out;
}

int BoxWaiting::SetText(int, const std::string &) {
    return 3;
}

int BoxWaiting::Click(int id, std::string *answer) {
    for (int button : buttons_) {
        if (button == id) {
            *answer = kButtonNames[id];
            return 0;
        }
    }
    return 3;
}

FolderWaiting::FolderWaiting(const std::string &caption, const std::string &file,
                             const std::string &folder, DWORD flags)
    : caption_(caption), file_(file), folder_(folder), flags_(flags) {
    window_ = reinterpret_cast<HWND>(0x00C00000);
}

std::string FolderWaiting::Dump() {
    std::string out =
        DumpLine("window", "#32770", caption_, "visible enabled", RECT{380, 250, 644, 518});
    const DialogTemplateInfo *info =
        Current().folder_template.empty() ? nullptr : LoadTemplate(Current().folder_template);
    if (info == nullptr) {
        return out;
    }
    for (const TemplateItem &item : info->items) {
        // The common dialog fills the file name field and the folder's path, and shows the
        // help button only when asked for (OFN_SHOWHELP).
        std::string text = item.id == 1152 ? file_ : item.id == 1088 ? folder_ : item.text;
        bool visible = (item.style & kStyleVisible) != 0 && (item.id != 1038 || (flags_ & 0x10));
        std::string state = StateWords(visible, (item.style & kStyleDisabled) == 0);
        if (item.cls == 0x80 && (item.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            state += " default";
        }
        out += DumpLine(std::to_string(item.id), ClassName(item.cls), text, state, item.rect);
    }
    return out;
}

int FolderWaiting::SetText(int, const std::string &) {
    return 4;
}

int FolderWaiting::Click(int id, std::string *answer) {
    if (id != IDOK && id != IDCANCEL) {
        return 3;
    }
    *answer = id == IDOK ? "ok" : "cancel";
    return 0;
}

// ---- The program's dialogs ------------------------------------------------------------------

void PrepareDialogs() {
    HostSetDialogDriver(DriveDialog);
}

bool DefineTemplateFromResources(const std::string &name) {
    return LoadTemplate(name) != nullptr;
}

INT_PTR CALLBACK GuestDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    Session &s = Current();
    uint32_t proc = 0;
    for (const auto &bound : s.bound_procs) {
        if (bound.first == dialog) {
            proc = bound.second;
        }
    }
    if (proc == 0) {
        // A dialog the model has just made: it belongs to the innermost DialogBoxParamA.
        proc = s.dialog_procs.back();
        s.bound_procs.emplace_back(dialog, proc);
        const DialogTemplateInfo &info = Templates()[s.open_dialogs.back()];
        SetWindowTextA(dialog, info.caption.c_str());
        for (const TemplateItem &item : info.items) {
            if (HostControl *c = HostFindControl(dialog, item.id)) {
                c->enabled = (item.style & kStyleDisabled) == 0;
            }
        }
    }
    Machine &m = s.machine;
    uint32_t result = m.Call(proc, {m.ToGuest(reinterpret_cast<uintptr_t>(dialog)), message,
                                    m.ToGuest(wparam), m.ToGuest(static_cast<uint64_t>(lparam))});
    return static_cast<int32_t>(result);
}
