// Package-merge: at each of max_length levels the items are the used symbols (leaves)
// merged with the pairs formed from the previous level's items. The cheapest
// 2m - 2 items of the last level define the code: a symbol's length is the number of
// levels whose chosen items include its leaf. Because every level is sorted and the
// leaves come in the same order at each level, the chosen items of a level always
// hold a prefix of the sorted leaves, so counting leaves per level is enough and no
// item needs to remember its contents.
#include "huffman_encoder.h"

#include <algorithm>
#include <cassert>

namespace lzhsfx {
namespace {

constexpr int kMaxSymbols = 512;
constexpr int kMaxLevels = 16;

} // namespace

void BuildCodeLengths(const uint32_t *freq, int count, int max_length, uint8_t *lengths) {
    assert(count <= kMaxSymbols && max_length <= kMaxLevels);
    // Sorted by frequency, equal frequencies in symbol order, so the result is
    // reproducible: as keys of the frequency above the symbol.
    uint64_t keys[kMaxSymbols];
    int m = 0;
    for (int s = 0; s < count; ++s) {
        lengths[s] = 0;
        if (freq[s] != 0) {
            keys[m++] = uint64_t{freq[s]} << 16 | static_cast<unsigned>(s);
        }
    }
    if (m <= 1) {
        if (m == 1) {
            lengths[keys[0] & 0xFFFF] = 1;
        }
        return;
    }
    assert(m <= (1 << max_length));
    std::sort(keys, keys + m);
    int leaves[kMaxSymbols];
    for (int k = 0; k < m; ++k) {
        leaves[k] = static_cast<int>(keys[k] & 0xFFFF);
    }

    // Level by level: the weights of its items, and whether each is a leaf. A level
    // holds at most m leaves and m - 1 pairs.
    static thread_local uint64_t weights[2][2 * kMaxSymbols];
    static thread_local bool is_leaf[kMaxLevels][2 * kMaxSymbols];
    int previous_items = 0;
    for (int level = 0; level < max_length; ++level) {
        const uint64_t *prev = weights[(level + 1) & 1];
        uint64_t *items = weights[level & 1];
        bool *flags = is_leaf[level];
        const int pairs = previous_items / 2;
        int leaf = 0, pair = 0, k = 0;
        while (leaf < m || pair < pairs) {
            // A leaf wins ties, which keeps lengths short for the rarer symbols.
            const uint64_t pair_weight =
                pair < pairs ? prev[2 * pair] + prev[2 * pair + 1] : UINT64_MAX;
            if (leaf < m && freq[leaves[leaf]] <= pair_weight) {
                items[k] = freq[leaves[leaf++]];
                flags[k++] = true;
            } else {
                items[k] = pair_weight;
                flags[k++] = false;
                ++pair;
            }
        }
        previous_items = k;
    }

    int take = 2 * m - 2;
    for (int level = max_length - 1; level >= 0 && take > 0; --level) {
        int leaf_count = 0;
        for (int k = 0; k < take; ++k) {
            leaf_count += is_leaf[level][k];
        }
        for (int k = 0; k < leaf_count; ++k) {
            ++lengths[leaves[k]];
        }
        take = 2 * (take - leaf_count);
    }
}

void BuildCanonicalCodes(const uint8_t *lengths, int count, uint16_t *codes) {
    unsigned per_length[32] = {};
    for (int s = 0; s < count; ++s) {
        ++per_length[lengths[s]];
    }
    unsigned next[32] = {};
    unsigned code = 0;
    per_length[0] = 0;
    for (int len = 1; len < 32; ++len) {
        code = (code + per_length[len - 1]) << 1;
        next[len] = code;
    }
    for (int s = 0; s < count; ++s) {
        codes[s] = lengths[s] == 0 ? 0 : static_cast<uint16_t>(next[lengths[s]]++);
    }
}

} // namespace lzhsfx
