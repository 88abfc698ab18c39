#include "session.h"

#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#include <map>

#include "platform/host_dialogs_control.h"
#include "platform/host_shell_control.h"
#include "platform/host_state.h"

namespace {

const HWND kProgramManager = reinterpret_cast<HWND>(0x00A10000);
constexpr int kEditField = 100; // the install dialog's folder field
constexpr int kTimerLimit = 1000;
constexpr UINT kStyleDisabled = 0x08000000; // WS_DISABLED
constexpr UINT kStyleVisible = 0x10000000;  // WS_VISIBLE

bool Convert(const char *to, const char *from, const std::string &in, std::string *out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string result(in.size() * 4 + 16, '\0');
    char *src = const_cast<char *>(in.data());
    size_t left = in.size();
    char *dst = &result[0];
    size_t room = result.size();
    bool ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1);
    iconv_close(cd);
    result.resize(result.size() - room);
    *out = ok ? result : std::string();
    return ok;
}

std::string Utf16Cp932(const std::u16string &text) {
    std::string bytes(reinterpret_cast<const char *>(text.data()), text.size() * 2);
    std::string out;
    Convert("CP932", "UTF-16LE", bytes, &out);
    return out;
}

// A template's name or ordinal field, UTF-16; advances `at`.
std::u16string SzOrOrd(const std::vector<uint8_t> &d, size_t *at, bool *ordinal, uint16_t *number) {
    auto word = [&](size_t i) -> uint16_t { return i + 2 <= d.size() ? d[i] | d[i + 1] << 8 : 0; };
    *ordinal = false;
    if (word(*at) == 0xFFFF) {
        *ordinal = true;
        *number = word(*at + 2);
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

std::string StatesOf(const HostControl &c) {
    std::string s = "[";
    auto add = [&](const char *state) {
        s += (s.size() > 1 ? ",\"" : "\"") + std::string(state) + "\"";
    };
    if (c.style & kStyleVisible) {
        add("visible");
    }
    if (c.enabled) {
        add("enabled");
    }
    if (c.check == BST_CHECKED) {
        add("checked");
    }
    return s + "]";
}

std::map<std::string, std::string> &TemplateCaptions() {
    static std::map<std::string, std::string> captions; // by upper-cased template name
    return captions;
}

std::vector<std::pair<int, std::string>> &TemplateOrder() {
    static std::vector<std::pair<int, std::string>> ids; // control id, template name
    return ids;
}

void RecordDialogWaiting(HWND dialog) {
    Session &s = Current();
    std::string controls = "[";
    for (const auto &entry : TemplateOrder()) {
        if (entry.second != s.open_dialogs.back()) {
            continue;
        }
        HostControl *c = HostFindControl(dialog, entry.first);
        if (c == nullptr) {
            continue;
        }
        controls += (controls.size() > 1 ? "," : "") + std::string("{\"id\":") +
                    std::to_string(entry.first) +
                    ",\"text\":" + JsonString(Utf8FromCp932(c->text)) +
                    ",\"states\":" + StatesOf(*c) + "}";
    }
    Event e("dialog");
    e.Text("template", s.open_dialogs.back()).Text("caption", HostWindowCaption(dialog));
    s.Record(e.Raw("controls", controls + "]"));
}

// Acts as the user when the dialog's queue is empty: the auto-start timer first, as
// time passes, then the next answer.
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
    RecordDialogWaiting(dialog);
    std::string answer = s.TakeAnswer("the dialog " + s.open_dialogs.back());
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
                        " is not one a dialog takes (ok, cancel, "
                        "folder:PATH, click:ID)");
    }
    HostControl *control = HostFindControl(dialog, button);
    if (control == nullptr || !control->enabled) {
        s.machine.Fault("the answer " + answer + " names a control that is missing or disabled");
    }
    PostMessageA(dialog, WM_COMMAND, static_cast<WPARAM>(button), 0);
    return true;
}

// Program Manager: answers the conversation on "PROGMAN", records each command and
// acknowledges it positively.
LRESULT ProgramManager(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    Session &s = Current();
    HWND client = reinterpret_cast<HWND>(wparam);
    if (message == WM_DDE_INITIATE) {
        std::string app = HostAtomName(LOWORD(lparam));
        std::string topic = HostAtomName(HIWORD(lparam));
        Event e("dde-initiate");
        s.Record(e.Text("application", app).Text("topic", topic));
        if ((app.empty() || app == "PROGMAN") && (topic.empty() || topic == "PROGMAN")) {
            SendMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(window),
                         MAKELPARAM(GlobalAddAtomA("PROGMAN"), GlobalAddAtomA("PROGMAN")));
        }
    } else if (message == WM_DDE_EXECUTE) {
        UINT_PTR lo = 0, block = 0;
        UnpackDDElParam(WM_DDE_EXECUTE, lparam, &lo, &block);
        // The command block is the program's global memory.
        const char *command = s.machine.Str(static_cast<uint32_t>(block), "a DDE command");
        Event e("dde-execute");
        s.Record(e.Text("command", command == nullptr ? "" : command));
        PostMessageA(client, WM_DDE_ACK, reinterpret_cast<WPARAM>(window),
                     PackDDElParam(WM_DDE_ACK, 0x8000, block));
    } else if (message == WM_DDE_TERMINATE) {
        Event e("dde-terminate");
        s.Record(e);
        PostMessageA(client, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(window), 0);
    }
    return 0;
}

void StartProgramManager(const char *command_line) {
    std::string upper = HostUpper(command_line == nullptr ? "" : command_line);
    if (upper.find("PROGMAN") != std::string::npos && FindWindowA("Progman", nullptr) == nullptr) {
        HostAddWindow(kProgramManager, "Progman", ProgramManager, false);
    }
}

} // namespace

