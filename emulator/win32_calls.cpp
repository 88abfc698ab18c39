// The system calls of the program, each taken from the guest stack, handed to the Win32
// model with its pointers turned into host pointers, and answered in the guest's
// 32-bit layouts. What a call changes that a user could see or a publisher check goes
// into the transcript.
#include <string.h>
#include <sys/stat.h>

#include "platform/host_control.h"
#include "platform/host_dialogs_control.h"
#include "platform/host_shell_control.h"
#include "platform/host_state.h"
#include "session.h"

namespace {

typedef const uint32_t *Args;

// Guest MSG: hwnd, message, wParam, lParam, time, pt.x, pt.y.
struct GuestMsg {
    uint32_t hwnd, message, wparam, lparam, time, x, y;
};
// Guest PAINTSTRUCT: hdc, fErase, rcPaint, fRestore, fIncUpdate, rgbReserved[32].
struct GuestPaint {
    uint32_t hdc, erase;
    int32_t rect[4];
    uint32_t restore, inc_update;
    uint8_t reserved[32];
};
// Guest OPENFILENAMEA as far as the oldest systems know it (76 bytes).
struct GuestOpenFileName {
    uint32_t size, owner, instance, filter, custom_filter, max_custom_filter, filter_index, file,
        max_file, file_title, max_file_title, initial_dir, title, flags;
    uint16_t file_offset, file_extension;
    uint32_t def_ext, cust_data, hook, template_name;
};
static_assert(sizeof(GuestOpenFileName) == 76, "guest layout");
// Guest STARTUPINFOA (68 bytes) and PROCESS_INFORMATION (16 bytes).
struct GuestStartup {
    uint32_t cb, reserved, desktop, title, x, y, x_size, y_size, x_chars, y_chars, fill, flags;
    uint16_t show_window, reserved2_size;
    uint32_t reserved2, std_input, std_output, std_error;
};
static_assert(sizeof(GuestStartup) == 68, "guest layout");

Machine &M() {
    return Current().machine;
}
HANDLE H(uint32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(M().ToHost(value)));
}
uint32_t G(const void *handle) {
    return M().ToGuest(reinterpret_cast<uintptr_t>(handle));
}
uint32_t G(uint64_t value) {
    return M().ToGuest(value);
}
char *S(uint32_t address) {
    return M().Str(address, "a string argument");
}
char *Buffer(uint32_t address, uint32_t size) {
    return static_cast<char *>(M().Ptr(address, size, "a buffer argument"));
}
template <typename T> T *P(uint32_t address) {
    return M().Get<T>(address, "a record argument");
}
// A resource name argument: an ordinal, or a guest string.
LPCSTR Name(uint32_t value) {
    return value <= 0xFFFF ? reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(value)) : S(value);
}

std::string WindowsPath(const char *path) {
    std::string full = HostFullPath(path);
    return full.empty() ? std::string(path) : full;
}

bool Exists(const char *path, bool *directory) {
    struct stat st;
    if (stat(HostPath(path).c_str(), &st) != 0) {
        return false;
    }
    *directory = S_ISDIR(st.st_mode);
    return true;
}

void RecordFile(const char *kind, const char *path) {
    Event e("file");
    Current().Record(e.Text("change", kind).Text("path", WindowsPath(path)));
}

MSG HostMsg(const GuestMsg &g) {
    MSG msg = {};
    msg.hwnd = H(g.hwnd);
    msg.message = g.message;
    msg.wParam = static_cast<WPARAM>(M().ToHost(g.wparam));
    msg.lParam = static_cast<LPARAM>(M().ToHost(g.lparam));
    msg.time = g.time;
    msg.pt.x = static_cast<LONG>(g.x);
    msg.pt.y = static_cast<LONG>(g.y);
    return msg;
}

// Registry keys the program opened, by guest handle, for the transcript.
std::map<uint32_t, std::string> &KeyPaths() {
    static std::map<uint32_t, std::string> paths;
    return paths;
}

std::string RootName(uint32_t root) {
    return root == 0x80000000u   ? "HKEY_CLASSES_ROOT"
           : root == 0x80000002u ? "HKEY_LOCAL_MACHINE"
                                 : "HKEY_" + std::to_string(root);
}

const char *IconName(UINT style) {
    switch (style & 0xF0) {
    case MB_ICONERROR:
        return "error";
    case MB_ICONQUESTION:
        return "question";
    case MB_ICONWARNING:
        return "warning";
    case 0x40:
        return "information";
    default:
        return "none";
    }
}

