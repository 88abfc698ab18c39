// Canonical Huffman codes from lists of code lengths: a direct lookup table of the
// next 8 or 12 bits, with an overflow tree in `TreeLeft` / `TreeRight` for longer
// codes.
#pragma once

#include <windows.h>

#include "decode/bit_input.h"

// A table entry: a symbol or node number in its low bits; a symbol's entry also
// carries the symbol's code length (0 to 16) from bit 11 up.
enum { kEntrySymbolMask = 0x7FF, kEntryLengthShift = 11 };

// Builds `table` (2^table_bits entries) and tree nodes, numbered from `count` up,
// from `count` code lengths. A list of zeros keeps the symbols and nodes and sets
// every entry's length to 0. A list that is not a complete prefix code, or that holds
// a length above 16, ends the run with "Bad table".
void MakeTable(WORD count, const BYTE *lengths, int table_bits, WORD *table);

// The symbol (below `count`) whose code starts the 16 bits `bits`, without consuming
// them; "Bad table" when the structures hold no code there.
WORD FindSymbol(const WORD *table, int table_bits, DWORD count, DWORD bits);

// Decodes one symbol (below `count`) at `w` and consumes its code: a table entry of a
// symbol gives its length, only codes longer than the table walk the tree. A lookup
// that finds no symbol of the code, as through structures left by an earlier build,
// ends the run with "Bad table".
inline DWORD DecodeSymbol(WideBits &w, const WORD *table, int table_bits, DWORD count,
                          const BYTE *lengths) {
    DWORD entry = table[TopBits(w, table_bits)];
    DWORD symbol = entry & kEntrySymbolMask;
    int length = static_cast<int>(entry >> kEntryLengthShift);
    if (symbol >= count) {
        symbol = FindSymbol(table, table_bits, count, TopBits(w, 16));
        length = lengths[symbol];
    }
    SkipBits(w, length);
    return symbol;
}

// `DecodeSymbol` at `InputBits`.
WORD LookupSymbol(const WORD *table, int table_bits, WORD count, const BYTE *lengths);

// Shows "Bad table" over `OwnPath` and ends the run through `AbortRun`.
[[noreturn]] void ReportBadTable();
