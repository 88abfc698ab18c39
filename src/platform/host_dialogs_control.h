// Test-side controls of the host double's dialogs: the dialog windows and controls
// a test sets up, the templates DialogBoxParamA runs, the scripted answers of the
// file-open dialog, and the record of icons, painting, timers and calls. HostReset
// clears all of it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct HostControl {
    std::string text;
    DWORD style = 0;
    bool enabled = true;
    UINT check = BST_UNCHECKED;
    WPARAM text_limit = 0; // 0: never limited
    bool redrawn = false;  // the last BM_SETSTYLE asked for a redraw
};

// One control of a template: id, text and style.
struct HostControlSpec {
    int id;
    const char *text;
    DWORD style;
};

// Puts a dialog window on the screen with the given controls, caption and window
// rectangle, and registers it with the shell double as a window of this thread
// handled by `proc`, so that it receives sent and posted messages.
void HostAddDialog(HWND dialog, DLGPROC proc, const std::vector<HostControlSpec> &controls,
                   RECT rect = RECT{0, 0, 300, 200});
// The control, or null when the dialog has none of that id.
HostControl *HostFindControl(HWND dialog, int id);
std::string HostWindowCaption(HWND dialog);
RECT HostWindowRect(HWND dialog);
// The repaint argument of the last MoveWindow on the window.
bool HostMoveRepainted(HWND dialog);
void HostSetIconic(HWND dialog, bool iconic);
// The window that has the focus.
HWND HostFocus();

void HostSetScreenSize(int width, int height);
// Mapping mode of the device contexts BeginPaint hands out from now on.
void HostSetInitialMapMode(int mode);

// ---- Modal dialogs ---------------------------------------------------------------
// DialogBoxParamA builds the dialog named `name` from these controls.
void HostDefineTemplate(const char *name, const std::vector<HostControlSpec> &controls);
// Called by DialogBoxParamA whenever the thread's queue is empty, with the dialog
// window; it acts as the user would (sends or posts messages) and returns false when
// it has nothing left to do, which ends a dialog still open with -1.
void HostSetDialogDriver(bool (*driver)(HWND dialog));
// DialogBoxParamA fails with -1 from now on.
void HostFailDialogBox();

struct HostDialogBoxCall {
    HINSTANCE instance;
    std::string name;
    HWND owner;
    DLGPROC proc;
    LPARAM param;
    HWND dialog; // the window it made; null when it failed
    // The dialog was shown: a modal dialog appears when its loop first finds the
    // queue empty, so one ended while it initialised is never seen.
    bool shown = false;
};
const std::vector<HostDialogBoxCall> &HostDialogBoxCalls();

struct HostEndDialog {
    HWND dialog;
    INT_PTR result;
};
// Every EndDialog call, in order.
const std::vector<HostEndDialog> &HostEndDialogs();

// ---- Icons, painting, timers -------------------------------------------------------
struct HostIconLoad {
    HINSTANCE instance;
    ULONG_PTR name; // the resource ordinal
    HICON icon;
};
const std::vector<HostIconLoad> &HostIconLoads();
// Icons loaded and not destroyed.
size_t HostLiveIcons();

struct HostIconDraw {
    HDC dc;
    int x;
    int y;
    HICON icon;
    bool icon_live;   // false: the icon had been destroyed, or was never loaded
    int map_mode;     // the device context's mode at the time
    bool dc_painting; // the device context was between BeginPaint and EndPaint
};
const std::vector<HostIconDraw> &HostIconDraws();

struct HostPaint {
    HWND window;
    HDC dc;
    bool ended;
    int map_mode_at_end;
};
// Every BeginPaint, with what happened to its device context.
const std::vector<HostPaint> &HostPaints();

struct HostTimer {
    HWND window;
    UINT_PTR id;
    UINT milliseconds;
    bool has_proc;
};
// Timers set and not killed.
const std::vector<HostTimer> &HostTimers();

// ---- File-open dialog ----------------------------------------------------------------
// The next GetOpenFileNameA returns this full path, with the file-name offset after
// its last separator; without a queued answer it is cancelled.
void HostQueueOpenFileAnswer(const char *path);
void HostQueueOpenFileCancel();

struct HostOpenFileRequest {
    OPENFILENAMEA record;  // as handed over
    std::string file;      // the file buffer's text at the call
    std::string title;     // "" for a null title
    std::string templ;     // "" for a null template name
    std::string directory; // the current directory at the call
};
const std::vector<HostOpenFileRequest> &HostOpenFileRequests();
