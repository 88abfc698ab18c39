// The static-Huffman LZ decoder of -lh4- to -lh7- members, the stored copy of
// -lh0- members, and the output sink they deliver into.
//
// Read, write and table errors, and a cancel honoured by the progress step, end the
// run through `AbortRun`; none of these procedures returns after one.
#pragma once

#include <windows.h>

// No special index for ReadAuxLengths.
enum { kNoSpecialIndex = -1 };

// Decodes the current member (method, packed and unpacked size from `HeaderBuffer`)
// into the output sink. The caller has set `OutputFile`, `SpecialMode` and emptied
// the input buffer; `ArchiveFile` stands at the member's packed data.
void DecodeMember();

// Copies `size` bytes of a stored member from the archive into the output sink; a
// size of 0 or less copies nothing.
void CopyStored(LONG size);

// Sets the position code's parameters for the method character, starts the bit
// stream (`PackedLeft` already set) and makes the next symbol start a block.
void StartDecoder(char method);
// Reads the code-length or position code lengths into `AuxLengths` and builds
// `AuxTable`. After the `special_index`th length a 2-bit count of zeros follows.
void ReadAuxLengths(WORD count, int count_bits, int special_index);
// Reads the character/length code lengths into `CharLengths` through the code-length
// code and builds `CharTable`.
void ReadCharLengths();

// Writes to `handle` and folds the bytes into `RunningCrc`; with the invalid handle
// fills the notice or directive text chosen by `SpecialMode`, from its start.
void DeliverOutput(const BYTE *bytes, DWORD n, HANDLE handle);
// Delivers the first `n` bytes of `DecodeWindow` to `OutputFile`.
void FlushWindow(DWORD n);

// Shows "解凍中 N%" in the dialog, pumps its messages and honours a cancel request.
void ReportProgress(DWORD done, DWORD total);
