// State shared by the host double's implementation files; not for the stub's code.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/host_control.h"

struct HostValue {
    DWORD type;
    std::string data;
};

struct HostOpenFile {
    int fd;
    std::string path; // Linux path
    DWORD access;
    DWORD share;
};

struct HostMachine {
    std::string root;
    DWORD platform_id = VER_PLATFORM_WIN32_NT;
    std::string module_path;
    std::map<std::string, FARPROC> kernel_procs;
    std::string current_dir;
    std::string windows_dir;
    std::string system_dir;
    DWORD max_component = 255;
    std::map<std::string, std::string> env;                           // upper-cased names
    std::map<std::string, std::map<std::string, HostValue>> registry; // upper-cased keys
    std::map<std::string, DWORD> attributes;                          // hidden, system, archive
    std::map<std::string, FILETIME> creation_times;
    std::map<intptr_t, HostOpenFile> files; // by handle value
    std::vector<HostMessageBox> boxes;
    std::vector<int> answers;
    std::vector<HostItemText> item_texts;
    void (*pump_hook)() = nullptr;
    int allocations_left = -1; // -1: unlimited
    long long read_budget = -1;
    long long write_budget = -1;
    std::map<char, long long> drive_write_budgets; // by lower-case drive letter
    bool fail_next_close = false;
    bool fail_next_get_file_time = false;
    // GlobalAlloc minus GlobalFree.
    long long live_global_blocks = 0;
    // Short forms for GetShortPathNameA, by upper-cased long path.
    std::map<std::string, std::string> short_names;
    bool wine_storage = false;
};

HostMachine &Host();

// Upper-cases ASCII letters, for the case-insensitive names of the environment and
// the registry.
std::string HostUpper(const std::string &s);

// Copies `value` into a caller's buffer with the convention of the Win32 queries:
// the length without terminator when it fits, else the size it needs, buffer untouched.
DWORD HostCopyOut(const std::string &value, LPSTR buffer, DWORD size);

// The full Windows form of a path ("C:\A\B"), resolved against the current directory,
// with "." and ".." applied; "" for paths the double does not model (UNC names).
std::string HostFullPath(const char *path);

// Unix seconds and nanoseconds <-> FILETIME.
FILETIME HostFileTimeFromUnix(long long seconds, long nanoseconds);
void HostUnixFromFileTime(const FILETIME &ft, long long *seconds, long *nanoseconds);

// The shell double (host_shell.cpp), as the other host files reach it: its reset,
// the thread's queue of posted messages behind PeekMessageA and DispatchMessageA,
// and the process handles that CloseHandle releases.
void HostResetShell();
BOOL HostTakePostedMessage(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
LRESULT HostDispatchMessage(const MSG *msg);
bool HostCloseProcessHandle(HANDLE h);

// The dialog double (host_dialogs.cpp): its reset, and the model's side of
// SetDlgItemTextA: -1 when the dialog is not modelled, 0 when it has no such
// control, 1 when the control took the text.
void HostResetDialogs();
int HostSetDialogItemText(HWND dialog, int id, LPCSTR text);
