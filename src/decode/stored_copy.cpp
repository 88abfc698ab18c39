// The copy of -lh0- members: the packed data is the data, moved through
// `DecodeWindow` in 64 KiB chunks straight from the archive file.
#include "decode/decoder.h"

#include "archive/errors.h"
#include "startup/run_state.h"

void CopyStored(LONG size) {
    RunState *s = State;
    s->RunningCrc = 0;
    // A size of 2 GiB or more reads as negative and copies nothing.
    LONG remaining = size;
    while (remaining > 0) {
        LONG chunk = remaining < kWindowBytes ? remaining : LONG{kWindowBytes};
        UINT got = _lread(s->ArchiveFile, s->DecodeWindow, static_cast<UINT>(chunk));
        if (got != static_cast<UINT>(chunk)) {
            ReportReadError();
            AbortRun();
        }
        FlushWindow(static_cast<DWORD>(chunk));
        if (s->OutputFile != INVALID_HANDLE_VALUE) {
            // The share before this chunk: a file of one chunk shows 0 percent.
            ReportProgress(static_cast<DWORD>(size - remaining), static_cast<DWORD>(size));
        }
        remaining -= chunk;
    }
}
