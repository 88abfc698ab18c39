// Block headers. The character/length lengths are sent through the code-length code:
// a length k as symbol k + 2, and runs of zero lengths as symbol 0 (one zero),
// symbol 1 with 4 bits (3 to 18 zeros) or symbol 2 with 9 bits (20 to 531 zeros).
// The code-length code's own lengths and the position code's lengths are sent as
// 3-bit numbers, 7 and above as 111 followed by (length - 7) one bits and a zero.
// A code with one used symbol is sent as a zero count and that symbol.
#include "block_writer.h"

#include <cassert>

#include "huffman_encoder.h"

namespace lzhsfx {
namespace {

// The sequence of code-length-code symbols that sends the character/length lengths,
// with the extra bits of the run symbols.
struct LengthRuns {
    uint8_t symbol[kCharSymbols];
    uint16_t extra[kCharSymbols];
    int count = 0;
    uint32_t freq[kCodeLengthSymbols] = {};

    void Push(int s, int extra_value) {
        symbol[count] = static_cast<uint8_t>(s);
        extra[count++] = static_cast<uint16_t>(extra_value);
        ++freq[s];
    }
};

constexpr int kRunExtraBits[3] = {0, 4, kCharCountBits};

int UsedCount(const uint8_t *lengths, int count) {
    while (count > 0 && lengths[count - 1] == 0) {
        --count;
    }
    return count;
}

int SingleSymbol(const uint32_t *freq, int count) {
    int used = -1;
    for (int s = 0; s < count; ++s) {
        if (freq[s] != 0) {
            if (used >= 0) {
                return -1;
            }
            used = s;
        }
    }
    return used < 0 ? 0 : used;
}

void MakeRuns(const uint8_t *lengths, int n, LengthRuns &runs) {
    for (int i = 0; i < n;) {
        if (lengths[i] != 0) {
            runs.Push(lengths[i] + 2, 0);
            ++i;
            continue;
        }
        int run = 1;
        while (i + run < n && lengths[i + run] == 0) {
            ++run;
        }
        i += run;
        if (run <= 2) {
            for (int k = 0; k < run; ++k) {
                runs.Push(0, 0);
            }
        } else if (run <= 18) {
            runs.Push(1, run - 3);
        } else if (run == 19) {
            runs.Push(0, 0);
            runs.Push(1, 15);
        } else {
            runs.Push(2, run - 20);
        }
    }
}

int SmallLengthBits(int length) {
    return length < 7 ? 3 : length - 3;
}

void PutSmallLength(BitWriter &out, int length) {
    if (length < 7) {
        out.Put(static_cast<uint32_t>(length), 3);
    } else {
        // 111, then length - 7 ones, then a zero.
        out.Put((1u << (length - 3)) - 2, length - 3);
    }
}

// Bits of a length list sent as small lengths, with the zero count after the
// `special`th length (0 for none).
int SmallLengthsBits(const uint8_t *lengths, int n, int special) {
    int bits = 0;
    for (int i = 0; i < n; ++i) {
        bits += SmallLengthBits(lengths[i]);
        if (i + 1 == special) {
            bits += 2;
            int zeros = 0;
            while (zeros < 3 && i + 1 + zeros < n && lengths[i + 1 + zeros] == 0) {
                ++zeros;
            }
            i += zeros;
        }
    }
    return bits;
}

void PutSmallLengths(BitWriter &out, const uint8_t *lengths, int n, int special) {
    for (int i = 0; i < n; ++i) {
        PutSmallLength(out, lengths[i]);
        if (i + 1 == special) {
            int zeros = 0;
            while (zeros < 3 && i + 1 + zeros < n && lengths[i + 1 + zeros] == 0) {
                ++zeros;
            }
            out.Put(static_cast<uint32_t>(zeros), 2);
            i += zeros;
        }
    }
}

// The code-length code of a block: the runs and their code.
struct LengthCode {
    LengthRuns runs;
    uint8_t lengths[kCodeLengthSymbols];
    int single; // the only symbol used, or -1
};

void MakeLengthCode(const uint8_t *char_lengths, LengthCode &lc) {
    MakeRuns(char_lengths, UsedCount(char_lengths, kCharSymbols), lc.runs);
    lc.single = SingleSymbol(lc.runs.freq, kCodeLengthSymbols);
    if (lc.single >= 0) {
        for (uint8_t &len : lc.lengths) {
            len = 0;
        }
    } else {
        BuildCodeLengths(lc.runs.freq, kCodeLengthSymbols, kMaxCodeLength, lc.lengths);
    }
}

bool IsSingle(const uint8_t *lengths, int count) {
    return UsedCount(lengths, count) == 0;
}

// Bits of the three code headers.
uint64_t HeaderBits(const BlockCode &code, const MethodParams &params) {
    const int pbits = params.position_count_bits;
    uint64_t bits = 16;
    if (IsSingle(code.char_lengths, kCharSymbols)) {
        bits += 2 * kCodeLengthCountBits + 2 * kCharCountBits;
    } else {
        LengthCode lc;
        MakeLengthCode(code.char_lengths, lc);
        if (lc.single >= 0) {
            bits += 2 * kCodeLengthCountBits;
        } else {
            const int n = UsedCount(lc.lengths, kCodeLengthSymbols);
            bits += kCodeLengthCountBits + SmallLengthsBits(lc.lengths, n, kCodeLengthSpecialIndex);
        }
        bits += kCharCountBits;
        for (int i = 0; i < lc.runs.count; ++i) {
            const int s = lc.runs.symbol[i];
            bits += lc.lengths[s] + (s < 3 ? kRunExtraBits[s] : 0);
        }
    }
    const int np = UsedCount(code.position_lengths, code.position_symbols);
    if (np == 0) {
        bits += 2 * pbits;
    } else {
        bits += pbits + SmallLengthsBits(code.position_lengths, np, 0);
    }
    return bits;
}

} // namespace

BlockCode MakeBlockCode(const BlockStats &stats, const MethodParams &params) {
    BlockCode code;
    code.position_symbols = params.position_symbols;
    if (SingleSymbol(stats.char_freq, kCharSymbols) >= 0) {
        for (uint8_t &len : code.char_lengths) {
            len = 0;
        }
    } else {
        BuildCodeLengths(stats.char_freq, kCharSymbols, kMaxCodeLength, code.char_lengths);
    }
    for (uint8_t &len : code.position_lengths) {
        len = 0;
    }
    if (SingleSymbol(stats.position_freq, params.position_symbols) < 0) {
        BuildCodeLengths(stats.position_freq, params.position_symbols, kMaxCodeLength,
                         code.position_lengths);
    }
    return code;
}

uint64_t BlockBits(const BlockStats &stats, const BlockCode &code, const MethodParams &params) {
    uint64_t bits = HeaderBits(code, params);
    for (int s = 0; s < kCharSymbols; ++s) {
        bits += uint64_t{stats.char_freq[s]} * code.char_lengths[s];
    }
    for (int j = 0; j < code.position_symbols; ++j) {
        bits += uint64_t{stats.position_freq[j]} * (code.position_lengths[j] + (j > 1 ? j - 1 : 0));
    }
    return bits;
}

void WriteBlock(BitWriter &out, const Symbol *symbols, size_t count, const BlockStats &stats,
                const BlockCode &code, const MethodParams &params) {
    assert(count >= 1 && count <= kMaxBlockSymbols);
    const int pbits = params.position_count_bits;
    out.Put(static_cast<uint32_t>(count), 16);

    uint16_t char_codes[kCharSymbols];
    if (IsSingle(code.char_lengths, kCharSymbols)) {
        // The code-length code is still read; its only symbol is never used.
        out.Put(0, kCodeLengthCountBits);
        out.Put(0, kCodeLengthCountBits);
        out.Put(0, kCharCountBits);
        out.Put(static_cast<uint32_t>(SingleSymbol(stats.char_freq, kCharSymbols)), kCharCountBits);
    } else {
        LengthCode lc;
        MakeLengthCode(code.char_lengths, lc);
        if (lc.single >= 0) {
            out.Put(0, kCodeLengthCountBits);
            out.Put(static_cast<uint32_t>(lc.single), kCodeLengthCountBits);
        } else {
            const int n = UsedCount(lc.lengths, kCodeLengthSymbols);
            out.Put(static_cast<uint32_t>(n), kCodeLengthCountBits);
            PutSmallLengths(out, lc.lengths, n, kCodeLengthSpecialIndex);
        }
        uint16_t length_codes[kCodeLengthSymbols];
        BuildCanonicalCodes(lc.lengths, kCodeLengthSymbols, length_codes);
        out.Put(static_cast<uint32_t>(UsedCount(code.char_lengths, kCharSymbols)), kCharCountBits);
        for (int i = 0; i < lc.runs.count; ++i) {
            const int s = lc.runs.symbol[i];
            out.Put(length_codes[s], lc.lengths[s]);
            if (s < 3) {
                out.Put(lc.runs.extra[i], kRunExtraBits[s]);
            }
        }
    }
    BuildCanonicalCodes(code.char_lengths, kCharSymbols, char_codes);

    const int np = UsedCount(code.position_lengths, code.position_symbols);
    if (np == 0) {
        out.Put(0, pbits);
        out.Put(static_cast<uint32_t>(SingleSymbol(stats.position_freq, code.position_symbols)),
                pbits);
    } else {
        out.Put(static_cast<uint32_t>(np), pbits);
        PutSmallLengths(out, code.position_lengths, np, 0);
    }
    uint16_t position_codes[kMaxPositionSymbols];
    BuildCanonicalCodes(code.position_lengths, code.position_symbols, position_codes);

    for (size_t i = 0; i < count; ++i) {
        const Symbol s = symbols[i];
        const int c = CharSymbolOf(s);
        out.Put(char_codes[c], code.char_lengths[c]);
        if (s.length != 0) {
            const int j = PositionSymbol(s.value);
            out.Put(position_codes[j], code.position_lengths[j]);
            if (j > 1) {
                out.Put(s.value - (1u << (j - 1)), j - 1);
            }
        }
    }
}

} // namespace lzhsfx
