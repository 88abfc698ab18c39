// The three code-length lists at the head of every block: the code-length code, the
// character/length code sent through it, and the position code.
//
// A list starts with its symbol count. A count of 0 announces a code of one symbol,
// whose value follows in a field of the same width: every lookup then yields it and
// takes no bits, which the table gets by holding the value in every slot and the
// lengths by being all 0.
#include "decode/decoder.h"

#include "decode/bit_input.h"
#include "decode/huffman.h"
#include "startup/run_state.h"

// Fills `table` for a single-symbol code. A value outside the alphabet is no code of
// it: lookups would start from tree nodes this block never built.
static void SetSingleSymbol(WORD count, BYTE *lengths, WORD *table, int table_size, WORD value) {
    if (value >= count) {
        ReportBadTable();
    }
    for (int i = 0; i < count; ++i) {
        lengths[i] = 0;
    }
    for (int i = 0; i < table_size; ++i) {
        table[i] = value;
    }
}

void ReadAuxLengths(WORD count, int count_bits, int special_index) {
    RunState *s = State;
    int n = GetBits(count_bits);
    if (n == 0) {
        SetSingleSymbol(count, s->AuxLengths, s->AuxTable, 256, GetBits(count_bits));
        return;
    }
    // At most 31 lengths and 3 zeros: `AuxLengths` (128) holds them all, and those
    // past `count` are ignored.
    int i = 0;
    while (i < n) {
        int v = GetBits(3);
        if (v == 7) {
            // 7 and up: 111, then one 1 bit per step above 7, then a 0 bit.
            // After sixteen 1 bits the next bit ends the length whatever it is.
            while (v < 23 && GetBits(1) != 0) {
                ++v;
            }
            if (v == 23) {
                FillBits(1);
            }
        }
        s->AuxLengths[i++] = static_cast<BYTE>(v);
        if (i == special_index) {
            for (int z = GetBits(2); z > 0; --z) {
                s->AuxLengths[i++] = 0;
            }
        }
    }
    for (; i < count; ++i) {
        s->AuxLengths[i] = 0;
    }
    MakeTable(count, s->AuxLengths, 8, s->AuxTable);
}

// Sets the character/length entries [from, from + run) to 0. A damaged stream can
// announce 511 entries, and a zero run can reach 531 past any start; entries past the
// alphabet's 510 are dropped.
static void ZeroCharLengths(int from, int run) {
    for (int i = from; i < from + run && i < kCharSymbols; ++i) {
        State->CharLengths[i] = 0;
    }
}

void ReadCharLengths() {
    RunState *s = State;
    int n = GetBits(9);
    if (n == 0) {
        SetSingleSymbol(kCharSymbols, s->CharLengths, s->CharTable, 4096, GetBits(9));
        return;
    }
    int i = 0;
    while (i < n) {
        int symbol = LookupSymbol(s->AuxTable, 8, 19, s->AuxLengths);
        int run;
        if (symbol == 0) {
            run = 1;
        } else if (symbol == 1) {
            run = GetBits(4) + 3;
        } else if (symbol == 2) {
            run = GetBits(9) + 20;
        } else {
            if (i < kCharSymbols) {
                s->CharLengths[i] = static_cast<BYTE>(symbol - 2);
            }
            ++i;
            continue;
        }
        ZeroCharLengths(i, run);
        i += run;
    }
    ZeroCharLengths(i, kCharSymbols - i);
    MakeTable(kCharSymbols, s->CharLengths, 12, s->CharTable);
}
