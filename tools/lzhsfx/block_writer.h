// One block of the packed format: its statistics, its three codes, its exact size in
// bits, and its bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bit_writer.h"
#include "lzh_format.h"

namespace lzhsfx {

struct BlockStats {
    uint32_t char_freq[kCharSymbols] = {};
    uint32_t position_freq[kMaxPositionSymbols] = {};

    void Add(Symbol s) {
        ++char_freq[CharSymbolOf(s)];
        if (s.length != 0) {
            ++position_freq[PositionSymbol(s.value)];
        }
    }
    void Add(const Symbol *symbols, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            Add(symbols[i]);
        }
    }
};

// The character/length and position codes of one block. A code whose block uses a
// single symbol has all lengths 0: that symbol then costs no bits.
struct BlockCode {
    uint8_t char_lengths[kCharSymbols];
    uint8_t position_lengths[kMaxPositionSymbols];
    int position_symbols;
};

BlockCode MakeBlockCode(const BlockStats &stats, const MethodParams &params);

// The exact size of the block in bits: symbol count, the three code headers, the
// symbols and their extra bits.
uint64_t BlockBits(const BlockStats &stats, const BlockCode &code, const MethodParams &params);

// Writes `count` symbols (1 to kMaxBlockSymbols) as one block with `code`, which must
// have been made from these symbols' statistics.
void WriteBlock(BitWriter &out, const Symbol *symbols, size_t count, const BlockStats &stats,
                const BlockCode &code, const MethodParams &params);

} // namespace lzhsfx
