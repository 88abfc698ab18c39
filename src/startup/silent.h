// Silent runs (the "-s" switch): no window is shown and no box, every failure ends
// the run with its own exit status, and a log file ("-l") records each file written
// or kept, the failure, and the exit status.
#pragma once

#include <windows.h>

#include "archive/errors.h"

// 1 when the command line asked for a silent run.
extern DWORD Silent;
// The kind of the run's failure (its silent exit status), 0 while there is none.
extern DWORD FailureStatus;
// The log file of a silent run, or null.
extern HANDLE LogFile;

// Writes the line "keyword text" to the log, separators as "\".
void LogLine(const char *keyword, const char *text);

// Makes `kind` the run's failure and writes the line "error text" to the log, where
// the text is what the failure's box shows: "\"object\" message", formatted in
// `ScratchText`, or the message alone when `object` is null. Returns the text.
const char *RecordFailure(FailureKind kind, const char *object);

// The exit status of a run that would end with `status` when not silent; a silent
// run ends with its failure's kind instead, 0 when it met none, and writes the line
// "exit N" to the log.
int EndStatus(int status);
