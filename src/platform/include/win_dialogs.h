// Window, dialog and common-dialog calls of the host double.
//
// Dialogs and their controls are modelled in memory (host_dialogs_control.h): a
// dialog window holds a caption, a screen rectangle and a minimised state; each
// control, found by the dialog and its id, a text, a style, a check state, an
// enabled state and a text limit. A control's window handle is derived from its
// dialog's handle and its id, so GetDlgItem needs no table. Icons, device contexts
// and timers are handles the double hands out and keeps track of; drawing is only
// recorded.
#pragma once

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;

typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))

// ---- Messages and control styles -------------------------------------------------
#define WM_DESTROY 0x0002
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_ERASEBKGND 0x0014
#define WM_ENDSESSION 0x0016
#define WM_ICONERASEBKGND 0x0027
#define WM_QUERYDRAGICON 0x0037
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113

#define EM_LIMITTEXT 0x00C5
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_SETSTYLE 0x00F4

#define BS_PUSHBUTTON 0x0000
#define BS_DEFPUSHBUTTON 0x0001
#define BS_CHECKBOX 0x0002
#define BS_TYPEMASK 0x000F
#define BST_UNCHECKED 0
#define BST_CHECKED 1

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define MM_TEXT 1

// ---- Dialogs and controls ----------------------------------------------------------
// Runs a modal dialog from a template the test defined: creates its controls, sends
// WM_INITDIALOG (when it returns nonzero, the focus goes to the first visible, enabled
// control with WS_TABSTOP), then dispatches the thread's posted messages and lets the test's
// driver act whenever the queue is empty, until EndDialog; sends WM_DESTROY and
// returns the EndDialog result. -1 when the template is unknown or the test made
// the call fail.
INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc,
                               LPARAM param);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);

// Null when the dialog has no control of that id.
HWND WINAPI GetDlgItem(HWND dialog, int id);
// Copies at most size - 1 bytes and the terminator; returns the bytes copied.
UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR text, int size);
// A dialog's caption or a control's text.
BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text);
// EM_LIMITTEXT, BM_SETCHECK, BM_GETCHECK and BM_SETSTYLE (which replaces the button
// type and records whether the button was to be redrawn); other messages return 0.
LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam);
BOOL WINAPI CheckDlgButton(HWND dialog, int id, UINT check);
// Returns whether the window was disabled before.
BOOL WINAPI EnableWindow(HWND window, BOOL enable);
// Returns the window that had the focus.
HWND WINAPI SetFocus(HWND window);

// ---- Windows, screen and painting ----------------------------------------------------
int WINAPI GetSystemMetrics(int index);
BOOL WINAPI GetWindowRect(HWND window, LPRECT rect);
BOOL WINAPI MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
BOOL WINAPI IsIconic(HWND window);

// Icons are handles counted by the double; drawing a destroyed icon fails.
HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
BOOL WINAPI DestroyIcon(HICON icon);
BOOL WINAPI DrawIcon(HDC dc, int x, int y, HICON icon);

// Each BeginPaint hands out a device context in the mapping mode the test chose;
// EndPaint releases it.
HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint);
BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint);
int WINAPI GetMapMode(HDC dc);
// Returns the previous mode, 0 for a device context that is not in use.
int WINAPI SetMapMode(HDC dc, int mode);

// Timers are recorded, never fire on their own: a test sends WM_TIMER itself.
UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC proc);
BOOL WINAPI KillTimer(HWND window, UINT_PTR id);

// ---- Common dialogs -----------------------------------------------------------------
#define OFN_HIDEREADONLY 0x00000004
#define OFN_ENABLETEMPLATE 0x00000040
// The record as far as lpTemplateName in the 32-bit layout: the size that every
// Windows version accepts.
#define OPENFILENAME_SIZE_VERSION_400A 76

typedef UINT_PTR(CALLBACK *LPOFNHOOKPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagOFNA {
    DWORD lStructSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    LPCSTR lpstrFilter;
    LPSTR lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;
    LPSTR lpstrFile;
    DWORD nMaxFile;
    LPSTR lpstrFileTitle;
    DWORD nMaxFileTitle;
    LPCSTR lpstrInitialDir;
    LPCSTR lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;
    WORD nFileExtension;
    LPCSTR lpstrDefExt;
    LPARAM lCustData;
    LPOFNHOOKPROC lpfnHook;
    LPCSTR lpTemplateName;
    void *pvReserved;
    DWORD dwReserved;
    DWORD FlagsEx;
} OPENFILENAMEA, *LPOPENFILENAMEA;

// Records the request and answers as the test scripted: the chosen path with its
// file-name offset, the current directory moved to the chosen folder; or 0 for a
// cancel, for a request whose size is neither 76 nor the full record's, and for a
// path that does not fit the buffer.
BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA request);
