// Host double: registry writes, win.ini, atoms, windows and their messages, the
// DDE parameter packing, process start, the clock and ShellExecuteA.
#include "platform/host_shell_control.h"
#include "platform/host_state.h"

#include <map>
#include <set>

namespace {

struct HostWindow {
    HWND window;
    std::string class_name; // upper-cased
    HostWindowProc proc;
    bool this_thread;
};

struct HostShell {
    std::vector<HostWindow> windows; // in the order they were put on the desktop
    std::vector<MSG> queue;          // messages posted to windows of this thread
    std::vector<HostWindowMessage> messages;
    std::vector<HostCreatedKey> created_keys;
    std::set<std::string> failing_keys; // upper-cased
    std::vector<HostProfileWrite> profile_writes;
    std::map<std::string, std::pair<ATOM, int>> atoms; // upper-cased name: atom, count
    ATOM next_atom = 0xC000;
    std::set<LPARAM> packed_blocks; // lParam blocks of PackDDElParam not yet freed
    std::vector<HostProcessStart> process_starts;
    bool fail_process_start = false;
    void (*process_start_hook)(const char *) = nullptr;
    std::set<HANDLE> process_handles;
    uintptr_t next_process_handle = 0x70000000;
    std::vector<HostInputIdleWait> input_idle_waits;
    DWORD tick = 0x00100000;
    std::vector<HostShellExecute> shell_executes;
};

HostShell &Shell() {
    static HostShell shell;
    return shell;
}

HostWindow *FindWindowEntry(HWND window) {
    for (HostWindow &w : Shell().windows) {
        if (w.window == window) {
            return &w;
        }
    }
    return nullptr;
}

bool IsBroadcast(HWND window) {
    return window == HWND_BROADCAST || window == reinterpret_cast<HWND>(~uintptr_t{0});
}

// The classes-root keys live in the machine registry under this prefix.
std::string ClassesRootPath(const char *path) {
    std::string p = path == nullptr ? "" : path;
    return "HKEY_CLASSES_ROOT" + (p.empty() ? std::string() : "\\" + HostUpper(p));
}

bool IsDdePacked(UINT message) {
    return message == WM_DDE_ACK || message == 0x03E2 /* ADVISE */ ||
           message == 0x03E5 /* DATA */ || message == 0x03E7 /* POKE */;
}

} // namespace

void HostResetShell() {
    Shell() = HostShell();
}

// ---- Test controls --------------------------------------------------------------

void HostAddWindow(HWND window, const char *class_name, HostWindowProc proc, bool this_thread) {
    Shell().windows.push_back(HostWindow{window, HostUpper(class_name), proc, this_thread});
}

void HostRemoveWindow(HWND window) {
    // Messages still queued for a destroyed window are never delivered.
    auto &queue = Shell().queue;
    for (auto it = queue.begin(); it != queue.end();) {
        it = it->hwnd == window ? queue.erase(it) : it + 1;
    }
    auto &windows = Shell().windows;
    for (auto it = windows.begin(); it != windows.end(); ++it) {
        if (it->window == window) {
            windows.erase(it);
            return;
        }
    }
}

const std::vector<HostWindowMessage> &HostMessages() {
    return Shell().messages;
}
const std::vector<HostCreatedKey> &HostCreatedKeys() {
    return Shell().created_keys;
}
void HostFailKeyCreation(const char *path) {
    Shell().failing_keys.insert(HostUpper(path));
}
const std::vector<HostProfileWrite> &HostProfileWrites() {
    return Shell().profile_writes;
}
const std::vector<HostProcessStart> &HostProcessStarts() {
    return Shell().process_starts;
}
void HostFailProcessStart() {
    Shell().fail_process_start = true;
}
void HostSetProcessStartHook(void (*hook)(const char *)) {
    Shell().process_start_hook = hook;
}
size_t HostOpenProcessHandles() {
    return Shell().process_handles.size();
}
const std::vector<HostInputIdleWait> &HostInputIdleWaits() {
    return Shell().input_idle_waits;
}
void HostSetTickCount(DWORD milliseconds) {
    Shell().tick = milliseconds;
}
const std::vector<HostShellExecute> &HostShellExecutes() {
    return Shell().shell_executes;
}
long long HostLiveGlobalBlocks() {
    return Host().live_global_blocks;
}

bool HostClassesRootValue(const char *key, const char *name, std::string *data, DWORD *type) {
    auto &registry = Host().registry;
    auto found = registry.find(ClassesRootPath(key));
    if (found == registry.end()) {
        return false;
    }
    auto value = found->second.find(HostUpper(name));
    if (value == found->second.end()) {
        return false;
    }
    *data = value->second.data;
    if (type != nullptr) {
        *type = value->second.type;
    }
    return true;
}

int HostAtomCount(const char *name) {
    auto found = Shell().atoms.find(HostUpper(name));
    return found == Shell().atoms.end() ? 0 : found->second.second;
}