// ---- Transcript -----------------------------------------------------------------

std::string JsonString(const std::string &utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Utf8FromCp932(const std::string &cp932) {
    std::string out;
    if (Convert("UTF-8", "CP932", cp932, &out)) {
        return out;
    }
    // Bytes that are no text of the code page are shown as their values.
    out.clear();
    for (unsigned char c : cp932) {
        char hex[8];
        snprintf(hex, sizeof hex, c < 0x80 ? "%c" : "\\x%02X", c);
        out += hex;
    }
    return out;
}

bool Cp932FromUtf8(const std::string &utf8, std::string *cp932) {
    return Convert("CP932", "UTF-8", utf8, cp932);
}

Event::Event(const char *kind) : body_("{\"event\":\"" + std::string(kind) + "\"") {}

Event &Event::Text(const char *key, const std::string &cp932) {
    return Raw(key, JsonString(Utf8FromCp932(cp932)));
}

Event &Event::Number(const char *key, long long value) {
    return Raw(key, std::to_string(value));
}

Event &Event::Flag(const char *key, bool value) {
    return Raw(key, value ? "true" : "false");
}

Event &Event::Raw(const char *key, const std::string &json) {
    body_ += ",\"" + std::string(key) + "\":" + json;
    return *this;
}

void Session::Record(Event &event) {
    if (transcript != nullptr) {
        fprintf(transcript, "%s\n", event.json().c_str());
    }
}

std::string Session::TakeAnswer(const std::string &waiting) {
    if (next_answer < answers.size()) {
        return answers[next_answer++];
    }
    fprintf(stderr, "emulator: %s waits for an answer, and none is left\n", waiting.c_str());
    Event e("no-answer");
    Record(e.Text("waiting", waiting));
    machine.Exit(kEndNoAnswer);
}

Session &Current() {
    static Session *session = new Session();
    return *session;
}

// ---- The desktop ---------------------------------------------------------------

void PrepareDesktop() {
    HostSetDialogDriver(DriveDialog);
    HostSetProcessStartHook(StartProgramManager);
    // Windows comes with its shell running; so does Wine.
    StartProgramManager("PROGMAN.EXE");
}

bool DefineTemplateFromResources(const std::string &name) {
    const PeImage::Resource *r = Current().image.FindResource("#5", name);
    if (r == nullptr) {
        return false;
    }
    const std::vector<uint8_t> &d = r->data;
    auto dword = [&](size_t i) -> uint32_t {
        return i + 4 <= d.size()
                   ? d[i] | d[i + 1] << 8 | d[i + 2] << 16 | static_cast<uint32_t>(d[i + 3]) << 24
                   : 0;
    };
    if (dword(0) == 0xFFFF0001u) {
        Current().machine.Fault("the extended dialog template " + name + " is not modelled");
    }
    uint32_t style = dword(0);
    size_t count = d.size() >= 10 ? d[8] | d[9] << 8 : 0;
    size_t at = 18;
    bool ordinal;
    uint16_t number;
    SzOrOrd(d, &at, &ordinal, &number); // menu
    SzOrOrd(d, &at, &ordinal, &number); // class
    std::string title = Utf16Cp932(SzOrOrd(d, &at, &ordinal, &number));
    if (style & 0x40) { // DS_SETFONT: point size and face name
        at += 2;
        SzOrOrd(d, &at, &ordinal, &number);
    }
    std::vector<std::string> texts;
    std::vector<HostControlSpec> specs;
    std::vector<std::pair<int, uint32_t>> styles;
    texts.reserve(count);
    for (size_t i = 0; i < count && at < d.size(); ++i) {
        at = (at + 3) & ~size_t{3};
        uint32_t item_style = dword(at);
        int id = d.size() >= at + 18 ? static_cast<int16_t>(d[at + 16] | d[at + 17] << 8) : 0;
        at += 18;
        SzOrOrd(d, &at, &ordinal, &number); // class
        std::u16string text = SzOrOrd(d, &at, &ordinal, &number);
        size_t extra = at + 2 <= d.size() ? d[at] | d[at + 1] << 8 : 0;
        at += 2 + extra;
        texts.push_back(ordinal ? "" : Utf16Cp932(text));
        specs.push_back(HostControlSpec{id & 0xFFFF, texts.back().c_str(), item_style});
        TemplateOrder().emplace_back(id & 0xFFFF, HostUpper(name));
    }
    HostDefineTemplate(name.c_str(), specs);
    TemplateCaptions()[HostUpper(name)] = title;
    return true;
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
        SetWindowTextA(dialog, TemplateCaptions()[s.open_dialogs.back()].c_str());
        for (const auto &entry : TemplateOrder()) {
            HostControl *c = entry.second == s.open_dialogs.back()
                                 ? HostFindControl(dialog, entry.first)
                                 : nullptr;
            if (c != nullptr) {
                c->enabled = (c->style & kStyleDisabled) == 0;
            }
        }
    }
    Machine &m = s.machine;
    uint32_t result = m.Call(proc, {m.ToGuest(reinterpret_cast<uintptr_t>(dialog)), message,
                                    m.ToGuest(wparam), m.ToGuest(static_cast<uint64_t>(lparam))});
    return static_cast<int32_t>(result);
}

void RecordText(HWND window, int id, const char *text) {
    Event e("text");
    e.Number("window", static_cast<long long>(reinterpret_cast<uintptr_t>(window)));
    if (id >= 0) {
        e.Number("control", id);
    }
    Current().Record(e.Text("text", text == nullptr ? "" : text));
}
