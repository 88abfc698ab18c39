// CRC-16/ARC (reflected polynomial 0xA001, start 0, no final inversion), which
// guards member headers and member data.
#pragma once

#include <windows.h>

// Fills `CrcTable` for the reflected `polynomial`.
void BuildCrcTable(WORD polynomial);

// Folds `count` bytes into `RunningCrc` and returns it; a count of 0 or less
// changes nothing.
WORD UpdateCrc(const BYTE *bytes, LONG count);
