// Packed input of the current member: a byte reader that refills `InputBuffer` in
// reads of at most 16384 bytes and never past the member's packed data, and a bit
// reader that serves the decoder most significant bit first, with zero bits once
// the packed data is used up.
#pragma once

#include <windows.h>

// The next packed byte (0 to 255), or -1 when reading the archive failed. `wanted`
// counts the member's unread packed bytes, the one asked for included; an empty
// buffer (`InputIndex` 16384 or more) is refilled with at most that many.
int ReadInputByte(HFILE archive, DWORD wanted);

// Discards the top `n` bits of `BitBuffer` and shifts in `n` new ones; `n` is 0 or
// more, at most 17 in a valid stream. A read error is reported and ends the run.
void FillBits(int n);

// The top `n` bits (1 to 16) of `BitBuffer`, then consumes them.
WORD GetBits(int n);
