// The failures a run can meet, with the message each shows, and the archive pass's
// error reporters. Each reporter shows its error box, sets `Failed` and returns
// failure (0), so that a caller can write `return ReportReadError();`.
#pragma once

#include <windows.h>

// What went wrong. The value of each kind is the exit status of a silent run that
// meets it; a normal run keeps its own statuses whatever the kind.
enum FailureKind {
    kNoFailure = 0,
    kMemoryFailure = 2,    // the run state or a header buffer cannot be had
    kOwnFileFailure,       // 3: the program's own file cannot be opened
    kReadFailure,          // 4: a read or a seek in the archive fails
    kDataMissingFailure,   // 5: the archive is cut short
    kHeaderFailure,        // 6: a member header is invalid
    kTamperedFailure,      // 7: the archive checksum does not match
    kTableFailure,         // 8: packed data with a Huffman table that is no code
    kCrcFailure,           // 9: a member's data CRC does not match
    kOpenFailure,          // 10: a file cannot be created or replaced
    kWriteFailure,         // 11: a file cannot be written in full
    kCloseFailure,         // 12: a file cannot be closed
    kFolderFailure,        // 13: the folder of a file cannot be created
    kNetworkFolderFailure, // 14: a network folder was given
    kCancelFailure,        // 15: the window was closed while files were written
    kSessionEndFailure,    // 16: the session ended while files were written
    kLogFailure,           // 17: the log file cannot be created
};

// The message of each kind from kMemoryFailure to kSessionEndFailure, as its box
// shows it (the last two show none and only name the failure in the log).
extern const char *const FailureTexts[];

// Shows the error box of `kind` over `object`, sets `Failed` and returns 0.
BOOL ReportError(FailureKind kind, const char *object);

// An output file that cannot be created or replaced.
BOOL ReportOpenError(const char *object);
BOOL ReportReadError();
BOOL ReportDataMissing();
BOOL ReportInvalidHeader();
