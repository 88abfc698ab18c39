// Where decoded bytes go: the output file, folded into the data CRC, or during the
// scan pass the notice or directive text in memory; and the progress step that
// follows every 64 KiB written.
#include "decode/decoder.h"

#include "decode/crc.h"
#include "startup/run_state.h"
#include "startup/silent.h"
#include "ui/messages.h"

void DeliverOutput(const BYTE *bytes, DWORD n, HANDLE handle) {
    RunState *s = State;
    if (handle != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes, n, &written, nullptr) || written != n) {
            ErrorBox(kWriteFailure, s->DestinationPath);
            AbortRun();
        }
        UpdateCrc(bytes, static_cast<LONG>(n));
        return;
    }
    char *text;
    DWORD limit; // bytes kept before the terminator
    if (s->SpecialMode == 1) {
        text = s->ScratchText;
        limit = kScratchTextSize - 1;
    } else if (s->SpecialMode == 2) {
        text = s->DirectiveText;
        limit = kDirectiveTextSize - 1;
    } else {
        return;
    }
    // Each delivery starts the text afresh; a zero byte ends it early.
    DWORD i = 0;
    for (; i < n && i < limit && bytes[i] != 0; ++i) {
        text[i] = static_cast<char>(bytes[i]);
    }
    text[i] = 0;
}

void FlushWindow(DWORD n) {
    DeliverOutput(State->DecodeWindow, n, State->OutputFile);
}

void ReportProgress(DWORD done, DWORD total) {
    RunState *s = State;
    DWORD percent;
    if (total == 0) {
        percent = 0;
    } else if (total < 100) {
        percent = 100;
    } else {
        percent = done / (total / 100);
    }
    if (percent > 100) {
        percent = 100;
    }
    wsprintfA(s->ScratchText, "解凍中 %lu%%", percent);
    SetDlgItemTextA(s->DialogWindow, 102, s->ScratchText);
    PumpMessages(s->DialogWindow);
    if (s->CancelRequested == 1) {
        RecordFailure(kCancelFailure, nullptr);
        AbortRun();
    }
}
