// Test-side controls of the host double's shell calls: the windows a test puts on
// the desktop (the install dialog, a fake Program Manager), and the record of the
// registry keys, win.ini entries, messages, process starts and ShellExecuteA calls
// the code made. HostReset clears all of it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

typedef LRESULT (*HostWindowProc)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Puts a top-level window of `class_name` on the desktop, handled by `proc`. A
// window of this thread gets posted messages through the thread's queue, so only
// the code's own message pump delivers them; a window of another process gets
// them at once.
void HostAddWindow(HWND window, const char *class_name, HostWindowProc proc, bool this_thread);
void HostRemoveWindow(HWND window);

struct HostWindowMessage {
    HWND window; // as addressed: HWND_BROADCAST for a broadcast
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    bool posted;
    bool delivered; // false: a post that failed, or a send to no window
};
// Every SendMessageA and PostMessageA call, in order.
const std::vector<HostWindowMessage> &HostMessages();

struct HostCreatedKey {
    HKEY root;
    std::string path;
    std::string class_name;
    DWORD options;
    REGSAM access;
    bool opened; // false when the test made the creation fail
};
// Every RegCreateKeyExA call, in order.
const std::vector<HostCreatedKey> &HostCreatedKeys();
// A value under HKEY_CLASSES_ROOT; false when the key or the value is absent.
bool HostClassesRootValue(const char *key, const char *name, std::string *data,
                          DWORD *type = nullptr);
// RegCreateKeyExA fails for this path under HKEY_CLASSES_ROOT.
void HostFailKeyCreation(const char *path);

struct HostProfileWrite {
    std::string section;
    std::string key;
    std::string value;
};
// Every WriteProfileStringA call, in order.
const std::vector<HostProfileWrite> &HostProfileWrites();

// The reference count of a string atom; 0 when it does not exist.
int HostAtomCount(const char *name);
// The name of an atom, upper-cased; "" when it does not exist.
std::string HostAtomName(ATOM atom);
// Atoms still in the table.
size_t HostLiveAtoms();
// Global memory blocks allocated and not yet freed.
long long HostLiveGlobalBlocks();

// The short form GetShortPathNameA gives for an existing file, named as the code
// will ask for it.
void HostSetShortName(const char *long_path, const char *short_path);

struct HostProcessStart {
    bool application_null;
    std::string command_line;
    bool security_null; // both security arguments null
    BOOL inherit_handles;
    DWORD flags;
    bool environment_null;
    bool directory_null;
    DWORD startup_size;
    bool startup_rest_zero; // every field of the start-up record after cb is zero
};
const std::vector<HostProcessStart> &HostProcessStarts();
// CreateProcessA fails from now on.
void HostFailProcessStart();
// Called when a process starts, with its command line (to bring up a fake server).
void HostSetProcessStartHook(void (*hook)(const char *command_line));
// Process and thread handles handed out and not closed.
size_t HostOpenProcessHandles();

struct HostInputIdleWait {
    HANDLE process;
    DWORD milliseconds;
};
const std::vector<HostInputIdleWait> &HostInputIdleWaits();

void HostSetTickCount(DWORD milliseconds);

struct HostShellExecute {
    HWND owner;
    bool verb_null;
    std::string verb;
    std::string file;
    bool parameters_null;
    std::string parameters;
    std::string directory;
    int show;
};
const std::vector<HostShellExecute> &HostShellExecutes();