uint32_t MessageBoxCall(Machine &m, Args a) {
    Session &s = Current();
    std::string text = a[1] == 0 ? "" : S(a[1]);
    std::string caption = a[2] == 0 ? "" : S(a[2]);
    UINT style = a[3];
    BoxWaiting box(caption, text, style);
    Event shown("box");
    shown.Text("caption", caption).Text("text", text).Raw("icon", JsonString(IconName(style)));
    shown.Raw("buttons", JsonString(box.ButtonNames()));
    s.Record(shown);
    std::string answer = s.Await(box, "a box \"" + Utf8FromCp932(text) + "\"");
    int id = box.Button(answer);
    Event answered("box-answer");
    s.Record(answered.Raw("answer", JsonString(answer)));
    if (id == 0) {
        m.Fault("the answer " + answer + " is not a button of the box (" + box.ButtonNames() + ")");
    }
    HostQueueAnswer(id);
    return static_cast<uint32_t>(MessageBoxA(H(a[0]), S(a[1]), S(a[2]), style));
}

uint32_t DialogBoxCall(Machine &, Args a) {
    Session &s = Current();
    LPCSTR name = Name(a[1]);
    std::string key = HostUpper(a[1] <= 0xFFFF ? "#" + std::to_string(a[1]) : std::string(name));
    if (!DefineTemplateFromResources(key)) {
        return 0xFFFFFFFFu; // no such template: the call fails as Windows' does
    }
    s.open_dialogs.push_back(key);
    s.dialog_procs.push_back(a[3]);
    Event opened("dialog-open");
    s.Record(opened.Text("template", key));
    INT_PTR result =
        DialogBoxParamA(H(a[0]), key.c_str(), H(a[2]), GuestDialogProc, static_cast<LPARAM>(a[4]));
    s.open_dialogs.pop_back();
    s.dialog_procs.pop_back();
    Event closed("dialog-end");
    s.Record(closed.Text("template", key).Number("result", result));
    return static_cast<uint32_t>(result);
}

uint32_t OpenFileNameCall(Machine &, Args a) {
    Session &s = Current();
    GuestOpenFileName *g = P<GuestOpenFileName>(a[0]);
    OPENFILENAMEA r = {};
    r.lStructSize = g->size == 76   ? OPENFILENAME_SIZE_VERSION_400A
                    : g->size == 88 ? sizeof(OPENFILENAMEA)
                                    : g->size;
    r.hwndOwner = H(g->owner);
    r.hInstance = H(g->instance);
    r.lpstrFilter = S(g->filter);
    r.lpstrFile = Buffer(g->file, g->max_file);
    r.nMaxFile = g->max_file;
    r.lpstrInitialDir = S(g->initial_dir);
    r.lpstrTitle = S(g->title);
    r.Flags = g->flags;
    r.lpTemplateName = Name(g->template_name);
    char directory[MAX_PATH];
    GetCurrentDirectoryA(sizeof directory, directory);
    std::string templ = g->template_name > 0xFFFF ? HostUpper(S(g->template_name)) : "";
    s.folder_template = (g->flags & OFN_ENABLETEMPLATE) != 0 ? templ : "";
    Event e("dialog");
    e.Text("template", templ).Text("caption", r.lpstrTitle == nullptr ? "" : r.lpstrTitle);
    s.Record(e.Text("folder", directory));
    FolderWaiting waiting(r.lpstrTitle == nullptr ? "" : r.lpstrTitle,
                          r.lpstrFile == nullptr ? "" : r.lpstrFile, directory, r.Flags);
    std::string answer = s.Await(waiting, "the folder dialog");
    if (answer.compare(0, 7, "folder:") == 0) {
        std::string folder;
        if (!Cp932FromUtf8(answer.substr(7), &folder)) {
            M().Fault("the answer " + answer + " has characters code page 932 does not hold");
        }
        // The dialog hands back the folder with the file name it was given.
        const char *file = r.lpstrFile == nullptr ? "" : r.lpstrFile;
        const char *name = file;
        for (const char *p = file; *p != 0; ++p) {
            if (*p == '\\' || *p == '/' || *p == ':') {
                name = p + 1;
            }
        }
        if (!folder.empty() && folder.back() != '\\') {
            folder += '\\';
        }
        HostQueueOpenFileAnswer((folder + name).c_str());
    } else if (answer == "ok") {
        HostQueueOpenFileAnswer((std::string(directory) +
                                 (std::string(directory).back() == '\\' ? "" : "\\") +
                                 (r.lpstrFile == nullptr ? "" : r.lpstrFile))
                                    .c_str());
    } else if (answer == "cancel") {
        HostQueueOpenFileCancel();
    } else {
        M().Fault("the answer " + answer +
                  " is not one the folder dialog takes (ok, cancel, "
                  "folder:PATH)");
    }
    BOOL chosen = GetOpenFileNameA(&r);
    g->file_offset = r.nFileOffset;
    g->file_extension = r.nFileExtension;
    return static_cast<uint32_t>(chosen);
}

