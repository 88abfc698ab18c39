// Binary-tree match finder over a buffer held whole in memory.
//
// - Every position of the window sits in a binary search tree of the strings that
//   start at positions with the same hash of their first four bytes, ordered
//   lexicographically and rooted at the newest position. Looking up a position walks
//   down from the root and re-roots the tree at the new position on the way, so one
//   walk both finds the matches and inserts the position. The walk meets the strings
//   sharing the longest prefixes with the new one, and it meets nearer ones first
//   (every node is newer than the nodes below it), so it yields, for every length,
//   the nearest match of at least that length.
// - Matches of three bytes come from a table holding the newest position of every
//   three-byte hash, which is the nearest candidate for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lzh_format.h"

namespace lzhsfx {

struct Match {
    uint16_t length;
    uint16_t distance_code; // distance - 1
};

class MatchFinder {
  public:
    // `dictionary` (a power of two, at most 65536) bounds the distance of every match:
    // matches are found up to one byte less than `dictionary` back. `max_depth`
    // bounds the tree nodes visited per position; a match of `nice_length` bytes or
    // more ends the search.
    MatchFinder(const uint8_t *data, size_t size, size_t dictionary, int max_depth,
                int nice_length);

    // Forgets every position visited. The positions visited next must be `base` or
    // later, and less than 2^30 bytes beyond it.
    void Reset(size_t base);
    // Searches `size` bytes at `data` from now on; Reset must follow.
    void Rebind(const uint8_t *data, size_t size) {
        data_ = data;
        size_ = size;
    }

    // Positions must be visited in increasing order, each by one of these two calls;
    // positions may be left out, and are then never found.

    // Writes the matches at `pos` to `out` (room for kMaxMatch entries) in order of
    // increasing length, each the nearest of its length, and returns their number.
    int FindMatches(size_t pos, Match *out) {
        return Walk<true>(pos, out);
    }
    // Inserts `pos` without reporting matches.
    void Skip(size_t pos) {
        Walk<false>(pos, nullptr);
    }

  private:
    // One walk down the tree; `kReport` says whether matches are written to `out`.
    template <bool kReport> int Walk(size_t pos, Match *out);

    const uint8_t *data_;
    size_t size_;
    size_t base_ = 0; // positions in the tables count from here
    int32_t max_distance_;
    uint32_t node_mask_;
    int max_depth_;
    int nice_length_;
    std::unique_ptr<int32_t[]> head3_; // filled by Reset
    std::unique_ptr<int32_t[]> head4_;
    // The children of the node of position p, smaller then larger, at
    // 2 * (p & node_mask_): each as p minus the child's position, 0 for none. A slot
    // is written whenever its position is visited, before anything can lead to it, so
    // the ring is left uninitialised.
    std::unique_ptr<uint16_t[]> children_;
};

} // namespace lzhsfx
