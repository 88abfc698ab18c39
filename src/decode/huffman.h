// Canonical Huffman codes from lists of code lengths: a direct lookup table of the
// next 8 or 12 bits, with an overflow tree in `TreeLeft` / `TreeRight` for longer
// codes.
#pragma once

#include <windows.h>

// Builds `table` (2^table_bits entries) and tree nodes, numbered from `count` up,
// from `count` code lengths. A list that is not a complete prefix code, or that holds
// a length above 16, ends the run with "Bad table"; a list of zeros changes nothing.
void MakeTable(WORD count, const BYTE *lengths, int table_bits, WORD *table);

// Decodes one symbol (below `count`) at the bit input and consumes its code. A lookup
// that finds no symbol of the code, as through structures left by an earlier build,
// ends the run with "Bad table".
WORD LookupSymbol(const WORD *table, int table_bits, WORD count, const BYTE *lengths);

// Shows "Bad table" over `OwnPath` and ends the run through `AbortRun`.
[[noreturn]] void ReportBadTable();
