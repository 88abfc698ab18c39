// Host double: dialog windows and their controls, the modal dialog loop, icons,
// painting, timers and the file-open common dialog.
#include "platform/host_dialogs_control.h"
#include "platform/host_shell_control.h"
#include "platform/host_state.h"

#include <map>
#include <set>

namespace {

struct ControlTemplate {
    int id;
    std::string text;
    DWORD style;
};

struct DialogTemplate {
    std::vector<ControlTemplate> controls;
};

struct DialogWindow {
    DLGPROC proc;
    std::string caption;
    RECT rect;
    bool iconic = false;
    bool move_repainted = false;
    bool ended = false;
    INT_PTR result = 0;
    std::map<int, HostControl> controls;
};

struct OpenFileAnswer {
    bool chosen;
    std::string path;
};

struct HostDialogs {
    std::map<HWND, DialogWindow> dialogs;
    std::map<std::string, DialogTemplate> templates; // upper-cased names
    bool (*driver)(HWND) = nullptr;
    bool fail_dialog_box = false;
    uintptr_t next_dialog = 0x5000;
    std::vector<HostDialogBoxCall> dialog_box_calls;
    std::vector<HostEndDialog> end_dialogs;
    HWND focus = nullptr;
    int screen_width = 1024;
    int screen_height = 768;
    int initial_map_mode = MM_TEXT;
    std::vector<HostIconLoad> icon_loads;
    std::set<HICON> live_icons;
    uintptr_t next_icon = 0x6000;
    std::vector<HostIconDraw> icon_draws;
    std::vector<HostPaint> paints;
    std::map<HDC, int> painting_dcs; // device context in use: its mapping mode
    uintptr_t next_dc = 0x9000;
    std::vector<HostTimer> timers;
    std::vector<OpenFileAnswer> open_file_answers;
    std::vector<HostOpenFileRequest> open_file_requests;
};

HostDialogs &Dialogs() {
    static HostDialogs dialogs;
    return dialogs;
}

DialogWindow *FindDialog(HWND dialog) {
    auto it = Dialogs().dialogs.find(dialog);
    return it == Dialogs().dialogs.end() ? nullptr : &it->second;
}

// A control's handle: its dialog's handle in the high bits, its id in the low 16.
HWND ControlHandle(HWND dialog, int id) {
    return reinterpret_cast<HWND>((reinterpret_cast<uintptr_t>(dialog) << 16) |
                                  static_cast<WORD>(id));
}

HostControl *ControlOfHandle(HWND window) {
    uintptr_t value = reinterpret_cast<uintptr_t>(window);
    return HostFindControl(reinterpret_cast<HWND>(value >> 16), static_cast<int>(value & 0xFFFF));
}

bool IsOrdinal(LPCSTR name) {
    return reinterpret_cast<uintptr_t>(name) <= 0xFFFF;
}

// A resource name as the tests compare it: "#n" for an ordinal.
std::string ResourceName(LPCSTR name) {
    if (IsOrdinal(name)) {
        return "#" + std::to_string(reinterpret_cast<uintptr_t>(name));
    }
    return name;
}

} // namespace

void HostResetDialogs() {
    Dialogs() = HostDialogs();
}

int HostSetDialogItemText(HWND dialog, int id, LPCSTR text) {
    if (FindDialog(dialog) == nullptr) {
        return -1;
    }
    HostControl *control = HostFindControl(dialog, id);
    if (control == nullptr) {
        return 0;
    }
    control->text = text;
    return 1;
}

// ---- Test controls --------------------------------------------------------------

void HostAddDialog(HWND dialog, DLGPROC proc, const std::vector<HostControlSpec> &controls,
                   RECT rect) {
    DialogWindow window;
    window.proc = proc;
    window.rect = rect;
    for (const HostControlSpec &item : controls) {
        HostControl control;
        control.text = item.text;
        control.style = item.style;
        window.controls[item.id] = control;
    }
    Dialogs().dialogs[dialog] = window;
    HostAddWindow(dialog, "#32770", proc, true);
}

HostControl *HostFindControl(HWND dialog, int id) {
    DialogWindow *window = FindDialog(dialog);
    if (window == nullptr) {
        return nullptr;
    }
    auto it = window->controls.find(id);
    return it == window->controls.end() ? nullptr : &it->second;
}

