// The tree walk keeps two open links: where the next string found smaller than the
// new one will hang (`smaller`, a child link of the node at `smaller_owner`), and
// where the next larger one will (`larger`). Every node passed goes to one side, and
// the walk follows the child that may hold strings between it and the new one. The
// shorter of the prefixes shared with the last node on each side is shared with every
// node still ahead, so comparing starts there.
//
// Nodes live in a ring of one dictionary's worth of slots and link to their children
// by 16-bit distances, which keeps the tree small enough to stay in the processor's
// caches. A child is always older than its parent, so a link that leads out of the
// window leads to a slot already reused and ends the walk; one that stays inside
// leads to a slot not yet reused.
#include "match_finder.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lzhsfx {
namespace {

constexpr int kHash3Bits = 17;
constexpr int kHash4Bits = 16;
// Far enough back that every distance test fails, yet no arithmetic overflows.
constexpr int32_t kEmpty = INT32_MIN / 2;

uint32_t Load32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The length of the common prefix of `a` and `b`, from `length` up to `limit`,
// compared sixteen bytes at a time (with SSE2), then eight, while as many remain.
inline int Extend(const uint8_t *a, const uint8_t *b, int length, int limit) {
#if defined(__SSE2__)
    while (length + 16 <= limit) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + length));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + length));
        const unsigned differ =
            ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) & 0xFFFF;
        if (differ != 0) {
            return length + __builtin_ctz(differ);
        }
        length += 16;
    }
#endif
    while (length + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        if (x != y) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return length + (__builtin_clzll(x ^ y) >> 3);
#else
            return length + (__builtin_ctzll(x ^ y) >> 3);
#endif
        }
        length += 8;
    }
    while (length < limit && a[length] == b[length]) {
        ++length;
    }
    return length;
}

// The number of leading bytes `a` and `b` have in common, up to four.
inline int CommonBytes4(const uint8_t *a, const uint8_t *b) {
    const uint32_t x = Load32(a) ^ Load32(b);
    if (x == 0) {
        return 4;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_clz(x) >> 3;
#else
    return __builtin_ctz(x) >> 3;
#endif
}

inline uint32_t Hash3(const uint8_t *p) {
    const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    return (v * 2654435761u) >> (32 - kHash3Bits);
}

inline uint32_t Hash4(const uint8_t *p) {
    return (Load32(p) * 2654435761u) >> (32 - kHash4Bits);
}

// The link from `owner` to the child that `link` gives relative to `parent`, or
// none when that child has left the window.
inline uint16_t Relink(int32_t parent, uint16_t link, int32_t owner, int32_t pos,
                       int32_t max_distance) {
    if (link == 0 || pos - (parent - link) > max_distance) {
        return 0;
    }
    return static_cast<uint16_t>(owner - (parent - link));
}

} // namespace

MatchFinder::MatchFinder(const uint8_t *data, size_t size, size_t dictionary, int max_depth,
                         int nice_length)
    : data_(data), size_(size),
      // The new position takes the slot of the one a dictionary back.
      max_distance_(static_cast<int32_t>(dictionary) - 1),
      node_mask_(static_cast<uint32_t>(dictionary - 1)), max_depth_(max_depth),
      nice_length_(std::min(nice_length, kMaxMatch)), head3_(new int32_t[size_t{1} << kHash3Bits]),
      head4_(new int32_t[size_t{1} << kHash4Bits]), children_(new uint16_t[2 * dictionary]) {
    Reset(0);
}

void MatchFinder::Reset(size_t base) {
    base_ = base;
    std::fill_n(head3_.get(), size_t{1} << kHash3Bits, kEmpty);
    std::fill_n(head4_.get(), size_t{1} << kHash4Bits, kEmpty);
}

