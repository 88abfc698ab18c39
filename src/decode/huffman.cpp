// Canonical Huffman decoding structures.
//
// A code is given as one length per symbol (0: no code, 1 to 16 bits). Codes are
// handed out in order of length, then of symbol, each left-aligned in 16 bits. Codes
// of at most `table_bits` bits fill every table slot that starts with them; a longer
// code goes through the slot of its first `table_bits` bits into a binary tree of
// `TreeLeft` / `TreeRight` nodes, one level per further bit. Table entries and tree
// links below the symbol count are symbols; others are node numbers, which each build
// hands out upward from its own symbol count.
//
// A table entry that is a symbol also carries the symbol's code length above
// `kEntryLengthShift`, so that the symbol loop gets both in one access. Entries of
// a structure left in force by an all-zero list carry length 0, as every length of
// that list is; the tree links hold bare symbols and node numbers.
#include "decode/huffman.h"

#include "startup/run_state.h"
#include "ui/messages.h"

void ReportBadTable() {
    ErrorBox(kTableFailure, State->OwnPath);
    AbortRun();
}

void MakeTable(WORD count, const BYTE *lengths, int table_bits, WORD *table) {
    RunState *s = State;
    DWORD symbols_of[17]; // symbols per length ([0]: without code)
    DWORD start[18];      // first code of each length, [1..17]; then the next free one

    for (int len = 0; len <= 16; ++len) {
        symbols_of[len] = 0;
    }
    for (int i = 0; i < count; ++i) {
        // A damaged length escape can give up to 23; such a list is no code.
        if (lengths[i] > 16) {
            ReportBadTable();
        }
        ++symbols_of[lengths[i]];
    }

    // Exact sums: a list whose total is a multiple of 2^16 above it must not pass.
    start[1] = 0;
    for (int len = 1; len <= 16; ++len) {
        start[len + 1] = start[len] + (symbols_of[len] << (16 - len));
    }
    if (start[17] == 0) {
        // No symbol has a code: the structures keep their symbols and nodes, with the
        // lengths of this list.
        for (int i = 0; i < (1 << table_bits); ++i) {
            table[i] &= kEntrySymbolMask;
        }
        return;
    }
    if (start[17] != 0x10000) {
        ReportBadTable(); // incomplete or oversubscribed
    }

    // Codes stay left-aligned in 16 bits; one of at most `table_bits` bits fills the
    // slots from its top bits on, up to the next code of its length.
    int shift = 16 - table_bits;

    // The slots past the short codes will root trees; 0 marks "no node here yet".
    DWORD slots = 1u << table_bits;
    for (DWORD i = start[table_bits + 1] >> shift; i < slots; ++i) {
        table[i] = 0;
    }

    WORD avail = count;
    DWORD first_mask = 1u << (15 - table_bits);
    for (int symbol = 0; symbol < count; ++symbol) {
        int len = lengths[symbol];
        if (len == 0) {
            continue;
        }
        DWORD code = start[len];
        DWORD next = code + (0x10000u >> len);
        if (len <= table_bits) {
            for (DWORD i = code >> shift; i < next >> shift; ++i) {
                table[i] = static_cast<WORD>(symbol | (len << kEntryLengthShift));
            }
        } else {
            // Walk from the slot down the code's bits past the table index, adding the
            // nodes not yet there. A complete code of n symbols adds fewer than n nodes,
            // so node numbers stay below 2n - 1, inside the tree arrays.
            WORD *place = &table[code >> shift];
            DWORD mask = first_mask;
            for (int level = table_bits; level < len; ++level) {
                if (*place == 0) {
                    s->TreeLeft[avail] = 0;
                    s->TreeRight[avail] = 0;
                    *place = avail++;
                }
                place = (code & mask) ? &s->TreeRight[*place] : &s->TreeLeft[*place];
                code <<= 1;
            }
            *place = static_cast<WORD>(symbol);
        }
        start[len] = next;
    }
}

WORD FindSymbol(const WORD *table, int table_bits, DWORD count, DWORD bits) {
    RunState *s = State;
    DWORD symbol = table[bits >> (16 - table_bits)] & kEntrySymbolMask;
    // The code's bits past the table index pick the branches. Structures left by an
    // earlier build, or by another code, may hold anything: a walk that has used up
    // all 16 bits, or that meets a node number outside the tree, found no code.
    DWORD mask = 1u << (15 - table_bits);
    while (symbol >= count) {
        if (mask == 0 || symbol >= kTreeNodes) {
            ReportBadTable();
        }
        symbol = (bits & mask) ? s->TreeRight[symbol] : s->TreeLeft[symbol];
        mask >>= 1;
    }
    return static_cast<WORD>(symbol);
}

WORD LookupSymbol(const WORD *table, int table_bits, WORD count, const BYTE *lengths) {
    return static_cast<WORD>(DecodeSymbol(InputBits, table, table_bits, count, lengths));
}
