// Bottom-up splitting: every unit starts as a block of its own, then the two
// neighbouring blocks whose merging saves the most are merged, again and again,
// while a merge still saves bits and the result stays within the symbol limit.
//
// The estimate of a block is the entropy of its character/length and position
// symbols, plus the extra bits of its positions, plus a price for its code headers:
// a fixed part, a part per used symbol and a part per run of unused
// character/length symbols between used ones (each run costs a run symbol and its
// count). Blocks keep sparse histograms sorted by symbol, so a merge costs time in
// proportion to the symbols the two blocks use.
#include "block_split.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <queue>

namespace lzhsfx {
namespace {

constexpr int kAlphabet = kCharSymbols + kMaxPositionSymbols;
// Price of the code headers in bits, fitted on text and binaries.
constexpr double kHeaderBits = 60;
constexpr double kUsedCharBits = 3;
constexpr double kRunBits = 5;
constexpr double kUsedPositionBits = 3;

// f * log2(f), from a table for the counts most blocks have.
class FLogF {
  public:
    FLogF() : table_(1 << 16) {
        for (size_t f = 1; f < table_.size(); ++f) {
            table_[f] = static_cast<float>(Compute(static_cast<uint32_t>(f)));
        }
    }
    double operator()(uint32_t f) const {
        return f < table_.size() ? table_[f] : Compute(f);
    }

  private:
    static double Compute(uint32_t f) {
        return f == 0 ? 0.0 : f * std::log2(static_cast<double>(f));
    }
    std::vector<float> table_;
};

struct Entry {
    uint16_t symbol; // character/length symbols first, then position symbols
    uint32_t count;
};

struct Block {
    std::vector<Entry> histogram; // sorted by symbol
    uint64_t extra_bits = 0;
    size_t symbols = 0;
    size_t end = 0; // index after its last symbol
    double bits = 0;
    size_t prev = 0, next = 0; // neighbours; SIZE_MAX at the ends
    unsigned version = 0;      // changes with every merge, to retire stale candidates
    bool alive = true;
};

// Adds up the estimate of one block as its symbols come in increasing order.
class Estimator {
  public:
    explicit Estimator(const FLogF &flogf) : flogf_(flogf) {}

    void Add(uint16_t symbol, uint32_t count) {
        if (symbol < kCharSymbols) {
            chars_ += count;
            sum_char_ += flogf_(count);
            ++used_char_;
            runs_ += symbol != next_char_;
            next_char_ = symbol + 1;
        } else {
            positions_ += count;
            sum_position_ += flogf_(count);
            ++used_position_;
        }
    }

    double Bits(uint64_t extra_bits) const {
        return flogf_(chars_) - sum_char_ + flogf_(positions_) - sum_position_ +
               static_cast<double>(extra_bits) + kHeaderBits + kUsedCharBits * used_char_ +
               kRunBits * runs_ + kUsedPositionBits * used_position_;
    }

  private:
    const FLogF &flogf_;
    uint32_t chars_ = 0, positions_ = 0;
    double sum_char_ = 0, sum_position_ = 0;
    int used_char_ = 0, used_position_ = 0, runs_ = 0;
    int next_char_ = 0; // the symbol after the last used one seen
};

double Estimate(const std::vector<Entry> &histogram, uint64_t extra_bits, const FLogF &flogf) {
    Estimator estimator(flogf);
    for (const Entry &e : histogram) {
        estimator.Add(e.symbol, e.count);
    }
    return estimator.Bits(extra_bits);
}

// The estimate of the block that merging two blocks would give.
double EstimateMerged(const std::vector<Entry> &a, const std::vector<Entry> &b, uint64_t extra_bits,
                      const FLogF &flogf) {
    Estimator estimator(flogf);
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].symbol < b[j].symbol) {
            estimator.Add(a[i].symbol, a[i].count);
            ++i;
        } else if (b[j].symbol < a[i].symbol) {
            estimator.Add(b[j].symbol, b[j].count);
            ++j;
        } else {
            estimator.Add(a[i].symbol, a[i].count + b[j].count);
            ++i;
            ++j;
        }
    }
    for (; i < a.size(); ++i) {
        estimator.Add(a[i].symbol, a[i].count);
    }
    for (; j < b.size(); ++j) {
        estimator.Add(b[j].symbol, b[j].count);
    }
    return estimator.Bits(extra_bits);
}

