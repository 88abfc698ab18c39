// The walk over the appended archive, in its two modes: the scan pass at start-up
// and the extract pass behind the install dialog's OK.
#pragma once

#include <windows.h>

enum PassMode { kExtractMode = 0, kScanMode = 1 };

// Walks the archive from its first member to its end; returns 1 when the pass
// succeeded (`Failed` still clear), 0 after a reported failure.
BOOL ArchivePass(HWND dialog, PassMode mode);

// Seeks over the current member's packed data; reports and returns 0 when the data
// lies beyond the end of the file.
BOOL SkipMemberData();
