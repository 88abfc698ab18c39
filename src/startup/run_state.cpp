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
char OutputTempPath[kOutputTempPathSize];

void AbortRun(UINT status) {
    if (State->OutputFile != 0 && State->OutputFile != INVALID_HANDLE_VALUE) {
        // The member is written to a temporary file: a file it replaces stays as it was.
        CloseHandle(State->OutputFile);
        DeleteFileA(OutputTempPath);
        OutputTempPath[0] = 0;
    }
    if (State->ArchiveFile != 0 && State->ArchiveFile != HFILE_ERROR) {
        _lclose(State->ArchiveFile);
    }
    State->OutputFile = INVALID_HANDLE_VALUE;
    State->ArchiveFile = HFILE_ERROR;
    ExitProcess(status);
}