std::string HostWindowCaption(HWND dialog) {
    DialogWindow *window = FindDialog(dialog);
    return window == nullptr ? "" : window->caption;
}

RECT HostWindowRect(HWND dialog) {
    DialogWindow *window = FindDialog(dialog);
    return window == nullptr ? RECT{} : window->rect;
}

bool HostMoveRepainted(HWND dialog) {
    DialogWindow *window = FindDialog(dialog);
    return window != nullptr && window->move_repainted;
}

void HostSetIconic(HWND dialog, bool iconic) {
    if (DialogWindow *window = FindDialog(dialog)) {
        window->iconic = iconic;
    }
}

HWND HostFocus() {
    return Dialogs().focus;
}

void HostSetScreenSize(int width, int height) {
    Dialogs().screen_width = width;
    Dialogs().screen_height = height;
}

void HostSetInitialMapMode(int mode) {
    Dialogs().initial_map_mode = mode;
}

void HostDefineTemplate(const char *name, const std::vector<HostControlSpec> &controls) {
    DialogTemplate t;
    for (const HostControlSpec &item : controls) {
        t.controls.push_back(ControlTemplate{item.id, item.text, item.style});
    }
    Dialogs().templates[HostUpper(name)] = t;
}

void HostSetDialogDriver(bool (*driver)(HWND dialog)) {
    Dialogs().driver = driver;
}

void HostFailDialogBox() {
    Dialogs().fail_dialog_box = true;
}

const std::vector<HostDialogBoxCall> &HostDialogBoxCalls() {
    return Dialogs().dialog_box_calls;
}

const std::vector<HostEndDialog> &HostEndDialogs() {
    return Dialogs().end_dialogs;
}

const std::vector<HostIconLoad> &HostIconLoads() {
    return Dialogs().icon_loads;
}

size_t HostLiveIcons() {
    return Dialogs().live_icons.size();
}

const std::vector<HostIconDraw> &HostIconDraws() {
    return Dialogs().icon_draws;
}

const std::vector<HostPaint> &HostPaints() {
    return Dialogs().paints;
}

const std::vector<HostTimer> &HostTimers() {
    return Dialogs().timers;
}

void HostQueueOpenFileAnswer(const char *path) {
    Dialogs().open_file_answers.push_back(OpenFileAnswer{true, path});
}

void HostQueueOpenFileCancel() {
    Dialogs().open_file_answers.push_back(OpenFileAnswer{false, ""});
}

const std::vector<HostOpenFileRequest> &HostOpenFileRequests() {
    return Dialogs().open_file_requests;
}

// ---- Dialogs and controls ----------------------------------------------------------

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc,
                               LPARAM param) {
    HostDialogs &d = Dialogs();
    d.dialog_box_calls.push_back(
        HostDialogBoxCall{instance, ResourceName(name), owner, proc, param, nullptr});
    auto t = d.templates.find(HostUpper(ResourceName(name)));
    if (d.fail_dialog_box || t == d.templates.end()) {
        return -1;
    }
    HWND dialog = reinterpret_cast<HWND>(d.next_dialog++);
    size_t call = d.dialog_box_calls.size() - 1;
    d.dialog_box_calls[call].dialog = dialog;
    {
        // Gone before the modal loop, which ExitProcess may leave by a long jump.
        std::vector<HostControlSpec> specs;
        for (const ControlTemplate &c : t->second.controls) {
            specs.push_back(HostControlSpec{c.id, c.text.c_str(), c.style});
        }
        HostAddDialog(dialog, proc, specs);
    }
    if (proc(dialog, WM_INITDIALOG, 0, param) != 0) {
        // As the dialog manager does: the focus goes to the first control, in template
        // order, that takes it with the Tab key and can have it.
        const DWORD tab_stop = 0x00010000, visible = 0x10000000;
        for (const ControlTemplate &c : t->second.controls) {
            HostControl *control = HostFindControl(dialog, c.id);
            if ((c.style & tab_stop) != 0 && (c.style & visible) != 0 && control->enabled) {
                d.focus = ControlHandle(dialog, c.id);
                break;
            }
        }
    }
    // The modal loop: the dialog's messages first, then the user.
    while (!FindDialog(dialog)->ended) {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageA(dialog, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            continue;
        }
        d.dialog_box_calls[call].shown = true;
        if (d.driver == nullptr || !d.driver(dialog)) {
            break;
        }
    }
    proc(dialog, WM_DESTROY, 0, 0);
    HostRemoveWindow(dialog);
    DialogWindow *window = FindDialog(dialog);
    return window->ended ? window->result : -1;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    Dialogs().end_dialogs.push_back(HostEndDialog{dialog, result});
    DialogWindow *window = FindDialog(dialog);
    if (window == nullptr) {
        return FALSE;
    }
    window->ended = true;
    window->result = result;
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    return HostFindControl(dialog, id) == nullptr ? nullptr : ControlHandle(dialog, id);
}

UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR text, int size) {
    if (size <= 0) {
        return 0;
    }
    text[0] = 0;
    HostControl *control = HostFindControl(dialog, id);
    if (control == nullptr) {
        return 0;
    }
    // As many whole characters as fit before the terminator.
    const std::string &s = control->text;
    size_t n = 0;
    while (n < s.size()) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(s[n])) && n + 1 < s.size() ? 2 : 1;
        if (n + step > static_cast<size_t>(size - 1)) {
            break;
        }
        n += step;
    }
    s.copy(text, n);
    text[n] = 0;
    return static_cast<UINT>(n);
}

BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text) {
    if (DialogWindow *dialog = FindDialog(window)) {
        dialog->caption = text;
        return TRUE;
    }
    if (HostControl *control = ControlOfHandle(window)) {
        control->text = text;
        return TRUE;
    }
    return FALSE;
}

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam,
                                   LPARAM lparam) {
    HostControl *control = HostFindControl(dialog, id);
    if (control == nullptr) {
        return 0;
    }
    switch (message) {
    case EM_LIMITTEXT:
        control->text_limit = wparam;
        return 0;
    case BM_SETCHECK:
        control->check = static_cast<UINT>(wparam);
        return 0;
    case BM_GETCHECK:
        return control->check;
    case BM_SETSTYLE:
        control->style = (control->style & ~DWORD{BS_TYPEMASK}) | (wparam & BS_TYPEMASK);
        control->redrawn = lparam != 0;
        return 0;
    default:
        return 0;
    }
}

BOOL WINAPI CheckDlgButton(HWND dialog, int id, UINT check) {
    HostControl *control = HostFindControl(dialog, id);
    if (control == nullptr) {
        return FALSE;
    }
    control->check = check;
    return TRUE;
}

BOOL WINAPI EnableWindow(HWND window, BOOL enable) {
    HostControl *control = ControlOfHandle(window);
    if (control == nullptr) {
        return FALSE;
    }
    bool was_disabled = !control->enabled;
    control->enabled = enable != FALSE;
    return was_disabled ? TRUE : FALSE;
}

HWND WINAPI SetFocus(HWND window) {
    HWND previous = Dialogs().focus;
    Dialogs().focus = window;
    return previous;
}

// ---- Windows, screen and painting ----------------------------------------------------

int WINAPI GetSystemMetrics(int index) {
    switch (index) {
    case SM_CXSCREEN:
        return Dialogs().screen_width;
    case SM_CYSCREEN:
        return Dialogs().screen_height;
    default:
        return 0;
    }
}

BOOL WINAPI GetWindowRect(HWND window, LPRECT rect) {
    DialogWindow *dialog = FindDialog(window);
    if (dialog == nullptr) {
        return FALSE;
    }
    *rect = dialog->rect;
    return TRUE;
}

BOOL WINAPI MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
    DialogWindow *dialog = FindDialog(window);
    if (dialog == nullptr) {
        return FALSE;
    }
    dialog->rect = RECT{x, y, x + width, y + height};
    dialog->move_repainted = repaint != FALSE;
    return TRUE;
}

BOOL WINAPI IsIconic(HWND window) {
    DialogWindow *dialog = FindDialog(window);
    return dialog != nullptr && dialog->iconic ? TRUE : FALSE;
}

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
    HostDialogs &d = Dialogs();
    HICON icon = reinterpret_cast<HICON>(d.next_icon++);
    d.icon_loads.push_back(
        HostIconLoad{instance, IsOrdinal(name) ? reinterpret_cast<ULONG_PTR>(name) : 0, icon});
    d.live_icons.insert(icon);
    return icon;
}

