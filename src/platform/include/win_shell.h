// Shell integration calls of the host double: registry writes, win.ini, atoms,
// DDE messages, process start and ShellExecuteA.
//
// Windows of the double are registered by the tests (host_shell_control.h): a
// window of this thread receives posted messages through the thread's queue
// (PeekMessageA, DispatchMessageA), a window of another process handles what is
// sent or posted to it at once, as if its own thread ran in between.
#pragma once

typedef UINT_PTR *PUINT_PTR;

#define MAKELONG(lo, hi)                                                                           \
    ((LONG)(((WORD)((uintptr_t)(lo)&0xFFFF)) | ((DWORD)((WORD)((uintptr_t)(hi)&0xFFFF))) << 16))
#define MAKELPARAM(lo, hi) ((LPARAM)(DWORD)MAKELONG(lo, hi))

// ---- Registry writes -----------------------------------------------------------
// Keys created under HKEY_CLASSES_ROOT share the registry of host_files.cpp; an
// empty path opens the root key itself.
LSTATUS WINAPI RegCreateKeyExA(HKEY root, LPCSTR path, DWORD reserved, LPSTR class_name,
                               DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                               PHKEY key, LPDWORD disposition);
LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                              DWORD size);

// ---- win.ini --------------------------------------------------------------------
BOOL WINAPI WriteProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value);

// ---- Atoms ----------------------------------------------------------------------
// String atoms are counted per name (case-insensitive) and numbered from 0xC000;
// GlobalDeleteAtom returns 0 on success and the atom when it names none.
ATOM WINAPI GlobalAddAtomA(LPCSTR name);
ATOM WINAPI GlobalDeleteAtom(ATOM atom);

// ---- Windows and messages ---------------------------------------------------------
#define HWND_BROADCAST ((HWND)(uintptr_t)0xFFFF)
#define WM_WININICHANGE 0x001A
#define WM_DDE_INITIATE 0x03E0
#define WM_DDE_TERMINATE 0x03E1
#define WM_DDE_ACK 0x03E4
#define WM_DDE_EXECUTE 0x03E8

// The first window of the class (case-insensitive); the title is not modelled and
// must be null.
HWND WINAPI FindWindowA(LPCSTR class_name, LPCSTR title);
// HWND_BROADCAST, and the all-ones handle that the system folds onto it, reach
// every window; a window that is not registered receives nothing (0 / FALSE).
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// As the 32-bit system packs DDE parameters: WM_DDE_ACK, ADVISE, DATA and POKE in a
// shared global block of two values, WM_DDE_EXECUTE as the command block itself,
// every other message as MAKELONG(lo, hi).
LPARAM WINAPI PackDDElParam(UINT message, UINT_PTR lo, UINT_PTR hi);
BOOL WINAPI UnpackDDElParam(UINT message, LPARAM lparam, PUINT_PTR lo, PUINT_PTR hi);
BOOL WINAPI FreeDDElParam(UINT message, LPARAM lparam);

// ---- Processes and time ------------------------------------------------------------
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define NORMAL_PRIORITY_CLASS 0x00000020

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Records the start and, unless told to fail, hands out a process and a thread
// handle that CloseHandle releases.
BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_security,
                           LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles, DWORD flags,
                           LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                           LPPROCESS_INFORMATION process);
DWORD WINAPI WaitForInputIdle(HANDLE process, DWORD milliseconds);

// A clock of the double: it advances by what Sleep is given and by 1 ms per reading.
DWORD WINAPI GetTickCount(void);
void WINAPI Sleep(DWORD milliseconds);

// ---- Shell ---------------------------------------------------------------------------
#define SW_SHOW 5

// Records the call and reports success (a value above 32).
HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, int show);
