#include "startup/run_state.h"

#include "startup/silent.h"

STUB_PER_THREAD RunState *State;

DWORD AutoStart;
DWORD OverwriteSilently;
DWORD SkipNotNewer;
DWORD LegacyShell;
DWORD AskBeforeAssociate;
DWORD DirFromCommandLine;
WORD ArchiveCrcXor;
LONG DdeState;
HWND ProgmanWindow;
HINSTANCE ModuleInstance;
HICON DialogIcon;
STUB_PER_THREAD char OutputTempPath[kOutputTempPathSize];

void AbortRun() {
    if (State->OutputFile != 0 && State->OutputFile != INVALID_HANDLE_VALUE) {
        // A file the member would replace is not touched before the member is complete.
        CloseHandle(State->OutputFile);
        DeleteFileA(OutputTempPath);
        OutputTempPath[0] = 0;
    }
    if (State->ArchiveFile != 0 && State->ArchiveFile != HFILE_ERROR) {
        _lclose(State->ArchiveFile);
    }
    State->OutputFile = INVALID_HANDLE_VALUE;
    State->ArchiveFile = HFILE_ERROR;
    ExitProcess(static_cast<UINT>(EndStatus(1)));
}