std::string HostAtomName(ATOM atom) {
    for (const auto &entry : Shell().atoms) {
        if (entry.second.first == atom) {
            return entry.first;
        }
    }
    return "";
}

void HostSetShortName(const char *long_path, const char *short_path) {
    Host().short_names[HostUpper(long_path)] = short_path;
}

size_t HostLiveAtoms() {
    return Shell().atoms.size();
}

// ---- Registry writes -------------------------------------------------------------

LSTATUS WINAPI RegCreateKeyExA(HKEY root, LPCSTR path, DWORD, LPSTR class_name, DWORD options,
                               REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY key,
                               LPDWORD disposition) {
    HostShell &s = Shell();
    std::string p = path == nullptr ? "" : path;
    bool fails = root != HKEY_CLASSES_ROOT && root != HKEY_LOCAL_MACHINE;
    if (root == HKEY_CLASSES_ROOT && s.failing_keys.count(HostUpper(p)) != 0) {
        fails = true;
    }
    s.created_keys.push_back(
        HostCreatedKey{root, p, class_name == nullptr ? "" : class_name, options, access, !fails});
    if (fails) {
        return 5L; // ERROR_ACCESS_DENIED
    }
    std::string stored = root == HKEY_CLASSES_ROOT ? ClassesRootPath(path) : HostUpper(p);
    auto &registry = Host().registry;
    bool existed = registry.count(stored) != 0;
    *key = &registry[stored]; // map nodes stay where they are while others are added
    if (disposition != nullptr) {
        *disposition = existed ? 2 /* REG_OPENED_EXISTING_KEY */ : 1 /* REG_CREATED_NEW_KEY */;
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data,
                              DWORD size) {
    auto *values = static_cast<std::map<std::string, HostValue> *>(key);
    // A string is stored without the terminator the size includes, as RegQueryValueExA
    // of the double hands strings out.
    std::string bytes(reinterpret_cast<const char *>(data), size);
    if (type == REG_SZ && !bytes.empty() && bytes.back() == 0) {
        bytes.pop_back();
    }
    (*values)[HostUpper(name == nullptr ? "" : name)] = HostValue{type, bytes};
    return ERROR_SUCCESS;
}

// ---- win.ini ----------------------------------------------------------------------

BOOL WINAPI WriteProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value) {
    Shell().profile_writes.push_back(
        HostProfileWrite{section, key == nullptr ? "" : key, value == nullptr ? "" : value});
    return TRUE;
}

// ---- Atoms -------------------------------------------------------------------------

ATOM WINAPI GlobalAddAtomA(LPCSTR name) {
    HostShell &s = Shell();
    auto &entry = s.atoms[HostUpper(name)];
    if (entry.second == 0) {
        entry.first = s.next_atom++;
    }
    ++entry.second;
    return entry.first;
}

ATOM WINAPI GlobalDeleteAtom(ATOM atom) {
    if (atom < 0xC000) {
        return 0; // an integer atom: nothing to delete
    }
    auto &atoms = Shell().atoms;
    for (auto it = atoms.begin(); it != atoms.end(); ++it) {
        if (it->second.first == atom) {
            if (--it->second.second == 0) {
                atoms.erase(it);
            }
            return 0;
        }
    }
    return atom;
}

// ---- Windows and messages -----------------------------------------------------------

HWND WINAPI FindWindowA(LPCSTR class_name, LPCSTR) {
    std::string wanted = HostUpper(class_name);
    for (const HostWindow &w : Shell().windows) {
        if (w.class_name == wanted) {
            return w.window;
        }
    }
    return nullptr;
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    HostShell &s = Shell();
    size_t record = s.messages.size();
    s.messages.push_back(HostWindowMessage{window, message, wparam, lparam, false, false});
    if (IsBroadcast(window)) {
        s.messages[record].delivered = true;
        // A copy: a window may come or go while the broadcast runs.
        std::vector<HostWindow> targets = s.windows;
        for (const HostWindow &w : targets) {
            w.proc(w.window, message, wparam, lparam);
        }
        return 0;
    }
    HostWindow *target = FindWindowEntry(window);
    if (target == nullptr) {
        return 0;
    }
    s.messages[record].delivered = true;
    HostWindowProc proc = target->proc;
    return proc(window, message, wparam, lparam);
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    HostShell &s = Shell();
    std::vector<HostWindow> targets;
    if (IsBroadcast(window)) {
        targets = s.windows;
    } else if (HostWindow *target = FindWindowEntry(window)) {
        targets.push_back(*target);
    }
    bool delivered = IsBroadcast(window) || !targets.empty();
    s.messages.push_back(HostWindowMessage{window, message, wparam, lparam, true, delivered});
    for (const HostWindow &w : targets) {
        if (w.this_thread) {
            MSG msg = {};
            msg.hwnd = w.window;
            msg.message = message;
            msg.wParam = wparam;
            msg.lParam = lparam;
            Shell().queue.push_back(msg);
        } else {
            w.proc(w.window, message, wparam, lparam);
        }
    }
    return delivered ? TRUE : FALSE;
}