BOOL WINAPI DestroyIcon(HICON icon) {
    return Dialogs().live_icons.erase(icon) == 1 ? TRUE : FALSE;
}

BOOL WINAPI DrawIcon(HDC dc, int x, int y, HICON icon) {
    HostDialogs &d = Dialogs();
    bool live = d.live_icons.count(icon) == 1;
    auto painting = d.painting_dcs.find(dc);
    bool in_use = painting != d.painting_dcs.end();
    d.icon_draws.push_back(
        HostIconDraw{dc, x, y, icon, live, in_use ? painting->second : 0, in_use});
    return live && in_use ? TRUE : FALSE;
}

HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    HostDialogs &d = Dialogs();
    HDC dc = reinterpret_cast<HDC>(d.next_dc++);
    *paint = PAINTSTRUCT{};
    paint->hdc = dc;
    d.painting_dcs[dc] = d.initial_map_mode;
    d.paints.push_back(HostPaint{window, dc, false, 0});
    return dc;
}

BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint) {
    HostDialogs &d = Dialogs();
    for (HostPaint &p : d.paints) {
        if (p.window == window && p.dc == paint->hdc && !p.ended) {
            p.ended = true;
            p.map_mode_at_end = d.painting_dcs[p.dc];
            d.painting_dcs.erase(p.dc);
            return TRUE;
        }
    }
    return FALSE;
}

int WINAPI GetMapMode(HDC dc) {
    auto it = Dialogs().painting_dcs.find(dc);
    return it == Dialogs().painting_dcs.end() ? 0 : it->second;
}

int WINAPI SetMapMode(HDC dc, int mode) {
    auto it = Dialogs().painting_dcs.find(dc);
    if (it == Dialogs().painting_dcs.end()) {
        return 0;
    }
    int previous = it->second;
    it->second = mode;
    return previous;
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC proc) {
    // Setting a timer again replaces it.
    KillTimer(window, id);
    Dialogs().timers.push_back(HostTimer{window, id, milliseconds, proc != nullptr});
    return id;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
    auto &timers = Dialogs().timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->window == window && it->id == id) {
            timers.erase(it);
            return TRUE;
        }
    }
    return FALSE;
}

// ---- Common dialogs -----------------------------------------------------------------

BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA request) {
    HostDialogs &d = Dialogs();
    if (request->lStructSize != OPENFILENAME_SIZE_VERSION_400A &&
        request->lStructSize != sizeof(OPENFILENAMEA)) {
        return FALSE;
    }
    HostOpenFileRequest record;
    record.record = *request;
    record.file = request->lpstrFile == nullptr ? "" : request->lpstrFile;
    record.title = request->lpstrTitle == nullptr ? "" : request->lpstrTitle;
    record.templ = request->lpTemplateName == nullptr || IsOrdinal(request->lpTemplateName)
                       ? ""
                       : request->lpTemplateName;
    char directory[MAX_PATH];
    GetCurrentDirectoryA(sizeof directory, directory);
    record.directory = directory;
    d.open_file_requests.push_back(record);

    if (d.open_file_answers.empty()) {
        return FALSE;
    }
    OpenFileAnswer answer = d.open_file_answers.front();
    d.open_file_answers.erase(d.open_file_answers.begin());
    if (!answer.chosen || request->lpstrFile == nullptr ||
        answer.path.size() + 1 > request->nMaxFile) {
        return FALSE;
    }
    const std::string &path = answer.path;
    size_t name = 0;
    size_t extension = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
            ++i;
        } else if (path[i] == '\\' || path[i] == '/' || path[i] == ':') {
            name = i + 1;
            extension = 0;
        } else if (path[i] == '.') {
            extension = i + 1;
        }
    }
    path.copy(request->lpstrFile, path.size());
    request->lpstrFile[path.size()] = 0;
    request->nFileOffset = static_cast<WORD>(name);
    request->nFileExtension = static_cast<WORD>(extension != 0 ? extension : path.size());
    // Without OFN_NOCHANGEDIR the folder the user ended in stays current.
    std::string folder = path.substr(0, name);
    if (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) {
        folder.pop_back();
    }
    HostSetCurrentDirectory(folder.c_str());
    return TRUE;
}
