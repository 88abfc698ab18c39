#include "ui/install_dialog.h"

#include "archive/archive_pass.h"
#include "shell/progman.h"
#include "startup/run_state.h"
#include "startup/silent.h"
#include "ui/browse_dialog.h"
#include "ui/messages.h"

// ---- Helpers --------------------------------------------------------------------

void StripQuotes(char *text, int size) {
    char *kept = static_cast<char *>(LocalAlloc(LPTR, kDestinationDirSize + 1));
    if (kept == nullptr) {
        return;
    }
    // A quote byte is never the trail byte of a double-byte character, so the bytes
    // can be filtered one by one.
    char *out = kept;
    for (int i = 0; i + 1 < size && i < kDestinationDirSize && text[i] != 0; ++i) {
        if (text[i] != '"') {
            *out++ = text[i];
        }
    }
    lstrcpyA(text, kept);
    LocalFree(kept);
}

static bool ContainsBlank(const char *text) {
    for (; *text != 0; ++text) {
        if (*text == ' ') {
            return true;
        }
    }
    return false;
}

static void EnableItem(HWND dialog, int id, BOOL enable) {
    EnableWindow(GetDlgItem(dialog, id), enable);
}

// Shows a check box's state: checked and usable exactly when the state is 1.
static void ShowCheckState(HWND dialog, int id, DWORD state) {
    CheckDlgButton(dialog, id, state == 1 ? BST_CHECKED : BST_UNCHECKED);
    EnableItem(dialog, id, state == 1);
}

static void ToggleCheck(HWND dialog, int id, DWORD *state) {
    *state = *state == 0 ? 1 : 0;
    CheckDlgButton(dialog, id, *state == 1 ? BST_CHECKED : BST_UNCHECKED);
}

// ---- Messages -------------------------------------------------------------------

