// Drives the windows of a program under test for the end-to-end tests: finds a top-level window
// by its caption, reports its controls, types into them and clicks them, as a user would.
//
//   uihelper.exe COMMAND [ARG...] [COMMAND [ARG...]]...
//
// The commands run in order; the first that fails ends the run with its status.
//   wait CAPTION MS   waits up to MS milliseconds for a visible, enabled top-level window captioned
//                     exactly CAPTION and makes it the current window. Only an enabled window
//                     counts because a modal box disables its owner, which may bear the same
//                     caption.
//   gone MS           waits up to MS milliseconds until the current window is destroyed or hidden.
//   dump              prints the current window, then each of its child controls, one line each:
//                       id TAB class TAB text TAB state TAB x,y,width,height
//                     The window's own line has the id "window" and its rectangle on the screen;
//                     a control's rectangle is in the window's client coordinates. The state is
//                     words separated by blanks: visible or hidden (the control's own style),
//                     enabled or disabled, for check boxes and radio buttons checked, unchecked
//                     or indeterminate, then default (a default push button) and focused where
//                     they hold. Texts are UTF-8 with backslash, tab, LF and CR escaped as
//                     \\ \t \n \r.
//   origin            prints where the client area of the current window lies on the screen:
//                       origin TAB x,y
//   text ID TEXT MS   waits up to MS milliseconds until control ID of the current window shows
//                     exactly TEXT.
//   settext ID TEXT   sets the text of control ID, which must be visible and enabled.
//   click ID          clicks button ID, which must be visible and enabled: a push button reports
//                     BN_CLICKED to its window, a check box changes as its style says. The click
//                     (BM_CLICK) is queued without waiting for what it sets off, ahead of the
//                     messages that later commands send, so they see its effect.
//
// Exit status: 0 all commands done, 1 a wait timed out, 2 bad usage, 3 no current window or no
// such control, 4 the control is hidden or disabled, 5 the window did not answer a message.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

enum Status { Done = 0, TimedOut = 1, BadUsage = 2, NotFound = 3, NotUsable = 4, NoAnswer = 5 };

const DWORD PollMs = 50;
const UINT AnswerMs = 5000; // bound on every message sent to the program under test

HWND Current = nullptr; // the window found by the last wait

// Writes UTF-8 bytes unchanged, whatever the console or pipe behind the handle.
void Write(DWORD which, const std::string &bytes) {
    DWORD written;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              nullptr);
}

std::string Utf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                        nullptr, nullptr);
    return bytes;
}

Status Fail(Status status, const std::wstring &message) {
    Write(STD_ERROR_HANDLE, "uihelper: " + Utf8(message) + "\n");
    return status;
}

std::wstring Escaped(const std::wstring &text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'\\':
            out += L"\\\\";
            break;
        case L'\t':
            out += L"\\t";
            break;
        case L'\n':
            out += L"\\n";
            break;
        case L'\r':
            out += L"\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A top-level window's caption is kept by the system and read without a message; a control's
// text belongs to its window procedure and needs WM_GETTEXT, which the system carries across
// the process boundary.
bool ControlText(HWND control, std::wstring &text) {
    DWORD_PTR length;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, AnswerMs, &length))
        return false;
    std::wstring buffer(length + 1, L'\0');
    DWORD_PTR copied;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&buffer[0]),
                             SMTO_ABORTIFHUNG, AnswerMs, &copied))
        return false;
    buffer.resize(copied);
    text = buffer;
    return true;
}

std::wstring Caption(HWND window) {
    wchar_t buffer[1024];
    const int length = GetWindowTextW(window, buffer, 1024);
    return std::wstring(buffer, length > 0 ? length : 0);
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[256];
    const int length = GetClassNameW(window, buffer, 256);
    return std::wstring(buffer, length > 0 ? length : 0);
}

std::wstring RectText(const RECT &rect) {
    wchar_t buffer[64];
    swprintf(buffer, 64, L"%ld,%ld,%ld,%ld", rect.left, rect.top, rect.right - rect.left,
             rect.bottom - rect.top);
    return buffer;
}

