// Test-side writers of packed data: an MSB-first bit writer, and on top of it a
// writer of -lh5- family block streams built from explicit code lengths and symbols,
// so that a test can craft any stream, damaged ones included.
#pragma once

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

class BitWriter {
  public:
    // Appends the low `bits` bits of `value`, most significant first.
    void Put(uint32_t value, int bits);
    // Everything written so far, the last byte padded with zero bits.
    std::string Bytes() const;
    size_t BitCount() const {
        return bit_count_;
    }

  private:
    std::string bytes_;
    size_t bit_count_ = 0;
};

// A code word, its `length` low bits of `bits`.
struct CodeWord {
    uint32_t bits;
    int length;
};

// Canonical code words as LHA assigns them: by length, then by symbol (length 0: no
// code). Computed the DEFLATE way, independently of the decoder's tables.
std::vector<CodeWord> CanonicalCodes(const std::vector<int> &lengths);

// An entry of the character/length list in terms of the code-length code: a symbol,
// and for the zero runs 1 and 2 the value of their 4 or 9 extra bits.
struct LengthEntry {
    int symbol;
    int extra;
};

// One code of a block header.
struct BlockCode {
    int single = -1;          // 0 or more: the count-0 form naming this one symbol
    std::vector<int> lengths; // otherwise one length per symbol (any value, even > 16)
    int count = -1;           // count field; -1: up to the last non-zero length
    // Character/length code only: entries sent as they stand instead of `lengths`.
    std::vector<LengthEntry> entries;
};

BlockCode Single(int symbol);
BlockCode Lengths(std::vector<int> lengths);
// One step of an LZ stream: a literal or length symbol, and for a match the distance
// code's value (the copy starts that many bytes plus one back), else -1.
struct Token {
    int symbol, distance;
};

// Appends the character/length symbols of `tokens` to `chars` and the position symbols
// of their matches (the bit length of each distance value) to `positions`.
void UsedSymbols(const std::vector<Token> &tokens, std::vector<int> &chars,
                 std::vector<int> &positions);

// The symbols 0 to count - 1.
std::vector<int> AllSymbols(int count);

// A random complete code over exactly the symbols `used` of `count`, no code longer
// than 16 bits; the one-symbol form when only one is used.
BlockCode RandomCode(std::mt19937 &rng, std::vector<int> used, int count);

// Writes blocks of the -lh4- to -lh7- format. Lengths of the character/length code
// go through the block's code-length code, zero runs as symbol 2, 1 or 0, whichever
// the code has and fits.
class BlockWriter {
  public:
    // 14 position symbols for -lh4- and -lh5-, 17 for -lh6- and -lh7-.
    explicit BlockWriter(int position_symbols = 14);

    void StartBlock(uint32_t symbols, const BlockCode &length_code, const BlockCode &char_code,
                    const BlockCode &position_code);
    // Character/length symbols of the current block.
    void Symbol(int symbol);
    void Literal(int byte);
    // `length` 3 to 256 bytes copied from `distance` + 1 bytes back.
    void Match(int length, int distance);
    // Each token as a literal or a match.
    void Tokens(const std::vector<Token> &tokens);

    std::string Bytes() const {
        return bits.Bytes();
    }

    BitWriter bits;

  private:
    void PutAuxCode(const BlockCode &code, int count_bits, int special_index);
    void PutCharCode(const BlockCode &code);
    void PutWord(const std::vector<CodeWord> &codes, int single, int symbol);

    int position_symbols_;
    int position_bits_;
    std::vector<CodeWord> length_codes_, char_codes_, position_codes_;
    int length_single_ = -1, char_single_ = -1, position_single_ = -1;
};

// A stream of literal blocks carrying `data`: every byte a literal of 8 bits (the
// byte itself), 65536 symbols a block (count field 0), one-symbol code-length and
// position codes.
std::string LiteralStream(const std::string &data, int position_symbols = 14);

struct TestMember;
// An -lh5- member of 10 bytes named `name` whose first block has an incomplete
// code-length code, which the decoder rejects as "Bad table".
TestMember BadTableMember(const std::string &name);