uint32_t CreateFileCall(Machine &, Args a) {
    const char *name = S(a[0]);
    bool directory = false;
    bool existed = name != nullptr && Exists(name, &directory);
    HANDLE h = CreateFileA(name, a[1], a[2], nullptr, a[4], a[5], nullptr);
    if (h != INVALID_HANDLE_VALUE && (a[1] & GENERIC_WRITE) != 0) {
        RecordFile(existed ? "replaced" : "created", name);
    }
    return G(h);
}

uint32_t CreateProcessCall(Machine &, Args a) {
    GuestStartup *g = P<GuestStartup>(a[8]);
    STARTUPINFOA startup = {};
    startup.cb = g->cb;
    startup.dwFlags = g->flags;
    startup.wShowWindow = g->show_window;
    startup.dwX = g->x;
    startup.dwY = g->y;
    startup.dwXSize = g->x_size;
    startup.dwYSize = g->y_size;
    startup.dwFillAttribute = g->fill;
    // Pointers are only ever looked at for being set.
    static char set;
    startup.lpDesktop = g->desktop != 0 ? &set : nullptr;
    startup.lpTitle = g->title != 0 ? &set : nullptr;
    startup.lpReserved = g->reserved != 0 ? &set : nullptr;
    PROCESS_INFORMATION info = {};
    const char *command_line = S(a[1]);
    Event e("process");
    Current().Record(e.Text("command", command_line == nullptr ? "" : command_line)
                         .Text("folder", a[7] != 0 ? S(a[7]) : ""));
    BOOL ok = CreateProcessA(S(a[0]), S(a[1]), nullptr, nullptr, static_cast<BOOL>(a[4]), a[5],
                             a[6] != 0 ? &set : nullptr, S(a[7]), &startup, &info);
    uint32_t *out = static_cast<uint32_t *>(M().Ptr(a[9], 16, "PROCESS_INFORMATION"));
    if (ok) {
        out[0] = G(info.hProcess);
        out[1] = G(info.hThread);
        out[2] = info.dwProcessId;
        out[3] = info.dwThreadId;
    }
    return static_cast<uint32_t>(ok);
}

uint32_t PrintCall(Machine &m, Args a) {
    // wsprintfA(out, format, ...): the arguments behind the format are read one by one
    // for each conversion, which the model formats alone.
    const char *format = S(a[1]);
    uint32_t esp = 0;
    uc_reg_read(m.engine(), UC_X86_REG_ESP, &esp);
    uint32_t next = esp + 12;
    std::string result;
    for (const char *f = format; *f != 0; ++f) {
        if (*f != '%') {
            result += *f;
            continue;
        }
        std::string conversion = "%";
        ++f;
        if (*f == 'l' || *f == 'h') {
            conversion += *f++;
        }
        conversion += *f;
        char piece[1024];
        if (*f == '%') {
            result += '%';
            continue;
        }
        uint32_t value = *m.Get<uint32_t>(next, "an argument of wsprintfA");
        next += 4;
        if (*f == 's') {
            wsprintfA(piece, "%s", value == 0 ? "(null)" : S(value));
        } else if (strchr("cdiuxX", *f) != nullptr && *f != 0) {
            wsprintfA(piece, conversion.c_str(), value);
        } else {
            m.Fault("wsprintfA conversion " + conversion + " is not modelled");
        }
        result += piece;
    }
    if (result.size() > 1023) {
        result.resize(1023);
    }
    // Only the bytes written must lie in the program's memory, as for the real call.
    char *out = Buffer(a[0], static_cast<uint32_t>(result.size() + 1));
    memcpy(out, result.c_str(), result.size() + 1);
    return static_cast<uint32_t>(result.size());
}