bool ParseNumber(const wchar_t *text, long &value) {
    wchar_t *end;
    value = std::wcstol(text, &end, 0);
    return *text != L'\0' && *end == L'\0';
}

struct Search {
    const wchar_t *caption;
    HWND found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM param) {
    auto *search = reinterpret_cast<Search *>(param);
    if (IsWindowVisible(window) && IsWindowEnabled(window) && Caption(window) == search->caption) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

Status Wait(const wchar_t *caption, long timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        Search search = {caption, nullptr};
        EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            Current = search.found;
            return Done;
        }
        if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs))
            return Fail(TimedOut, std::wstring(L"no window \"") + caption + L"\" within " +
                                      std::to_wstring(timeoutMs) + L" ms");
        Sleep(PollMs);
    }
}

Status Gone(long timeoutMs) {
    if (!Current)
        return Fail(NotFound, L"gone: no current window");
    const DWORD start = GetTickCount();
    while (IsWindow(Current) && IsWindowVisible(Current)) {
        if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs))
            return Fail(TimedOut,
                        L"window still there after " + std::to_wstring(timeoutMs) + L" ms");
        Sleep(PollMs);
    }
    return Done;
}

// The words of the state column shared by the window and its controls.
std::wstring CommonState(HWND window) {
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    std::wstring state = (style & WS_VISIBLE) ? L"visible" : L"hidden";
    state += IsWindowEnabled(window) ? L" enabled" : L" disabled";
    return state;
}

bool ButtonState(HWND control, std::wstring &state) {
    if (_wcsicmp(ClassOf(control).c_str(), L"Button") != 0)
        return true;
    switch (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) {
    case BS_DEFPUSHBUTTON:
        state += L" default";
        return true;
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON: {
        DWORD_PTR check;
        if (!SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, AnswerMs, &check))
            return false;
        state += check == BST_CHECKED     ? L" checked"
                 : check == BST_UNCHECKED ? L" unchecked"
                                          : L" indeterminate";
        return true;
    }
    default:
        return true;
    }
}

Status Dump() {
    if (!Current || !IsWindow(Current))
        return Fail(NotFound, L"dump: no current window");
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    GetGUIThreadInfo(GetWindowThreadProcessId(Current, nullptr), &thread);

    RECT rect;
    GetWindowRect(Current, &rect);
    std::wstring out = L"window\t" + Escaped(ClassOf(Current)) + L"\t" + Escaped(Caption(Current)) +
                       L"\t" + CommonState(Current) + L"\t" + RectText(rect) + L"\n";
    for (HWND control = GetWindow(Current, GW_CHILD); control;
         control = GetWindow(control, GW_HWNDNEXT)) {
        std::wstring text;
        std::wstring state = CommonState(control);
        if (!ControlText(control, text) || !ButtonState(control, state))
            return Fail(NoAnswer, L"dump: a control did not answer");
        if (control == thread.hwndFocus)
            state += L" focused";
        GetWindowRect(control, &rect);
        MapWindowPoints(HWND_DESKTOP, Current, reinterpret_cast<POINT *>(&rect), 2);
        out += std::to_wstring(GetDlgCtrlID(control)) + L"\t" + Escaped(ClassOf(control)) + L"\t" +
               Escaped(text) + L"\t" + state + L"\t" + RectText(rect) + L"\n";
    }
    Write(STD_OUTPUT_HANDLE, Utf8(out));
    return Done;
}

Status Origin() {
    if (!Current || !IsWindow(Current))
        return Fail(NotFound, L"origin: no current window");
    POINT origin = {0, 0};
    ClientToScreen(Current, &origin);
    Write(STD_OUTPUT_HANDLE,
          Utf8(L"origin\t" + std::to_wstring(origin.x) + L"," + std::to_wstring(origin.y) + L"\n"));
    return Done;
}