static void InitDialog(HWND dialog) {
    RunState *s = State;
    DdeState = 0;
    SetWindowTextA(dialog, s->Settings.WindowTitle);
    if (s->Settings.InstallTitle[0] != 0) {
        SetDlgItemTextA(dialog, kFolderLabel, s->Settings.InstallTitle);
    }
    SetDlgItemTextA(dialog, kFolderEdit, s->Settings.InstallDir);
    if (s->GroupCaption[0] != 0) {
        SetDlgItemTextA(dialog, kGroupCheck, s->GroupCaption);
    }
    if (s->AssociationCaption[0] != 0) {
        SetDlgItemTextA(dialog, kAssociationCheck, s->AssociationCaption);
    }
    SendDlgItemMessageA(dialog, kFolderEdit, EM_LIMITTEXT, kInstallDirSize - 1, 0);
    ShowCheckState(dialog, kGroupCheck, s->GroupChecked);
    ShowCheckState(dialog, kAssociationCheck, s->AssociationChecked);

    RECT rect;
    GetWindowRect(dialog, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    MoveWindow(dialog, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, FALSE);

    s->Extracting = 0;
    s->CancelRequested = 0;
    DialogIcon = LoadIconA(ModuleInstance, MAKEINTRESOURCEA(101));
    if (AutoStart) {
        SetTimer(dialog, kAutoStartTimer, kAutoStartDelay, nullptr);
    }
}

static INT_PTR OnOk(HWND dialog) {
    RunState *s = State;
    // The extraction pumps this dialog's messages, so an OK can arrive again while
    // it runs (from the AutoStart timer, or the keyboard): it must not start a
    // second pass over the same state.
    if (s->Extracting == 1) {
        return 0;
    }
    if (GetDlgItemTextA(dialog, kFolderEdit, s->DestinationDir, kDestinationDirSize) == 0) {
        s->DestinationDir[0] = 0;
    }
    StripQuotes(s->DestinationDir, kDestinationDirSize);
    if (s->DestinationDir[0] == '\\' && s->DestinationDir[1] == '\\') {
        // The user may type another folder; a silent run has no other.
        s->DialogWindow = dialog;
        ShowFailure(kNetworkFolderFailure, nullptr, MB_ICONWARNING);
        if (!Silent) {
            return 0;
        }
    } else {
        static const BYTE kLocked[] = {IDOK, kBrowseButton, kFolderEdit, kGroupCheck,
                                       kAssociationCheck};
        for (BYTE id : kLocked) {
            EnableItem(dialog, id, FALSE);
        }
        SetFocus(GetDlgItem(dialog, IDCANCEL));
        SendDlgItemMessageA(dialog, IDCANCEL, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
        s->Extracting = 1;
        ArchivePass(dialog, kExtractMode);
    }
    EndDialog(dialog, 1);
    return 1;
}

static INT_PTR OnCancel(HWND dialog) {
    // During extraction only the decoder's progress step can end the run safely.
    if (State->Extracting == 1) {
        State->CancelRequested = 1;
    } else {
        EndDialog(dialog, 0);
    }
    return 1;
}

static void OnBrowse(HWND dialog) {
    RunState *s = State;
    if (!BrowseForFolder(dialog)) {
        return;
    }
    // Quoted so that the blank reads as part of the folder; OK strips the quotes.
    const char *shown = s->DestinationPath;
    if (ContainsBlank(shown)) {
        wsprintfA(s->ScratchText, "\"%s\"", shown);
        shown = s->ScratchText;
    }
    SetDlgItemTextA(dialog, kFolderEdit, shown);
}

static INT_PTR OnCommand(HWND dialog, WORD id) {
    switch (id) {
    case IDOK:
        return OnOk(dialog);
    case IDCANCEL:
        return OnCancel(dialog);
    case kBrowseButton:
        OnBrowse(dialog);
        return 0;
    case kGroupCheck:
        ToggleCheck(dialog, kGroupCheck, &State->GroupChecked);
        return 0;
    case kAssociationCheck:
        ToggleCheck(dialog, kAssociationCheck, &State->AssociationChecked);
        return 0;
    default:
        return 0;
    }
}

// The minimised dialog shows the program's icon, drawn in device units.
static void PaintIcon(HWND dialog) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(dialog, &paint);
    int mode = GetMapMode(dc);
    SendMessageA(dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    SetMapMode(dc, MM_TEXT);
    if (DialogIcon != nullptr) {
        DrawIcon(dc, 0, 0, DialogIcon);
    }
    SetMapMode(dc, mode);
    EndPaint(dialog, &paint);
}

INT_PTR CALLBACK InstallDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        // A dialog ended here is never shown: a silent run extracts at once.
        InitDialog(dialog);
        if (Silent) {
            OnOk(dialog);
        }
        return 1;
    case WM_TIMER:
        KillTimer(dialog, kAutoStartTimer);
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        return 0;
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wparam));
    case WM_PAINT:
        if (IsIconic(dialog)) {
            PaintIcon(dialog);
        }
        return 0;
    case WM_ERASEBKGND:
        return IsIconic(dialog) ? 1 : 0;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(DialogIcon);
    case WM_CLOSE:
        // The default handling turns the close into Cancel, which during extraction
        // leaves the dialog open and still painting: the icon is kept until the
        // window is destroyed.
        return 0;
    case WM_DESTROY:
        if (DialogIcon != nullptr) {
            DestroyIcon(DialogIcon);
            DialogIcon = nullptr;
        }
        return 0;
    case WM_ENDSESSION:
        // The process ends once this returns: the file being written goes first.
        if (wparam != 0 && State->Extracting == 1) {
            RecordFailure(kSessionEndFailure, nullptr);
            AbortRun();
        }
        return 0;
    case WM_DDE_ACK:
        OnDdeAck(dialog, reinterpret_cast<HWND>(wparam), lparam);
        return 0;
    default:
        return 0;
    }
}