BOOL HostTakePostedMessage(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
    auto &queue = Shell().queue;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        bool window_matches = window == nullptr || it->hwnd == window;
        bool range_matches =
            (first == 0 && last == 0) || (it->message >= first && it->message <= last);
        if (window_matches && range_matches) {
            *msg = *it;
            if (remove & PM_REMOVE) {
                queue.erase(it);
            }
            return TRUE;
        }
    }
    return FALSE;
}

LRESULT HostDispatchMessage(const MSG *msg) {
    HostWindow *target = FindWindowEntry(msg->hwnd);
    if (target == nullptr) {
        return 0;
    }
    HostWindowProc proc = target->proc;
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// ---- DDE parameters ---------------------------------------------------------------------

LPARAM WINAPI PackDDElParam(UINT message, UINT_PTR lo, UINT_PTR hi) {
    if (message == WM_DDE_EXECUTE) {
        return static_cast<LPARAM>(hi);
    }
    if (!IsDdePacked(message)) {
        return MAKELPARAM(lo, hi);
    }
    HGLOBAL block = GlobalAlloc(GMEM_DDESHARE, 2 * sizeof(UINT_PTR));
    if (block == nullptr) {
        return 0;
    }
    UINT_PTR *pair = static_cast<UINT_PTR *>(GlobalLock(block));
    pair[0] = lo;
    pair[1] = hi;
    GlobalUnlock(block);
    LPARAM packed = reinterpret_cast<LPARAM>(block);
    Shell().packed_blocks.insert(packed);
    return packed;
}

BOOL WINAPI UnpackDDElParam(UINT message, LPARAM lparam, PUINT_PTR lo, PUINT_PTR hi) {
    UINT_PTR first = 0, second = 0;
    BOOL ok = TRUE;
    if (message == WM_DDE_EXECUTE) {
        second = static_cast<UINT_PTR>(lparam);
    } else if (!IsDdePacked(message)) {
        first = LOWORD(lparam);
        second = HIWORD(lparam);
    } else if (Shell().packed_blocks.count(lparam) != 0) {
        const UINT_PTR *pair = static_cast<const UINT_PTR *>(reinterpret_cast<void *>(lparam));
        first = pair[0];
        second = pair[1];
    } else {
        ok = FALSE; // not a block of PackDDElParam: it cannot be locked
    }
    if (lo != nullptr) {
        *lo = first;
    }
    if (hi != nullptr) {
        *hi = second;
    }
    return ok;
}

BOOL WINAPI FreeDDElParam(UINT message, LPARAM lparam) {
    if (!IsDdePacked(message) || Shell().packed_blocks.erase(lparam) == 0) {
        return TRUE; // nothing was allocated for it
    }
    GlobalFree(reinterpret_cast<HGLOBAL>(lparam));
    return TRUE;
}

// ---- Processes and time ---------------------------------------------------------------

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_security,
                           LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles, DWORD flags,
                           LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                           LPPROCESS_INFORMATION process) {
    HostShell &s = Shell();
    const BYTE *bytes = reinterpret_cast<const BYTE *>(startup);
    bool rest_zero = true;
    for (size_t i = sizeof startup->cb; i < sizeof *startup; ++i) {
        rest_zero = rest_zero && bytes[i] == 0;
    }
    s.process_starts.push_back(HostProcessStart{
        application == nullptr, command_line == nullptr ? "" : command_line,
        process_security == nullptr && thread_security == nullptr, inherit_handles, flags,
        environment == nullptr, directory == nullptr, startup->cb, rest_zero});
    if (s.fail_process_start) {
        return FALSE;
    }
    process->hProcess = reinterpret_cast<HANDLE>(s.next_process_handle++);
    process->hThread = reinterpret_cast<HANDLE>(s.next_process_handle++);
    process->dwProcessId = 100;
    process->dwThreadId = 101;
    s.process_handles.insert(process->hProcess);
    s.process_handles.insert(process->hThread);
    if (s.process_start_hook != nullptr) {
        s.process_start_hook(command_line);
    }
    return TRUE;
}

bool HostCloseProcessHandle(HANDLE h) {
    return Shell().process_handles.erase(h) != 0;
}

DWORD WINAPI WaitForInputIdle(HANDLE process, DWORD milliseconds) {
    Shell().input_idle_waits.push_back(HostInputIdleWait{process, milliseconds});
    return Shell().process_handles.count(process) != 0 ? 0 : 0xFFFFFFFF /* WAIT_FAILED */;
}

DWORD WINAPI GetTickCount(void) {
    return Shell().tick++;
}

void WINAPI Sleep(DWORD milliseconds) {
    Shell().tick += milliseconds;
}

// ---- Shell -------------------------------------------------------------------------------

HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, int show) {
    Shell().shell_executes.push_back(HostShellExecute{
        owner, verb == nullptr, verb == nullptr ? "" : verb, file == nullptr ? "" : file,
        parameters == nullptr, parameters == nullptr ? "" : parameters,
        directory == nullptr ? "" : directory, show});
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
}
