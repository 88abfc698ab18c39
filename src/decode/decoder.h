// The static-Huffman LZ decoder of -lh4- to -lh7- members, the stored copy of
// -lh0- members, and the output sink they deliver into.
#pragma once

#include <windows.h>

// Decodes the current member (method, packed and unpacked size from `HeaderBuffer`)
// into the output sink. Errors end the run through `AbortRun`.
void DecodeMember();

// Copies `size` bytes of a stored member from the archive into the output sink.
void CopyStored(LONG size);

void StartDecoder(char method);
WORD DecodeChar();
WORD DecodePosition();
void ReadAuxLengths(WORD count, int count_bits, int special_index);
void ReadCharLengths();

// Writes to `handle` and folds the bytes into `RunningCrc`; with the invalid handle
// fills the notice or directive text chosen by `SpecialMode`.
void DeliverOutput(const BYTE *bytes, DWORD n, HANDLE handle);
void FlushWindow(DWORD n);

// Shows "解凍中 N%" in the dialog, pumps its messages and honours a cancel request.
void ReportProgress(DWORD done, DWORD total);

// No special index for ReadAuxLengths.
enum { kNoSpecialIndex = -1 };
