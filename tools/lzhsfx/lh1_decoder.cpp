// -lh1- is LZSS over a 4 KiB window with matches of 3 to 60 bytes. Bytes and match
// lengths share one alphabet of 314 symbols (0 to 255 a byte, 256 + n a match of n + 3
// bytes) under an adaptive Huffman code: encoder and decoder start from the same tree
// of equal weights and, after every symbol, add one to the weight of its leaf and of
// each node above it, swapping a node with the last one of its old weight first, so
// that the nodes stay ordered by weight (the sibling property). When the root's weight
// reaches 0x8000, every leaf's weight is halved and the tree is built again. A match's
// distance less one (0 to 4095) follows it: its upper 6 bits in a fixed prefix code of
// 3 to 8 bits, its lower 6 bits as they are. Bits are taken from the most significant
// end of each byte. The window starts filled with spaces, and the encoders match
// against them, so a distance reaching before the first byte copies spaces.
#include "lh1_decoder.h"

#include <algorithm>
#include <array>

namespace lzhsfx {
namespace {

constexpr int kShortestMatch = 3;
constexpr int kLongestMatch = 60;
constexpr int kSymbols = 256 + kLongestMatch - kShortestMatch + 1;
constexpr int kNodes = 2 * kSymbols - 1;
constexpr int kRoot = kNodes - 1;
constexpr unsigned kRebuildWeight = 0x8000;

class BitInput {
  public:
    BitInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    unsigned Bit() {
        if (left_ == 0) {
            if (at_ == size_) {
                throw LzhError("-lh1-: the packed data ends before the member does");
            }
            byte_ = data_[at_++];
            left_ = 8;
        }
        --left_;
        return (byte_ >> left_) & 1;
    }

    unsigned Bits(int count) {
        unsigned value = 0;
        while (count-- > 0) {
            value = (value << 1) | Bit();
        }
        return value;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
    unsigned byte_ = 0;
    int left_ = 0;
};

// The adaptive code. Nodes are kept in order of weight, the root last. An inner node's
// children are the pair of nodes `child` and `child + 1`; a leaf's `child` is kNodes
// plus its symbol. `parent` is indexed by node and, from kNodes on, by symbol (the leaf
// holding it).
class AdaptiveTree {
  public:
    AdaptiveTree() {
        for (int s = 0; s < kSymbols; ++s) {
            weight_[s] = 1;
            child_[s] = kNodes + s;
        }
        Pair();
        weight_[kNodes] = 0xFFFF; // stops the search for the last node of a weight
    }

    int Decode(BitInput &in) {
        int node = kRoot;
        while (child_[node] < kNodes) {
            node = child_[node] + static_cast<int>(in.Bit());
        }
        const int symbol = child_[node] - kNodes;
        Count(symbol);
        return symbol;
    }

  private:
    // Builds the inner nodes over the leaves in 0 .. kSymbols-1, pairing the two
    // lightest nodes not yet paired and placing their parent behind the nodes that
    // weigh no more, then sets every node's parent.
    void Pair() {
        for (int first = 0, next = kSymbols; next < kNodes; first += 2, ++next) {
            const unsigned sum = weight_[first] + weight_[first + 1];
            int at = next;
            while (weight_[at - 1] > sum) {
                --at;
            }
            std::copy_backward(&weight_[at], &weight_[next], &weight_[next + 1]);
            std::copy_backward(&child_[at], &child_[next], &child_[next + 1]);
            weight_[at] = sum;
            child_[at] = first;
        }
        for (int node = 0; node < kNodes; ++node) {
            Adopt(child_[node], node);
        }
    }

    void Adopt(int child, int node) {
        parent_[child] = node;
        if (child < kNodes) {
            parent_[child + 1] = node;
        }
    }

    // Adds one to the weight of the leaf of `symbol` and of every node above it.
    void Count(int symbol) {
        if (weight_[kRoot] == kRebuildWeight) {
            Rebuild();
        }
        int node = parent_[kNodes + symbol];
        for (;;) {
            const unsigned weight = weight_[node] + 1;
            if (weight > weight_[node + 1]) {
                // Trade places with the last node of the old weight, subtrees and all.
                int last = node + 1;
                while (weight > weight_[last + 1]) {
                    ++last;
                }
                weight_[node] = weight_[last];
                std::swap(child_[node], child_[last]);
                Adopt(child_[node], node);
                Adopt(child_[last], last);
                node = last;
            }
            weight_[node] = weight;
            if (node == kRoot) {
                return;
            }
            node = parent_[node];
        }
    }

    // Halves the leaves' weights (rounding up, so none reaches 0) and builds the tree
    // again over them, kept in their order.
    void Rebuild() {
        int leaves = 0;
        for (int node = 0; node < kNodes; ++node) {
            if (child_[node] >= kNodes) {
                weight_[leaves] = (weight_[node] + 1) / 2;
                child_[leaves] = child_[node];
                ++leaves;
            }
        }
        Pair();
    }

    std::array<unsigned, kNodes + 1> weight_{};
    std::array<int, kNodes> child_{};
    std::array<int, kNodes + kSymbols> parent_{};
};

// The upper 6 bits of a distance: a canonical code with this many codes of 1 to 8 bits,
// the shorter ones for the smaller values.
constexpr std::array<unsigned, 9> kUpperCodes = {0, 0, 0, 1, 3, 8, 12, 24, 16};

// The code is complete, for 64 values: every string of 8 bits begins with a code, so
// decoding ends within 8 bits.
constexpr bool IsCompleteFor64(const std::array<unsigned, 9> &counts) {
    unsigned values = 0, share = 0;
    for (size_t length = 1; length < counts.size(); ++length) {
        values += counts[length];
        share += counts[length] << (8 - length);
    }
    return values == 64 && share == 256;
}
static_assert(IsCompleteFor64(kUpperCodes));

size_t DecodeDistance(BitInput &in) {
    unsigned code = 0;
    unsigned first = 0; // the first code of the current length
    unsigned upper = 0; // the value of that code
    for (int length = 1;; ++length) {
        code = (code << 1) | in.Bit();
        if (code - first < kUpperCodes[length]) {
            upper += code - first;
            break;
        }
        upper += kUpperCodes[length];
        first = (first + kUpperCodes[length]) << 1;
    }
    return ((upper << 6) | in.Bits(6)) + 1;
}

} // namespace

std::vector<uint8_t> DecodeLh1(const uint8_t *packed, size_t packed_size, size_t original_size) {
    // A match takes at least 10 bits for at most kLongestMatch bytes, so the packed size
    // bounds what a stream can yield before it runs out, whatever size it announces.
    constexpr size_t kMostPerByte = 8 * kLongestMatch / 10;
    std::vector<uint8_t> out;
    out.reserve(packed_size < original_size / kMostPerByte ? packed_size * kMostPerByte
                                                           : original_size);
    BitInput in(packed, packed_size);
    AdaptiveTree tree;
    while (out.size() < original_size) {
        const int symbol = tree.Decode(in);
        if (symbol < 256) {
            out.push_back(static_cast<uint8_t>(symbol));
            continue;
        }
        // A last match reaching past the size ends there, as in the other LHA
        // decoders; the caller's CRC check tells whether the data was sound.
        const size_t length = std::min(static_cast<size_t>(symbol - 256 + kShortestMatch),
                                       original_size - out.size());
        const size_t distance = DecodeDistance(in);
        for (size_t i = 0; i < length; ++i) {
            const size_t at = out.size();
            const uint8_t byte = at >= distance ? out[at - distance] : ' ';
            out.push_back(byte);
        }
    }
    return out;
}

} // namespace lzhsfx
