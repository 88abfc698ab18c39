// The Program Manager conversation, in raw DDE messages with the install dialog as
// the client: an initiate broadcast for "PROGMAN"/"PROGMAN", one execute with the
// group and item commands to the first server that answers, and a terminate once
// that execute is acknowledged.
//
// The server answers the initiate with a sent WM_DDE_ACK while the broadcast is
// still running, so the execute is posted from inside the broadcast; the execute's
// acknowledgement is posted and arrives through the dialog's message pump. What an
// acknowledgement carries is the client's to release: the server's two atoms after
// an initiate, the packed parameter and the command block after an execute.
#include "shell/progman.h"

#include "shell/association.h"
#include "startup/run_state.h"
#include "ui/messages.h"

#ifdef _WIN32
// The system headers declare the DDE parameter calls without dllimport, so they would
// be called through the import library's jump stubs, which carry no base relocation and
// fail wherever the program is not loaded at its linked address (always under Win32s,
// at every start under address space randomisation). Declared again as imports, they
// are called through their import address table slots like every other call.
extern "C" {
__declspec(dllimport) LPARAM WINAPI PackDDElParam(UINT message, UINT_PTR lo, UINT_PTR hi);
__declspec(dllimport) BOOL WINAPI
    UnpackDDElParam(UINT message, LPARAM lparam, PUINT_PTR lo, PUINT_PTR hi);
__declspec(dllimport) BOOL WINAPI FreeDDElParam(UINT message, LPARAM lparam);
}
#endif

namespace {

enum {
    kIdle = 0,
    kInitiating = 1,
    kExecuting = 2,
    kFinished = -1,
};

// How long Program Manager may take to start, and to acknowledge the execute.
const DWORD kStartWait = 3000;
const DWORD kExecuteWait = 3000;
const DWORD kPollInterval = 10;

// Writable: CreateProcess may write into the command line it is given.
char ProgmanCommandLine[] = "PROGMAN.EXE";

// True while the initiate is being broadcast: every acknowledgement that arrives
// then answers the initiate.
bool Broadcasting;

#ifdef _WIN32
static_assert(sizeof(STARTUPINFOA) == 68, "start-up record size");
#endif

void StartProgramManager() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessA(nullptr, ProgmanCommandLine, nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                       &process)) {
        WaitForInputIdle(process.hProcess, kStartWait);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

// The first parameter names the dialog as PackDDElParam gives it for a terminate:
// the handle in the low word, which the system widens again.
void PostTerminate(HWND server, HWND dialog) {
    PostMessageA(
        server, WM_DDE_TERMINATE,
        static_cast<WPARAM>(PackDDElParam(WM_DDE_TERMINATE, reinterpret_cast<UINT_PTR>(dialog), 0)),
        0);
}

} // namespace

void StartProgmanConversation(HWND dialog) {
    if (FindWindowA("Progman", nullptr) == nullptr) {
        StartProgramManager();
    }
    DdeState = kInitiating;
    ProgmanWindow = nullptr;
    ATOM application = GlobalAddAtomA("PROGMAN");
    ATOM topic = GlobalAddAtomA("PROGMAN");
    Broadcasting = true;
    SendMessageA(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(dialog),
                 MAKELPARAM(application, topic));
    Broadcasting = false;
    GlobalDeleteAtom(topic);
    GlobalDeleteAtom(application);
}

void SendGroupCommands(HWND dialog) {
    RunState *s = State;
    // A path that does not fit, or a block that cannot be had, leaves the state
    // at initiating, and the conversation is given up after the broadcast.
    if (!ShortPathInDestination(s->ProgramPath, s->ProgramPath)) {
        return;
    }
    // The two commands follow each other without a line feed: Program Manager takes
    // consecutive bracketed commands, and some servers stop reading at a line break.
    // The icon, when there is one, is the item's third argument.
    bool icon = s->IconPath[0] != 0;
    if (icon && !ShortPathInDestination(s->IconPath, s->IconPath)) {
        return;
    }
    wsprintfA(s->CommandText, "[CreateGroup(\"%s\",0)][AddItem(%s,%s%s%s)]", s->GroupName,
              s->ProgramPath, s->ItemTitle, icon ? "," : "", s->IconPath);

    // Zero-filled, so that nothing of this process's memory after the text reaches
    // the server.
    HGLOBAL block =
        GlobalAlloc(GMEM_DDESHARE | GMEM_MOVEABLE | GMEM_ZEROINIT, kCommandTextSize + 1);
    if (block == nullptr) {
        return;
    }
    char *text = static_cast<char *>(GlobalLock(block));
    if (text == nullptr) {
        GlobalFree(block);
        return;
    }
    lstrcpyA(text, s->CommandText);
    GlobalUnlock(block);

    DdeState = kExecuting;
    LPARAM packed = PackDDElParam(WM_DDE_EXECUTE, 0, reinterpret_cast<UINT_PTR>(block));
    if (!PostMessageA(ProgmanWindow, WM_DDE_EXECUTE, reinterpret_cast<WPARAM>(dialog), packed)) {
        // The block stays ours, and no acknowledgement will come.
        GlobalFree(block);
        FreeDDElParam(WM_DDE_EXECUTE, packed);
        PostTerminate(ProgmanWindow, dialog);
        DdeState = kFinished;
    }
}

void OnDdeAck(HWND dialog, HWND server, LPARAM value) {
    if (Broadcasting) {
        // An answer to the initiate, carrying the server's own atoms.
        GlobalDeleteAtom(LOWORD(value));
        GlobalDeleteAtom(HIWORD(value));
        if (DdeState == kInitiating && ProgmanWindow == nullptr) {
            ProgmanWindow = server;
            SendGroupCommands(dialog);
        } else {
            // A further server: the commands go to the first one only, so the
            // conversation this one has opened is closed again.
            PostTerminate(server, dialog);
        }
        return;
    }

    // The answer to an execute, positive or negative: the command block comes back.
    UINT_PTR status = 0, commands = 0;
    if (UnpackDDElParam(WM_DDE_ACK, value, &status, &commands)) {
        FreeDDElParam(WM_DDE_ACK, value);
    }
    if (commands != 0) {
        GlobalFree(reinterpret_cast<HGLOBAL>(commands));
    }
    if (DdeState == kExecuting && server == ProgmanWindow) {
        PostTerminate(ProgmanWindow, dialog);
        DdeState = kFinished;
    }
}

void WaitForProgman(HWND dialog) {
    if (DdeState == kInitiating) {
        // Nobody answered, or the commands could not be handed to the server that did.
        if (ProgmanWindow != nullptr) {
            PostTerminate(ProgmanWindow, dialog);
        }
        DdeState = kFinished;
        return;
    }
    DWORD start = GetTickCount();
    while (DdeState == kExecuting) {
        PumpMessages(dialog);
        if (DdeState != kExecuting) {
            break;
        }
        if (GetTickCount() - start >= kExecuteWait) {
            PostTerminate(ProgmanWindow, dialog);
            break;
        }
        Sleep(kPollInterval);
    }
    DdeState = kFinished;
}
