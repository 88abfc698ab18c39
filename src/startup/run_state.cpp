#include "startup/run_state.h"

RunState *State;

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

void AbortRun(UINT status) {
    if (State->OutputFile != 0 && State->OutputFile != INVALID_HANDLE_VALUE) {
        CloseHandle(State->OutputFile);
        DeleteFileA(State->DestinationPath);
    }
    if (State->ArchiveFile != 0 && State->ArchiveFile != HFILE_ERROR) {
        _lclose(State->ArchiveFile);
    }
    State->OutputFile = INVALID_HANDLE_VALUE;
    State->ArchiveFile = HFILE_ERROR;
    ExitProcess(status);
}