template <bool kReport> int MatchFinder::Walk(size_t pos_index, Match *out) {
    if (pos_index + kMinMatch > size_) {
        return 0; // too close to the end to start a match, or to be the source of one
    }
    // Positions are kept relative to the base, so they stay small whatever the input.
    const int32_t pos = static_cast<int32_t>(pos_index - base_);
    const uint8_t *const window = data_ + base_;
    const uint8_t *const current = data_ + pos_index;
    const size_t left = size_ - pos_index;
    const int nice = static_cast<int>(std::min<size_t>(nice_length_, left));
    // A match that reaches `nice` ends the walk; only a reported one is measured to
    // its full length.
    const int max_length = kReport ? static_cast<int>(std::min<size_t>(kMaxMatch, left)) : nice;
    int best = kMinMatch - 1;
    int found = 0;
    int32_t *const head4 = left >= 4 ? &head4_[Hash4(current)] : nullptr;
    int32_t candidate = head4 != nullptr ? *head4 : kEmpty;
    if (pos - candidate <= max_distance_) {
        __builtin_prefetch(&children_[2 * (candidate & node_mask_)]);
        __builtin_prefetch(window + candidate);
    }

    int32_t *const head3 = &head3_[Hash3(current)];
    const int32_t candidate3 = *head3;
    *head3 = pos;
    if (kReport && pos - candidate3 <= max_distance_) {
        const int length = left >= 4 ? CommonBytes4(window + candidate3, current)
                                     : Extend(window + candidate3, current, 0, max_length);
        if (length >= kMinMatch) {
            out[found++] = {static_cast<uint16_t>(length),
                            static_cast<uint16_t>(pos - candidate3 - 1)};
            best = length;
        }
    }
    if (head4 == nullptr) {
        return found; // too short for the tree, which hashes four bytes
    }
    *head4 = pos;
    if (left > 4) {
        __builtin_prefetch(&head4_[Hash4(current + 1)]);
        __builtin_prefetch(&head3_[Hash3(current + 1)]);
    }

    uint16_t *smaller = &children_[2 * (pos & node_mask_)];
    uint16_t *larger = smaller + 1;
    int32_t smaller_owner = pos, larger_owner = pos;
    int smaller_length = 0, larger_length = 0;

    for (int depth = max_depth_;; --depth) {
        if (pos - candidate > max_distance_ || depth == 0) {
            *smaller = *larger = 0;
            return found;
        }
        const uint8_t *match = window + candidate;
        uint16_t *const node = &children_[2 * (candidate & node_mask_)];
        int length = Extend(match, current, std::min(smaller_length, larger_length), nice);
        if (__builtin_expect(length == nice, 0)) {
            length = Extend(match, current, length, max_length);
        }
        // Written without branches: whether a node gives a longer match is hard to
        // predict. The entry is written in any case and kept only when longer.
        if (kReport) {
            out[found] = {static_cast<uint16_t>(length),
                          static_cast<uint16_t>(pos - candidate - 1)};
            found += length > best;
        }
        best = std::max(best, length);
        if (__builtin_expect(length >= nice, 0)) {
            // The candidate equals the new string as far as we look: the new node
            // takes over its subtrees and the candidate drops out of the tree.
            *smaller = Relink(candidate, node[0], smaller_owner, pos, max_distance_);
            *larger = Relink(candidate, node[1], larger_owner, pos, max_distance_);
            return found;
        }
        if (match[length] < current[length]) {
            *smaller = static_cast<uint16_t>(smaller_owner - candidate);
            smaller = node + 1;
            smaller_owner = candidate;
            smaller_length = length;
            candidate = node[1] != 0 ? candidate - node[1] : kEmpty;
        } else {
            *larger = static_cast<uint16_t>(larger_owner - candidate);
            larger = node;
            larger_owner = candidate;
            larger_length = length;
            candidate = node[0] != 0 ? candidate - node[0] : kEmpty;
        }
    }
}

template int MatchFinder::Walk<true>(size_t pos_index, Match *out);
template int MatchFinder::Walk<false>(size_t pos_index, Match *out);

} // namespace lzhsfx