void MergeHistograms(const std::vector<Entry> &a, const std::vector<Entry> &b,
                     std::vector<Entry> &out) {
    out.resize(a.size() + b.size());
    Entry *o = out.data();
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].symbol < b[j].symbol) {
            *o++ = a[i++];
        } else if (b[j].symbol < a[i].symbol) {
            *o++ = b[j++];
        } else {
            *o++ = {a[i].symbol, a[i].count + b[j].count};
            ++i;
            ++j;
        }
    }
    o = std::copy(a.begin() + i, a.end(), o);
    o = std::copy(b.begin() + j, b.end(), o);
    out.resize(o - out.data());
}

struct Candidate {
    double saving;
    size_t left;
    unsigned left_version, right_version;
    bool operator<(const Candidate &other) const {
        // Largest saving first; among equal ones the leftmost, for a stable result.
        if (saving != other.saving) {
            return saving < other.saving;
        }
        return left > other.left;
    }
};

} // namespace

std::vector<size_t> SplitBlocks(const Symbol *symbols, size_t count, size_t unit) {
    static const FLogF flogf;
    std::vector<Block> blocks;
    uint32_t dense[kAlphabet] = {};
    for (size_t first = 0; first < count; first += unit) {
        Block block;
        block.end = std::min(count, first + unit);
        block.symbols = block.end - first;
        size_t used = 0;
        for (size_t i = first; i < block.end; ++i) {
            used += dense[CharSymbolOf(symbols[i])]++ == 0;
            if (symbols[i].length != 0) {
                const int j = PositionSymbol(symbols[i].value);
                used += dense[kCharSymbols + j]++ == 0;
                block.extra_bits += j > 1 ? j - 1 : 0;
            }
        }
        block.histogram.reserve(used);
        for (int s = 0; s < kAlphabet; ++s) {
            if (dense[s] != 0) {
                block.histogram.push_back({static_cast<uint16_t>(s), dense[s]});
                dense[s] = 0;
            }
        }
        block.bits = Estimate(block.histogram, block.extra_bits, flogf);
        block.prev = blocks.empty() ? SIZE_MAX : blocks.size() - 1;
        block.next = SIZE_MAX;
        if (!blocks.empty()) {
            blocks.back().next = blocks.size();
        }
        blocks.push_back(std::move(block));
    }

    std::priority_queue<Candidate> queue;
    std::vector<Entry> merged;
    auto consider = [&](size_t left) {
        const Block &a = blocks[left];
        if (a.next == SIZE_MAX) {
            return;
        }
        const Block &b = blocks[a.next];
        if (a.symbols + b.symbols > kMaxBlockSymbols) {
            return;
        }
        const double saving =
            a.bits + b.bits -
            EstimateMerged(a.histogram, b.histogram, a.extra_bits + b.extra_bits, flogf);
        if (saving > 0) {
            queue.push({saving, left, a.version, b.version});
        }
    };
    for (size_t i = 0; i < blocks.size(); ++i) {
        consider(i);
    }
    while (!queue.empty()) {
        const Candidate c = queue.top();
        queue.pop();
        Block &a = blocks[c.left];
        if (!a.alive || a.version != c.left_version || a.next == SIZE_MAX ||
            blocks[a.next].version != c.right_version) {
            continue;
        }
        Block &b = blocks[a.next];
        MergeHistograms(a.histogram, b.histogram, merged);
        a.histogram.swap(merged);
        a.extra_bits += b.extra_bits;
        a.symbols += b.symbols;
        a.end = b.end;
        a.bits = Estimate(a.histogram, a.extra_bits, flogf);
        a.next = b.next;
        if (b.next != SIZE_MAX) {
            blocks[b.next].prev = c.left;
        }
        b.alive = false;
        std::vector<Entry>().swap(b.histogram);
        ++a.version;
        if (a.prev != SIZE_MAX) {
            consider(a.prev);
        }
        consider(c.left);
    }

    std::vector<size_t> ends;
    for (size_t i = blocks.empty() ? SIZE_MAX : 0; i != SIZE_MAX; i = blocks[i].next) {
        ends.push_back(blocks[i].end);
    }
    return ends;
}

} // namespace lzhsfx
