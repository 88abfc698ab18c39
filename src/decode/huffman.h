// Canonical Huffman codes from lists of code lengths: a direct lookup table of the
// next 8 or 12 bits, with an overflow tree for longer codes.
#pragma once

#include <windows.h>

// Builds `table` (2^table_bits entries) and tree nodes from `count` code lengths. A
// list that is not a complete prefix code ends the run with "Bad table"; a list of
// zeros changes nothing.
void MakeTable(WORD count, const BYTE *lengths, int table_bits, WORD *table);

// Decodes one symbol at the bit input and consumes its code.
WORD LookupSymbol(const WORD *table, int table_bits, WORD count, const BYTE *lengths);