// Kernel32 functions GetProcAddress finds beyond the imports: the DLL search hardening.
uint32_t HardenDllSearch(Machine &, Args) {
    return TRUE;
}
uint32_t g_set_default_dll_directories;
uint32_t g_set_dll_directory;

// A modelled call: its DLL, name, argument count and body over `a`, the arguments.
#define CALL(dll, name, n, ...)                                                                    \
    Trap {                                                                                         \
        dll, #name, n, false, [](Machine &m, Args a) -> uint32_t {                                 \
            (void)m;                                                                               \
            (void)a;                                                                               \
            __VA_ARGS__                                                                            \
        }                                                                                          \
    }
#define K(name, n, ...) CALL("KERNEL32.DLL", name, n, __VA_ARGS__)
#define U(name, n, ...) CALL("USER32.DLL", name, n, __VA_ARGS__)

const std::vector<Trap> &Calls() {
    static const std::vector<Trap> calls = {
        // ---- kernel32: files ----
        K(CloseHandle, 1, { return static_cast<uint32_t>(CloseHandle(H(a[0]))); }),
        K(CreateDirectoryA, 2,
          {
              BOOL ok = CreateDirectoryA(S(a[0]), nullptr);
              if (ok) {
                  RecordFile("directory", S(a[0]));
              }
              return static_cast<uint32_t>(ok);
          }),
        Trap{"KERNEL32.DLL", "CreateFileA", 7, false, CreateFileCall},
        K(DeleteFileA, 1,
          {
              BOOL ok = DeleteFileA(S(a[0]));
              if (ok) {
                  RecordFile("deleted", S(a[0]));
              }
              return static_cast<uint32_t>(ok);
          }),
        K(MoveFileA, 2,
          {
              BOOL ok = MoveFileA(S(a[0]), S(a[1]));
              if (ok) {
                  Event e("file");
                  Current().Record(e.Text("change", "moved")
                                       .Text("path", WindowsPath(S(a[1])))
                                       .Text("from", WindowsPath(S(a[0]))));
              }
              return static_cast<uint32_t>(ok);
          }),
        K(WriteFile, 5,
          {
              DWORD written = 0;
              BOOL ok = WriteFile(H(a[0]), M().Ptr(a[1], a[2], "WriteFile data"), a[2], &written,
                                  nullptr);
              if (a[3] != 0) {
                  *P<uint32_t>(a[3]) = written;
              }
              return static_cast<uint32_t>(ok);
          }),
        K(GetFileTime, 4,
          {
              return static_cast<uint32_t>(
                  GetFileTime(H(a[0]), P<FILETIME>(a[1]), P<FILETIME>(a[2]), P<FILETIME>(a[3])));
          }),
        K(SetFileTime, 4,
          {
              return static_cast<uint32_t>(
                  SetFileTime(H(a[0]), P<FILETIME>(a[1]), P<FILETIME>(a[2]), P<FILETIME>(a[3])));
          }),
        K(GetFileAttributesA, 1, { return GetFileAttributesA(S(a[0])); }),
        K(SetFileAttributesA, 2,
          { return static_cast<uint32_t>(SetFileAttributesA(S(a[0]), a[1])); }),
        K(GetVolumeInformationA, 8,
          {
              return static_cast<uint32_t>(
                  GetVolumeInformationA(S(a[0]), Buffer(a[1], a[2]), a[2], P<DWORD>(a[3]),
                                        P<DWORD>(a[4]), P<DWORD>(a[5]), Buffer(a[6], a[7]), a[7]));
          }),
        K(_lopen, 2, { return static_cast<uint32_t>(_lopen(S(a[0]), static_cast<int>(a[1]))); }),
        K(_lread, 3,
          { return _lread(static_cast<HFILE>(a[0]), M().Ptr(a[1], a[2], "_lread buffer"), a[2]); }),
        K(_llseek, 3,
          {
              return static_cast<uint32_t>(_llseek(
                  static_cast<HFILE>(a[0]), static_cast<LONG>(a[1]), static_cast<int>(a[2])));
          }),
        K(_lclose, 1, { return static_cast<uint32_t>(_lclose(static_cast<HFILE>(a[0]))); }),
        // ---- kernel32: directories, environment ----
        K(GetWindowsDirectoryA, 2, { return GetWindowsDirectoryA(Buffer(a[0], a[1]), a[1]); }),
        K(GetSystemDirectoryA, 2, { return GetSystemDirectoryA(Buffer(a[0], a[1]), a[1]); }),
        K(GetCurrentDirectoryA, 2, { return GetCurrentDirectoryA(a[0], Buffer(a[1], a[0])); }),
        K(GetEnvironmentVariableA, 3,
          { return GetEnvironmentVariableA(S(a[0]), Buffer(a[1], a[2]), a[2]); }),
        K(SearchPathA, 6,
          {
              char *buffer = Buffer(a[4], a[3]);
              LPSTR part = nullptr;
              DWORD n = SearchPathA(S(a[0]), S(a[1]), S(a[2]), a[3], buffer, &part);
              if (a[5] != 0) {
                  *P<uint32_t>(a[5]) = part == nullptr ? 0 : M().GuestOf(part);
              }
              return n;
          }),
        K(GetShortPathNameA, 3, { return GetShortPathNameA(S(a[0]), Buffer(a[1], a[2]), a[2]); }),
        // ---- kernel32: process, module, memory ----
        K(ExitProcess, 1, { M().Exit(static_cast<int>(a[0])); }),
        K(GetCommandLineA, 0,
          {
              static uint32_t line = M().CopyString(Current().command_line);
              return line;
          }),
        K(GetVersionExA, 1,
          {
              OSVERSIONINFOA *info = P<OSVERSIONINFOA>(a[0]);
              return static_cast<uint32_t>(GetVersionExA(info));
          }),
        K(GetModuleHandleA, 1,
          {
              if (a[0] == 0) {
                  return Machine::kImageBase;
              }
              std::string name = HostUpper(S(a[0]));
              return name == "KERNEL32.DLL" || name == "KERNEL32" ? Current().kernel_module : 0;
          }),
        K(GetProcAddress, 2,
          {
              if (a[0] != Current().kernel_module || a[1] <= 0xFFFF) {
                  return 0;
              }
              std::string name = S(a[1]);
              return name == "SetDefaultDllDirectories" ? g_set_default_dll_directories
                     : name == "SetDllDirectoryA"       ? g_set_dll_directory
                                                        : 0;
          }),
        K(GetModuleFileNameA, 3, { return GetModuleFileNameA(nullptr, Buffer(a[1], a[2]), a[2]); }),
        K(LocalAlloc, 2, { return M().Alloc(a[1]); }),
        K(LocalFree, 1, { return M().Free(a[0]) || a[0] == 0 ? 0 : a[0]; }),
        K(GlobalAlloc, 2, { return M().Alloc(a[1]); }),
        K(GlobalFree, 1, { return M().Free(a[0]) || a[0] == 0 ? 0 : a[0]; }),
        K(GlobalLock, 1, { return M().IsBlock(a[0]) ? a[0] : 0; }),
        K(GlobalUnlock, 1, { return 0; }),
        K(GlobalAddAtomA, 1, { return GlobalAddAtomA(S(a[0])); }),
        K(GlobalDeleteAtom, 1, { return GlobalDeleteAtom(static_cast<ATOM>(a[0])); }),
        K(GetTickCount, 0, { return GetTickCount(); }),
        K(Sleep, 1,
          {
              Sleep(a[0]);
              return 0;
          }),
        K(WriteProfileStringA, 3,
          {
              Event e("win.ini");
              Current().Record(e.Text("section", S(a[0]) == nullptr ? "" : S(a[0]))
                                   .Text("key", a[1] == 0 ? "" : S(a[1]))
                                   .Text("value", a[2] == 0 ? "" : S(a[2])));
              return static_cast<uint32_t>(WriteProfileStringA(S(a[0]), S(a[1]), S(a[2])));
          }),
        Trap{"KERNEL32.DLL", "CreateProcessA", 10, false, CreateProcessCall},
        // ---- kernel32: strings ----
        K(IsDBCSLeadByte, 1,
          { return static_cast<uint32_t>(IsDBCSLeadByte(static_cast<BYTE>(a[0]))); }),
        K(lstrcpyA, 2,
          {
              lstrcpyA(Buffer(a[0], static_cast<uint32_t>(strlen(S(a[1])) + 1)), S(a[1]));
              return a[0];
          }),
        K(lstrcpynA, 3,
          {
              lstrcpynA(Buffer(a[0], a[2]), S(a[1]), static_cast<int>(a[2]));
              return a[0];
          }),
        K(lstrlenA, 1, { return a[0] == 0 ? 0 : static_cast<uint32_t>(lstrlenA(S(a[0]))); }),
        // ---- user32: strings ----
        U(CharLowerA, 1,
          {
              if (a[0] <= 0xFFFF) { // a single character
                  return a[0] >= 'A' && a[0] <= 'Z' ? a[0] + ('a' - 'A') : a[0];
              }
              CharLowerA(S(a[0]));
              return a[0];
          }),
        U(CharPrevA, 2,
          {
              char *start = S(a[0]);
              char *current = static_cast<char *>(M().Ptr(a[1], 1, "CharPrevA"));
              return M().GuestOf(CharPrevA(start, current));
          }),
        Trap{"USER32.DLL", "wsprintfA", 2, true, PrintCall},
        // ---- user32: boxes, dialogs, controls ----
        Trap{"USER32.DLL", "MessageBoxA", 4, false, MessageBoxCall},
        Trap{"USER32.DLL", "DialogBoxParamA", 5, false, DialogBoxCall},
        U(EndDialog, 2,
          { return static_cast<uint32_t>(EndDialog(H(a[0]), static_cast<int32_t>(a[1]))); }),
        U(GetDlgItem, 2, { return G(GetDlgItem(H(a[0]), static_cast<int>(a[1]))); }),
        U(GetDlgItemTextA, 4,
          {
              return GetDlgItemTextA(H(a[0]), static_cast<int>(a[1]), Buffer(a[2], a[3]),
                                     static_cast<int>(a[3]));
          }),
        U(SetDlgItemTextA, 3,
          {
              RecordText(H(a[0]), static_cast<int>(a[1]), S(a[2]));
              return static_cast<uint32_t>(
                  SetDlgItemTextA(H(a[0]), static_cast<int>(a[1]), S(a[2])));
          }),
        U(SetWindowTextA, 2,
          {
              RecordText(H(a[0]), -1, S(a[1]));
              return static_cast<uint32_t>(SetWindowTextA(H(a[0]), S(a[1])));
          }),
        U(SendDlgItemMessageA, 5,
          {
              return static_cast<uint32_t>(SendDlgItemMessageA(
                  H(a[0]), static_cast<int>(a[1]), a[2], static_cast<WPARAM>(M().ToHost(a[3])),
                  static_cast<LPARAM>(M().ToHost(a[4]))));
          }),
        U(CheckDlgButton, 3,
          { return static_cast<uint32_t>(CheckDlgButton(H(a[0]), static_cast<int>(a[1]), a[2])); }),
        U(EnableWindow, 2, { return static_cast<uint32_t>(EnableWindow(H(a[0]), a[1])); }),
        U(SetFocus, 1, { return G(SetFocus(H(a[0]))); }),
        U(GetSystemMetrics, 1,
          { return static_cast<uint32_t>(GetSystemMetrics(static_cast<int>(a[0]))); }),
        U(GetWindowRect, 2,
          { return static_cast<uint32_t>(GetWindowRect(H(a[0]), P<RECT>(a[1]))); }),
        U(MoveWindow, 6,
          {
              return static_cast<uint32_t>(
                  MoveWindow(H(a[0]), static_cast<int>(a[1]), static_cast<int>(a[2]),
                             static_cast<int>(a[3]), static_cast<int>(a[4]), a[5]));
          }),
        U(IsIconic, 1, { return static_cast<uint32_t>(IsIconic(H(a[0]))); }),
        U(LoadIconA, 2, { return G(LoadIconA(H(a[0]), Name(a[1]))); }),
        U(DestroyIcon, 1, { return static_cast<uint32_t>(DestroyIcon(H(a[0]))); }),
        U(DrawIcon, 4,
          {
              return static_cast<uint32_t>(
                  DrawIcon(H(a[0]), static_cast<int>(a[1]), static_cast<int>(a[2]), H(a[3])));
          }),
        U(BeginPaint, 2,
          {
              PAINTSTRUCT paint;
              HDC dc = BeginPaint(H(a[0]), &paint);
              GuestPaint *g = P<GuestPaint>(a[1]);
              memset(g, 0, sizeof *g);
              g->hdc = G(dc);
              return g->hdc;
          }),
        U(EndPaint, 2,
          {
              PAINTSTRUCT paint = {};
              paint.hdc = H(P<GuestPaint>(a[1])->hdc);
              return static_cast<uint32_t>(EndPaint(H(a[0]), &paint));
          }),
        U(SetTimer, 4,
          {
              if (a[3] != 0) {
                  M().Fault("SetTimer with a timer procedure is not modelled");
              }
              return static_cast<uint32_t>(SetTimer(H(a[0]), a[1], a[2], nullptr));
          }),
        U(KillTimer, 2, { return static_cast<uint32_t>(KillTimer(H(a[0]), a[1])); }),
        // ---- user32: messages and DDE ----
        U(PeekMessageA, 5,
          {
              MSG msg = {};
              BOOL got = PeekMessageA(&msg, H(a[1]), a[2], a[3], a[4]);
              if (got) {
                  *P<GuestMsg>(a[0]) = GuestMsg{G(msg.hwnd),
                                                msg.message,
                                                G(static_cast<uint64_t>(msg.wParam)),
                                                G(static_cast<uint64_t>(msg.lParam)),
                                                msg.time,
                                                static_cast<uint32_t>(msg.pt.x),
                                                static_cast<uint32_t>(msg.pt.y)};
              }
              return static_cast<uint32_t>(got);
          }),
        U(IsDialogMessageA, 2,
          {
              MSG msg = HostMsg(*P<GuestMsg>(a[1]));
              return static_cast<uint32_t>(IsDialogMessageA(H(a[0]), &msg));
          }),
        U(TranslateMessage, 1,
          {
              MSG msg = HostMsg(*P<GuestMsg>(a[0]));
              return static_cast<uint32_t>(TranslateMessage(&msg));
          }),
        U(DispatchMessageA, 1,
          {
              MSG msg = HostMsg(*P<GuestMsg>(a[0]));
              return static_cast<uint32_t>(DispatchMessageA(&msg));
          }),
        U(SendMessageA, 4,
          {
              return static_cast<uint32_t>(SendMessageA(H(a[0]), a[1],
                                                        static_cast<WPARAM>(M().ToHost(a[2])),
                                                        static_cast<LPARAM>(M().ToHost(a[3]))));
          }),
        U(PostMessageA, 4,
          {
              return static_cast<uint32_t>(PostMessageA(H(a[0]), a[1],
                                                        static_cast<WPARAM>(M().ToHost(a[2])),
                                                        static_cast<LPARAM>(M().ToHost(a[3]))));
          }),
        U(FindWindowA, 2, { return G(FindWindowA(S(a[0]), a[1] == 0 ? nullptr : S(a[1]))); }),
        U(PackDDElParam, 3,
          {
              return G(
                  static_cast<uint64_t>(PackDDElParam(a[0], M().ToHost(a[1]), M().ToHost(a[2]))));
          }),
        U(UnpackDDElParam, 4,
          {
              UINT_PTR lo = 0, hi = 0;
              BOOL ok = UnpackDDElParam(a[0], static_cast<LPARAM>(M().ToHost(a[1])), &lo, &hi);
              if (a[2] != 0) {
                  *P<uint32_t>(a[2]) = G(lo);
              }
              if (a[3] != 0) {
                  *P<uint32_t>(a[3]) = G(hi);
              }
              return static_cast<uint32_t>(ok);
          }),
        U(FreeDDElParam, 2,
          {
              return static_cast<uint32_t>(
                  FreeDDElParam(a[0], static_cast<LPARAM>(M().ToHost(a[1]))));
          }),
        U(WaitForInputIdle, 2, { return WaitForInputIdle(H(a[0]), a[1]); }),
        // ---- gdi32 ----
        CALL("GDI32.DLL", GetMapMode, 1, { return static_cast<uint32_t>(GetMapMode(H(a[0]))); }),
        CALL("GDI32.DLL", SetMapMode, 2,
             { return static_cast<uint32_t>(SetMapMode(H(a[0]), static_cast<int>(a[1]))); }),
        // ---- comdlg32 ----
        CALL("COMDLG32.DLL", GetFileTitleA, 3,
             {
                 return static_cast<uint32_t>(static_cast<int16_t>(
                     GetFileTitleA(S(a[0]), Buffer(a[1], a[2] & 0xFFFF), static_cast<WORD>(a[2]))));
             }),
        Trap{"COMDLG32.DLL", "GetOpenFileNameA", 1, false, OpenFileNameCall},
        // ---- advapi32 ----
        CALL("ADVAPI32.DLL", RegOpenKeyExA, 5,
             {
                 HKEY key = nullptr;
                 LSTATUS status = RegOpenKeyExA(H(a[0]), S(a[1]), a[2], a[3], &key);
                 if (status == ERROR_SUCCESS) {
                     *P<uint32_t>(a[4]) = G(key);
                 }
                 return static_cast<uint32_t>(status);
             }),
        CALL("ADVAPI32.DLL", RegQueryValueExA, 6,
             {
                 DWORD *size = P<DWORD>(a[5]);
                 LPBYTE data = reinterpret_cast<LPBYTE>(
                     a[4] == 0 ? nullptr
                               : M().Ptr(a[4], size == nullptr ? 0 : *size, "a value buffer"));
                 return static_cast<uint32_t>(
                     RegQueryValueExA(H(a[0]), S(a[1]), nullptr, P<DWORD>(a[3]), data, size));
             }),
        CALL("ADVAPI32.DLL", RegCreateKeyExA, 9,
             {
                 HKEY key = nullptr;
                 DWORD disposition = 0;
                 LSTATUS status =
                     RegCreateKeyExA(H(a[0]), S(a[1]), 0, a[3] == 0 ? nullptr : S(a[3]), a[4], a[5],
                                     nullptr, &key, &disposition);
                 if (status == ERROR_SUCCESS) {
                     uint32_t guest = G(key);
                     *P<uint32_t>(a[7]) = guest;
                     std::string root =
                         KeyPaths().count(a[0]) != 0 ? KeyPaths()[a[0]] : RootName(a[0]);
                     const char *path = S(a[1]);
                     KeyPaths()[guest] =
                         root + (path == nullptr || *path == 0 ? "" : "\\" + std::string(path));
                     if (a[8] != 0) {
                         *P<uint32_t>(a[8]) = disposition;
                     }
                 }
                 return static_cast<uint32_t>(status);
             }),
        CALL("ADVAPI32.DLL", RegSetValueExA, 6,
             {
                 const BYTE *data = static_cast<const BYTE *>(M().Ptr(a[4], a[5], "a value"));
                 Event e("registry");
                 std::string value =
                     data == nullptr ? "" : std::string(reinterpret_cast<const char *>(data), a[5]);
                 if (a[3] == REG_SZ && !value.empty() && value.back() == 0) {
                     value.pop_back();
                 }
                 Current().Record(e.Text("key", KeyPaths()[a[0]])
                                      .Text("name", a[1] == 0 ? "" : S(a[1]))
                                      .Number("type", a[3])
                                      .Text("value", value));
                 return static_cast<uint32_t>(
                     RegSetValueExA(H(a[0]), S(a[1]), 0, a[3], data, a[5]));
             }),
        CALL("ADVAPI32.DLL", RegCloseKey, 1,
             { return static_cast<uint32_t>(RegCloseKey(H(a[0]))); }),
        // ---- shell32 ----
        CALL("SHELL32.DLL", ShellExecuteA, 6,
             {
                 Event e("shell-execute");
                 Current().Record(e.Text("verb", a[1] == 0 ? "" : S(a[1]))
                                      .Text("file", S(a[2]) == nullptr ? "" : S(a[2]))
                                      .Text("parameters", a[3] == 0 ? "" : S(a[3]))
                                      .Text("folder", a[4] == 0 ? "" : S(a[4])));
                 return G(ShellExecuteA(H(a[0]), S(a[1]), S(a[2]), S(a[3]), S(a[4]),
                                        static_cast<int>(a[5])));
             }),
    };
    return calls;
}

} // namespace

void InstallTraps() {
    Session &s = Current();
    Machine &m = s.machine;
    g_set_default_dll_directories =
        m.AddTrap(Trap{"KERNEL32.DLL", "SetDefaultDllDirectories", 1, false, HardenDllSearch});
    g_set_dll_directory =
        m.AddTrap(Trap{"KERNEL32.DLL", "SetDllDirectoryA", 1, false, HardenDllSearch});
    s.kernel_module = Machine::kTrapBase + Machine::kTrapSize - 0x100;
    for (const PeImport &import : s.image.imports) {
        const Trap *known = nullptr;
        for (const Trap &call : Calls()) {
            if (call.dll == import.dll && call.name == import.name) {
                known = &call;
            }
        }
        // An unknown import still gets a trap, which ends the run with its name if called.
        uint32_t address =
            m.AddTrap(known != nullptr ? *known : Trap{import.dll, import.name, 0, false, nullptr});
        uint32_t *slot = m.Get<uint32_t>(Machine::kImageBase + import.slot, "the import table");
        *slot = address;
    }
}