Status WaitText(const wchar_t *idText, const wchar_t *wanted, long timeoutMs) {
    long id;
    if (!ParseNumber(idText, id))
        return Fail(BadUsage, std::wstring(L"not a control id: ") + idText);
    const DWORD start = GetTickCount();
    std::wstring text;
    for (;;) {
        if (!Current || !IsWindow(Current))
            return Fail(NotFound, L"text: no current window");
        const HWND control = GetDlgItem(Current, static_cast<int>(id));
        if (!control)
            return Fail(NotFound, std::wstring(L"no control ") + idText);
        if (!ControlText(control, text))
            return Fail(NoAnswer, std::wstring(L"control ") + idText + L" did not answer");
        if (text == wanted)
            return Done;
        if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs))
            return Fail(TimedOut, std::wstring(L"control ") + idText + L" shows \"" + text +
                                      L"\", not \"" + wanted + L"\"");
        Sleep(PollMs);
    }
}

// Finds a control that a user could operate: present, visible and enabled.
Status UsableControl(const wchar_t *idText, HWND &control) {
    long id;
    if (!ParseNumber(idText, id))
        return Fail(BadUsage, std::wstring(L"not a control id: ") + idText);
    if (!Current || !IsWindow(Current))
        return Fail(NotFound, L"no current window");
    control = GetDlgItem(Current, static_cast<int>(id));
    if (!control)
        return Fail(NotFound, std::wstring(L"no control ") + idText);
    if (!(GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) || !IsWindowEnabled(control))
        return Fail(NotUsable, std::wstring(L"control ") + idText + L" is hidden or disabled");
    return Done;
}

Status SetText(const wchar_t *idText, const wchar_t *text) {
    HWND control;
    const Status status = UsableControl(idText, control);
    if (status != Done)
        return status;
    DWORD_PTR result;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, AnswerMs, &result) ||
        !result)
        return Fail(NoAnswer, std::wstring(L"control ") + idText + L" refused the text");
    return Done;
}

Status Click(const wchar_t *idText) {
    HWND control;
    const Status status = UsableControl(idText, control);
    if (status != Done)
        return status;
    if (!SendNotifyMessageW(control, BM_CLICK, 0, 0))
        return Fail(NoAnswer, std::wstring(L"could not send the click to ") + idText);
    return Done;
}

// Runs the command at args[at] and advances `at` past its arguments.
Status RunCommand(int argc, wchar_t **args, int &at) {
    const std::wstring name = args[at];
    const int wanted = name == L"text"                         ? 3
                       : name == L"wait" || name == L"settext" ? 2
                       : name == L"gone" || name == L"click"   ? 1
                       : name == L"dump" || name == L"origin"  ? 0
                                                               : -1;
    if (wanted < 0)
        return Fail(BadUsage, L"unknown command: " + name);
    if (at + wanted >= argc)
        return Fail(BadUsage, name + L": missing arguments");
    wchar_t **arg = args + at + 1;
    at += 1 + wanted;

    long timeoutMs = 0;
    if (name == L"wait" || name == L"gone" || name == L"text") {
        if (!ParseNumber(arg[wanted - 1], timeoutMs) || timeoutMs < 0)
            return Fail(BadUsage, name + L": not a time in ms: " + arg[wanted - 1]);
    }
    if (name == L"wait")
        return Wait(arg[0], timeoutMs);
    if (name == L"gone")
        return Gone(timeoutMs);
    if (name == L"dump")
        return Dump();
    if (name == L"origin")
        return Origin();
    if (name == L"text")
        return WaitText(arg[0], arg[1], timeoutMs);
    if (name == L"settext")
        return SetText(arg[0], arg[1]);
    return Click(arg[0]);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2)
        return Fail(BadUsage, L"usage: uihelper COMMAND [ARG...]...");
    for (int at = 1; at < argc;) {
        const Status status = RunCommand(argc, argv, at);
        if (status != Done)
            return status;
    }
    return Done;
}
