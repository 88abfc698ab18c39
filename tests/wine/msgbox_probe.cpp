// A message box and a small form on demand, so the end-to-end tests can prove that the UI helper
// reads and operates windows before they rely on it for the stub's own.
//
//   msgbox_probe.exe STYLE CAPTION TEXT   shows MessageBoxA(no owner, TEXT, CAPTION, STYLE) and
//                                         exits with the id of the button pressed
//   msgbox_probe.exe --platform           exits with the platform id reported by GetVersionExA
//   msgbox_probe.exe --form               shows the window "probe form": an edit (100), an
//                                         automatic check box (101), a hidden static (102), a
//                                         disabled button (103) and OK (1). OK shows the edit's
//                                         text in a box captioned "probe form text", then exits
//                                         with 1 if the check box is checked, plus 2 if the
//                                         disabled button ever reported a click.
//
// STYLE is a number in C notation (4 is MB_YESNO, 0x2010 is MB_TASKMODAL | MB_ICONERROR).
// Texts go through the ANSI side, command line and GetDlgItemTextA, as the stub's texts do.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

const int UsageStatus = 100;

const int EditId = 100;
const int CheckId = 101;
const int HiddenId = 102;
const int DisabledId = 103;

bool DisabledClicked = false;
int FormResult = 0;

// Splits the ANSI command line in place into at most `capacity` arguments, dropping the program
// name. Blanks separate arguments; a double quote toggles a quoted part and is removed.
int SplitCommandLine(char *line, char **args, int capacity) {
    int count = -1; // the first argument is the program's own path
    char *in = line;
    while (count < capacity) {
        while (*in == ' ' || *in == '\t')
            ++in;
        if (*in == '\0')
            break;
        char *arg = in;
        char *out = in;
        bool quoted = false;
        for (; *in != '\0' && (quoted || (*in != ' ' && *in != '\t')); ++in) {
            if (*in == '"')
                quoted = !quoted;
            else
                *out++ = *in;
        }
        if (*in != '\0')
            ++in;
        *out = '\0';
        if (count >= 0)
            args[count] = arg;
        ++count;
    }
    return count < 0 ? 0 : count;
}

int PlatformId() {
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version))
        return UsageStatus;
    return static_cast<int>(version.dwPlatformId);
}

void AddControl(HWND form, const char *className, const char *text, DWORD style, int id, int y) {
    CreateWindowExA(0, className, text, WS_CHILD | style, 10, y, 220, 24, form,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

LRESULT CALLBACK FormProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        AddControl(form, "EDIT", "", WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, EditId,
                   10);
        AddControl(form, "BUTTON", "check", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, CheckId, 40);
        AddControl(form, "STATIC", "hidden", 0, HiddenId, 70);
        AddControl(form, "BUTTON", "disabled", WS_VISIBLE | WS_DISABLED, DisabledId, 100);
        AddControl(form, "BUTTON", "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, 130);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == DisabledId) {
            DisabledClicked = true;
        } else if (LOWORD(wParam) == IDOK) {
            char text[256];
            GetDlgItemTextA(form, EditId, text, sizeof text);
            MessageBoxA(form, text, "probe form text", MB_OK);
            FormResult = (IsDlgButtonChecked(form, CheckId) == BST_CHECKED ? 1 : 0) |
                         (DisabledClicked ? 2 : 0);
            DestroyWindow(form);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(FormResult);
        return 0;
    default:
        return DefWindowProcA(form, message, wParam, lParam);
    }
}

int ShowForm(HINSTANCE instance) {
    WNDCLASSA formClass = {};
    formClass.lpfnWndProc = FormProc;
    formClass.hInstance = instance;
    formClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    formClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    formClass.lpszClassName = "ProbeForm";
    if (!RegisterClassA(&formClass))
        return UsageStatus;
    HWND form = CreateWindowExA(0, "ProbeForm", "probe form", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100,
                                100, 260, 220, nullptr, nullptr, instance, nullptr);
    if (!form)
        return UsageStatus;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(form, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    char *args[4]; // one more than any usage takes, so that extra arguments are refused
    const int count = SplitCommandLine(GetCommandLineA(), args, 4);

    if (count == 1 && std::strcmp(args[0], "--platform") == 0)
        return PlatformId();
    if (count == 1 && std::strcmp(args[0], "--form") == 0)
        return ShowForm(instance);
    if (count != 3)
        return UsageStatus;

    char *end;
    const unsigned long style = std::strtoul(args[0], &end, 0);
    if (*end != '\0')
        return UsageStatus;
    return MessageBoxA(nullptr, args[2], args[1], static_cast<UINT>(style));
}
