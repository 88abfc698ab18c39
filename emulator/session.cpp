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
} // namespace

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

namespace {

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

std::string DumpLine(const std::string &id, const char *cls, const std::string &cp932_text,
                     const std::string &state, const RECT &rect) {
    std::string text;
    for (char c : Utf8FromCp932(cp932_text)) {
        text += c == '\\'   ? "\\\\"
                : c == '\t' ? "\\t"
                : c == '\n' ? "\\n"
                : c == '\r' ? "\\r"
                            : std::string(1, c);
    }
    return id + "\t" + cls + "\t" + text + "\t" + state + "\t" + std::to_string(rect.left) + "," +
           std::to_string(rect.top) + "," + std::to_string(rect.right - rect.left) + "," +
           std::to_string(rect.bottom - rect.top) + "\n";
}

std::string Session::Await(Waiting &waiting, const std::string &what) {
    if (control_in == nullptr) {
        return TakeAnswer(what);
    }
    for (;;) {
        fprintf(control_out, "wait %lu\n%send\n",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(waiting.window())),
                waiting.Dump().c_str());
        fflush(control_out);
        char line[4096];
        if (fgets(line, sizeof line, control_in) == nullptr) {
            // The driver is gone: the program is ended as a killed one is.
            machine.Exit(kEndNoAnswer);
        }
        std::string action(line);
        while (!action.empty() && (action.back() == '\n' || action.back() == '\r')) {
            action.pop_back();
        }
        std::string answer;
        int status = 2;
        if (action.compare(0, 6, "click ") == 0) {
            status = waiting.Click(atoi(action.c_str() + 6), &answer);
        } else if (action.compare(0, 8, "settext ") == 0) {
            size_t blank = action.find(' ', 8);
            std::string text;
            status = blank == std::string::npos ? 2 : 0;
            std::string typed;
            for (size_t i = blank + 1; status == 0 && i < action.size(); ++i) {
                char c = action[i];
                if (c == '\\' && i + 1 < action.size()) {
                    char e = action[++i];
                    c = e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
                }
                typed += c;
            }
            if (status == 0 && !Cp932FromUtf8(typed, &text)) {
                status = 2;
            }
            if (status == 0) {
                status = waiting.SetText(atoi(action.c_str() + 8), text);
            }
        }
        fprintf(control_out, "status %d\n", status);
        fflush(control_out);
        if (status == 0 && !answer.empty()) {
            Event e("action");
            Record(e.Raw("action", JsonString(action)));
            return answer;
        }
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
    HostSetProcessStartHook(StartProgramManager);
    // Windows comes with its shell running; so does Wine.
    StartProgramManager("PROGMAN.EXE");
}

void RecordText(HWND window, int id, const char *text) {
    Event e("text");
    e.Number("window", static_cast<long long>(reinterpret_cast<uintptr_t>(window)));
    if (id >= 0) {
        e.Number("control", id);
    }
    Current().Record(e.Text("text", text == nullptr ? "" : text));
}
