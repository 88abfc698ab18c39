#include "bit_writer.h"

#include "archive_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

void BitWriter::Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
        if (bit_count_ % 8 == 0) {
            bytes_.push_back(0);
        }
        if ((value >> i) & 1) {
            bytes_.back() = static_cast<char>(bytes_.back() | (0x80 >> (bit_count_ % 8)));
        }
        ++bit_count_;
    }
}

std::string BitWriter::Bytes() const {
    return bytes_;
}

std::vector<CodeWord> CanonicalCodes(const std::vector<int> &lengths) {
    int max = 0;
    for (int len : lengths) {
        max = std::max(max, len);
    }
    std::vector<uint64_t> count(max + 1, 0), next(max + 2, 0);
    for (int len : lengths) {
        ++count[len];
    }
    count[0] = 0;
    uint64_t code = 0;
    for (int len = 1; len <= max; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<CodeWord> out;
    for (int len : lengths) {
        out.push_back(CodeWord{len == 0 ? 0u : static_cast<uint32_t>(next[len]++), len});
    }
    return out;
}

BlockCode Single(int symbol) {
    BlockCode c;
    c.single = symbol;
    return c;
}

BlockCode Lengths(std::vector<int> lengths) {
    BlockCode c;
    c.lengths = std::move(lengths);
    return c;
}

void UsedSymbols(const std::vector<Token> &tokens, std::vector<int> &chars,
                 std::vector<int> &positions) {
    for (const Token &t : tokens) {
        chars.push_back(t.symbol);
        if (t.distance >= 0) {
            int bits = 0;
            while ((t.distance >> bits) != 0) {
                ++bits;
            }
            positions.push_back(bits);
        }
    }
}

std::vector<int> AllSymbols(int count) {
    std::vector<int> all(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        all[static_cast<size_t>(i)] = i;
    }
    return all;
}

BlockCode RandomCode(std::mt19937 &rng, std::vector<int> used, int count) {
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    if (used.size() == 1) {
        return Single(used[0]);
    }
    // Splitting a random leaf keeps the code complete.
    std::vector<int> leaves = {0};
    while (leaves.size() < used.size()) {
        size_t pick = rng() % leaves.size();
        if (leaves[pick] < 16) {
            leaves.push_back(++leaves[pick]);
        }
    }
    std::shuffle(leaves.begin(), leaves.end(), rng);
    std::vector<int> lengths(static_cast<size_t>(count), 0);
    for (size_t i = 0; i < used.size(); ++i) {
        lengths[static_cast<size_t>(used[i])] = leaves[i];
    }
    return Lengths(lengths);
}

static int CountOf(const BlockCode &code) {
    if (code.count >= 0) {
        return code.count;
    }
    int n = static_cast<int>(code.lengths.size());
    while (n > 0 && code.lengths[n - 1] == 0) {
        --n;
    }
    return n;
}

static int LengthAt(const BlockCode &code, int i) {
    return i < static_cast<int>(code.lengths.size()) ? code.lengths[i] : 0;
}

BlockWriter::BlockWriter(int position_symbols)
    : position_symbols_(position_symbols), position_bits_(position_symbols > 14 ? 5 : 4) {}

void BlockWriter::PutWord(const std::vector<CodeWord> &codes, int single, int symbol) {
    if (single >= 0) {
        EXPECT_EQ(symbol, single) << "a one-symbol code sends no other symbol";
        return;
    }
    if (symbol < 0 || symbol >= static_cast<int>(codes.size()) || codes[symbol].length == 0) {
        ADD_FAILURE() << "symbol " << symbol << " has no code";
        return;
    }
    bits.Put(codes[symbol].bits, codes[symbol].length);
}

// The lengths of the code-length and position codes: 3 bits each, 7 and above as 111
// followed by one 1 per step above 7 and a 0.
void BlockWriter::PutAuxCode(const BlockCode &code, int count_bits, int special_index) {
    if (code.single >= 0) {
        bits.Put(0, count_bits);
        bits.Put(code.single, count_bits);
        return;
    }
    int n = CountOf(code);
    bits.Put(n, count_bits);
    for (int i = 0; i < n;) {
        int v = LengthAt(code, i++);
        if (v < 7) {
            bits.Put(v, 3);
        } else {
            bits.Put(7, 3);
            for (int k = 7; k < v; ++k) {
                bits.Put(1, 1);
            }
            bits.Put(0, 1);
        }
        if (i == special_index) {
            int z = 0;
            while (z < 3 && i + z < n && LengthAt(code, i + z) == 0) {
                ++z;
            }
            bits.Put(z, 2);
            i += z;
        }
    }
}

void BlockWriter::PutCharCode(const BlockCode &code) {
    if (code.single >= 0) {
        bits.Put(0, 9);
        bits.Put(code.single, 9);
        return;
    }
    int n = CountOf(code);
    bits.Put(n, 9);
    if (!code.entries.empty()) {
        for (const LengthEntry &e : code.entries) {
            PutWord(length_codes_, length_single_, e.symbol);
            if (e.symbol == 1) {
                bits.Put(e.extra, 4);
            } else if (e.symbol == 2) {
                bits.Put(e.extra, 9);
            }
        }
        return;
    }
    auto has = [&](int symbol) {
        return length_single_ >= 0 ? symbol == length_single_
                                   : symbol < static_cast<int>(length_codes_.size()) &&
                                         length_codes_[symbol].length != 0;
    };
    for (int i = 0; i < n;) {
        int len = LengthAt(code, i);
        if (len != 0) {
            PutWord(length_codes_, length_single_, len + 2);
            ++i;
            continue;
        }
        int run = 0;
        while (i + run < n && LengthAt(code, i + run) == 0) {
            ++run;
        }
        if (run >= 20 && has(2)) {
            int take = std::min(run, 531);
            PutWord(length_codes_, length_single_, 2);
            bits.Put(take - 20, 9);
            i += take;
        } else if (run >= 3 && has(1)) {
            int take = std::min(run, 18);
            PutWord(length_codes_, length_single_, 1);
            bits.Put(take - 3, 4);
            i += take;
        } else {
            PutWord(length_codes_, length_single_, 0);
            ++i;
        }
    }
}

void BlockWriter::StartBlock(uint32_t symbols, const BlockCode &length_code,
                             const BlockCode &char_code, const BlockCode &position_code) {
    bits.Put(symbols & 0xFFFF, 16);
    length_single_ = length_code.single;
    length_codes_ = CanonicalCodes(length_code.lengths);
    PutAuxCode(length_code, 5, 3);
    PutCharCode(char_code);
    char_single_ = char_code.single;
    char_codes_ = CanonicalCodes(char_code.lengths);
    PutAuxCode(position_code, position_bits_, -1);
    position_single_ = position_code.single;
    position_codes_ = CanonicalCodes(position_code.lengths);
}

void BlockWriter::Symbol(int symbol) {
    PutWord(char_codes_, char_single_, symbol);
}

void BlockWriter::Literal(int byte) {
    Symbol(byte);
}

void BlockWriter::Match(int length, int distance) {
    Symbol(length + 253);
    int j = 0;
    while ((distance >> j) != 0) {
        ++j; // bit width: 0 for 0, 1 for 1, else 2^(j-1) <= distance < 2^j
    }
    EXPECT_LT(j, position_symbols_) << "distance " << distance;
    PutWord(position_codes_, position_single_, j);
    if (j >= 2) {
        bits.Put(distance - (1 << (j - 1)), j - 1);
    }
}

void BlockWriter::Tokens(const std::vector<Token> &tokens) {
    for (const Token &t : tokens) {
        if (t.distance < 0) {
            Literal(t.symbol);
        } else {
            Match(t.symbol - 253, t.distance);
        }
    }
}

std::string LiteralStream(const std::string &data, int position_symbols) {
    BlockWriter w(position_symbols);
    std::vector<int> lengths(256, 8);
    for (size_t at = 0; at < data.size(); at += 65536) {
        size_t n = std::min<size_t>(65536, data.size() - at);
        w.StartBlock(static_cast<uint32_t>(n), Single(8 + 2), Lengths(lengths), Single(0));
        for (size_t i = at; i < at + n; ++i) {
            w.Literal(static_cast<unsigned char>(data[i]));
        }
    }
    return w.Bytes();
}

TestMember BadTableMember(const std::string &name) {
    BlockWriter w;
    w.StartBlock(10, Lengths({1, 2}), Single(0), Single(0));
    w.bits.Put(0, 32);
    TestMember m;
    m.method = "-lh5-";
    m.name = name;
    m.packed = w.Bytes();
    m.unpacked_size = 10;
    m.data_crc = 0;
    return m;
}
