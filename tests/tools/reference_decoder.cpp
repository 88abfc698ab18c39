// Canonical codes are decoded one bit at a time: among the codes of one length, the
// codes are consecutive numbers, handed out in symbol order after all shorter ones.
#include "reference_decoder.h"

#include <algorithm>
#include <stdexcept>

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Bits {
  public:
    explicit Bits(const std::vector<uint8_t> &data) : data_(data) {}

    unsigned Get(int n) {
        unsigned v = 0;
        for (int i = 0; i < n; ++i) {
            v = (v << 1) | Bit();
        }
        return v;
    }
    unsigned Bit() {
        if (pos_ >= data_.size() * 8) {
            throw Failure("read past the end of the packed data");
        }
        const unsigned bit = (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return bit;
    }
    size_t BitsUsed() const {
        return pos_;
    }
    size_t BytesUsed() const {
        return (pos_ + 7) / 8;
    }

  private:
    const std::vector<uint8_t> &data_;
    size_t pos_ = 0;
};

class Code {
  public:
    // Builds the code; with `single` >= 0 every lookup yields it and reads nothing.
    void Build(const std::vector<int> &lengths, int single) {
        single_ = single;
        if (single >= 0) {
            return;
        }
        count_.assign(17, 0);
        symbols_.clear();
        uint64_t kraft = 0;
        for (int len : lengths) {
            if (len > 16) {
                throw Failure("code length above 16");
            }
            if (len > 0) {
                ++count_[len];
                kraft += uint64_t{1} << (16 - len);
            }
        }
        if (kraft != 65536) {
            throw Failure("incomplete or oversubscribed code");
        }
        for (int len = 1; len <= 16; ++len) {
            for (size_t s = 0; s < lengths.size(); ++s) {
                if (lengths[s] == len) {
                    symbols_.push_back(static_cast<int>(s));
                }
            }
        }
    }

    int Decode(Bits &in) const {
        if (single_ >= 0) {
            return single_;
        }
        unsigned code = 0, first = 0;
        size_t index = 0;
        for (int len = 1; len <= 16; ++len) {
            code = (code << 1) | in.Bit();
            if (code - first < count_[len]) {
                return symbols_[index + (code - first)];
            }
            index += count_[len];
            first = (first + count_[len]) << 1;
        }
        throw Failure("no code matches");
    }

  private:
    int single_ = -1;
    std::vector<unsigned> count_;
    std::vector<int> symbols_;
};

unsigned SmallLength(Bits &in) {
    unsigned v = in.Get(3);
    if (v == 7) {
        while (in.Bit() == 1) {
            ++v;
        }
    }
    return v;
}

// Reads the code-length code (special 3) or the position code (special -1).
void ReadSmallCode(Bits &in, int symbols, int count_bits, int special, int &single_count,
                   Code &code) {
    const int n = static_cast<int>(in.Get(count_bits));
    if (n == 0) {
        const int v = static_cast<int>(in.Get(count_bits));
        if (v >= symbols) {
            throw Failure("single symbol out of range");
        }
        ++single_count;
        code.Build({}, v);
        return;
    }
    if (n > symbols) {
        throw Failure("more lengths than symbols");
    }
    std::vector<int> lengths(symbols, 0);
    for (int i = 0; i < n;) {
        lengths[i++] = static_cast<int>(SmallLength(in));
        if (i == special) {
            const int zeros = static_cast<int>(in.Get(2));
            if (i + zeros > n) {
                throw Failure("zero count past the length count");
            }
            i += zeros;
        }
    }
    code.Build(lengths, -1);
}

void ReadCharCode(Bits &in, const Code &length_code, int &single_count, Code &code) {
    const int n = static_cast<int>(in.Get(9));
    if (n == 0) {
        const int v = static_cast<int>(in.Get(9));
        if (v >= 510) {
            throw Failure("single character symbol out of range");
        }
        ++single_count;
        code.Build({}, v);
        return;
    }
    if (n > 510) {
        throw Failure("more character lengths than symbols");
    }
    std::vector<int> lengths(510, 0);
    for (int i = 0; i < n;) {
        const int s = length_code.Decode(in);
        int zeros = 0;
        if (s == 0) {
            zeros = 1;
        } else if (s == 1) {
            zeros = static_cast<int>(in.Get(4)) + 3;
        } else if (s == 2) {
            zeros = static_cast<int>(in.Get(9)) + 20;
        } else {
            lengths[i++] = s - 2;
            continue;
        }
        if (i + zeros > n) {
            throw Failure("zero run past the length count");
        }
        i += zeros;
    }
    code.Build(lengths, -1);
}

} // namespace

DecodeReport ReferenceDecode(char method, const std::vector<uint8_t> &packed,
                             size_t unpacked_size) {
    DecodeReport report;
    const int dictionary_bits = method == '5' ? 13 : method == '6' ? 15 : 16;
    const int position_symbols = dictionary_bits + 1;
    const int position_count_bits = method == '5' ? 4 : 5;
    try {
        Bits in(packed);
        Code length_code, char_code, position_code;
        unsigned left = 0;
        std::vector<uint8_t> &out = report.output;
        while (out.size() < unpacked_size) {
            if (left == 0) {
                left = in.Get(16);
                if (left == 0) {
                    throw Failure("block count 0");
                }
                ++report.blocks;
                report.last_block_symbols = left;
                report.last_block_code_bits = 0;
                ReadSmallCode(in, 19, 5, 3, report.single_length_codes, length_code);
                ReadCharCode(in, length_code, report.single_char_codes, char_code);
                ReadSmallCode(in, position_symbols, position_count_bits, -1,
                              report.single_position_codes, position_code);
            }
            --left;
            size_t before = in.BitsUsed();
            const int c = char_code.Decode(in);
            report.last_block_code_bits += in.BitsUsed() - before;
            if (c < 256) {
                out.push_back(static_cast<uint8_t>(c));
                continue;
            }
            const size_t length = static_cast<size_t>(c) - 253;
            before = in.BitsUsed();
            const int j = position_code.Decode(in);
            report.last_block_code_bits += in.BitsUsed() - before;
            const size_t d = j < 2 ? j : (size_t{1} << (j - 1)) + in.Get(j - 1);
            const size_t distance = d + 1;
            if (distance > out.size()) {
                throw Failure("copy from before the start");
            }
            if (distance > (size_t{1} << dictionary_bits)) {
                throw Failure("copy from beyond the dictionary");
            }
            if (out.size() + length > unpacked_size) {
                throw Failure("match past the end");
            }
            report.max_distance = std::max(report.max_distance, distance);
            for (size_t k = 0; k < length; ++k) {
                out.push_back(out[out.size() - distance]);
            }
        }
        if (left != 0) {
            throw Failure("symbols left in the last block");
        }
        report.bits_used = in.BitsUsed();
        if (in.BytesUsed() != packed.size()) {
            throw Failure("bytes left over after the last symbol");
        }
    } catch (const Failure &failure) {
        report.error = failure.what();
    }
    return report;
}
