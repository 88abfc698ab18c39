#include "startup/silent.h"

#include "files/paths.h"
#include "startup/run_state.h"

DWORD Silent;
DWORD FailureStatus;
HANDLE LogFile;

// Room for the longest failure text, the keyword and the line end.
static char LogText[kScratchTextSize + 16];

// Writes the line formatted in `LogText`, `length` bytes.
static void WriteLogText(int length) {
    ReplaceSeparators(LogText, '\\');
    DWORD written;
    WriteFile(LogFile, LogText, static_cast<DWORD>(length), &written, nullptr);
}

void LogLine(const char *keyword, const char *text) {
    if (LogFile != nullptr) {
        WriteLogText(wsprintfA(LogText, "%s %s\r\n", keyword, text));
    }
}

const char *RecordFailure(FailureKind kind, const char *object) {
    const char *text = FailureTexts[kind - kMemoryFailure];
    if (object != nullptr) {
        wsprintfA(State->ScratchText, "\"%s\" %s", object, text);
        text = State->ScratchText;
    }
    FailureStatus = kind;
    LogLine("error", text);
    return text;
}

int EndStatus(int status) {
    if (Silent) {
        status = static_cast<int>(FailureStatus);
        if (LogFile != nullptr) {
            WriteLogText(wsprintfA(LogText, "exit %d\r\n", status));
        }
    }
    return status;
}
