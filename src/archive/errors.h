// The archive pass's error reporters. Each shows its error box, sets `Failed` and
// returns failure (0), so that a caller can write `return ReportReadError();`.
#pragma once

#include <windows.h>

// Shows the error box over `object`, sets `Failed` and returns 0.
BOOL ReportError(const char *message, const char *object);

BOOL ReportOpenError(const char *object);
BOOL ReportReadError();
BOOL ReportDataMissing();
BOOL ReportInvalidHeader();
