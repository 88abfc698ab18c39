// The state a run starts from, shared by the unit tests and the fuzz targets: a
// zero-filled run state, as start-up allocates it, and the globals as the program
// loads them.
#pragma once

#include <stdlib.h>

#include "startup/run_state.h"
#include "startup/silent.h"
#include "startup/startup.h"

inline void StartFreshRunState() {
    State = static_cast<RunState *>(calloc(1, sizeof(RunState)));
    State->OutputFile = INVALID_HANDLE_VALUE;
    State->ArchiveFile = HFILE_ERROR;
    AutoStart = OverwriteSilently = LegacyShell = AskBeforeAssociate = DirFromCommandLine = 0;
    SkipNotNewer = 1;
    ArchiveCrcXor = 0;
    OutputTempPath[0] = 0;
    DdeState = 0;
    ProgmanWindow = nullptr;
    Silent = FailureStatus = 0;
    LogFile = nullptr;
    LogPath = nullptr;
}
