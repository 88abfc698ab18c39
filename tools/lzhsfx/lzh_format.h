// Constants of the packed format of the -lh5- family, shared by the encoder's parts.
//
// A block is a 16-bit symbol count, three canonical Huffman codes given as code
// lengths (the code-length code, the character/length code, the position code) and
// the symbols. A character/length symbol below 256 is a literal byte; a symbol c of
// 256 to 509 is a match of c - 253 bytes and is followed by a position symbol j and,
// for j of 2 or more, j - 1 extra bits: the distance code is j for j < 2, else
// 2^(j-1) + extra, and the copy starts distance code + 1 bytes back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzhsfx {

enum class Method { kLh5, kLh6, kLh7 };

constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
constexpr int kLiterals = 256;
constexpr int kCharSymbols = kLiterals + kMaxMatch - kMinMatch + 1; // 510
constexpr int kCodeLengthSymbols = 19;
constexpr int kMaxPositionSymbols = 17;
constexpr int kMaxCodeLength = 16;
// The count field is 16 bits; a decoder may read 0 as 65536, so 0 is never written.
constexpr int kMaxBlockSymbols = 65535;

constexpr int kCharCountBits = 9;
constexpr int kCodeLengthCountBits = 5;
// After this many code-length-code lengths, a 2-bit count of zero lengths follows.
constexpr int kCodeLengthSpecialIndex = 3;

struct MethodParams {
    char id;                 // the method character of "-lhX-"
    int dictionary_bits;     // the farthest copy is 2^dictionary_bits bytes back
    int position_symbols;    // symbols a distance code of this dictionary can use
    int position_count_bits; // width of the position code's count field
};

constexpr MethodParams ParamsOf(Method method) {
    switch (method) {
    case Method::kLh5:
        return {'5', 13, 14, 4};
    case Method::kLh6:
        return {'6', 15, 16, 5};
    case Method::kLh7:
        break;
    }
    return {'7', 16, 17, 5};
}

// Bytes back the farthest copy of `method` may reach.
constexpr size_t DictionarySize(Method method) {
    return size_t{1} << ParamsOf(method).dictionary_bits;
}

// The position symbol of a distance code: its bit length.
inline int PositionSymbol(unsigned distance_code) {
    return distance_code == 0 ? 0 : 32 - __builtin_clz(distance_code);
}

// One parsed item: a literal (length 0) or a match of `length` bytes copied from
// `distance_code` + 1 bytes back.
struct Symbol {
    uint16_t length;
    uint16_t value; // the literal byte or the distance code
};

inline int CharSymbolOf(Symbol s) {
    return s.length == 0 ? s.value : s.length + (kLiterals - kMinMatch);
}

} // namespace lzhsfx
