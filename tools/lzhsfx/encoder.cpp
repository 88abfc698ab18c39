// The encoder: a cost-driven parse over cached matches, in blocks cut where the
// estimated output is smallest.
//
// - The input is cut into segments that are encoded independently, each into whole
//   blocks, so segments can be encoded on several threads; the result does not depend
//   on their number. A segment's match finder is first fed the dictionary's worth of
//   input before the segment, so no match is lost at its start.
// - Matches are searched once per segment and kept, so every further parse of the
//   segment is arithmetic over the cache. Of the matches found at a position, one
//   whose distance is sent in as many bits as that of the next longer one is dropped.
// - A parse is a shortest path over the positions of a range. From each position the
//   path may take a literal or a match of any length up to the longest one found
//   there, each length with the cheapest distance that reaches it. Every choice costs
//   its code length under the statistics of an earlier parse, so the path is found
//   backwards in one sweep.
// - A segment is first parsed lazily (the longest match, unless the next position
//   has a longer one); its symbols are cut into blocks (block_split.h); each block is
//   parsed again by cost with its own statistics while that pays, and written with
//   the codes of its final symbols.
#include "encoder.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "bit_writer.h"
#include "block_split.h"
#include "block_writer.h"
#include "huffman_encoder.h"
#include "match_finder.h"
#include "parallel.h"

namespace lzhsfx {
namespace {

// Input encoded as one piece; block boundaries fall on its ends.
constexpr size_t kSegmentSize = size_t{1} << 20;
// Costs are in 1/16 bits.
constexpr uint32_t kCostScale = 16;
// Symbols per unit of the block split: blocks are made of whole units.
constexpr size_t kUnitSymbols = 128;

struct LevelParams {
    int depth;        // tree nodes visited per position
    int nice_length;  // a match this long ends the search and is taken whole
    int all_lengths;  // every length up to this is tried; a longer match only whole
    int block_passes; // parses of each block with its own statistics
};

constexpr LevelParams kLevels[kMaxLevel] = {
    {4, 16, 16, 0},  {8, 24, 16, 1},   {12, 32, 16, 1},   {16, 48, 24, 1},    {20, 64, 24, 1},
    {24, 96, 16, 1}, {32, 128, 32, 2}, {64, 192, 256, 3}, {128, 256, 256, 4},
};

struct Costs {
    uint32_t char_cost[kCharSymbols];
    uint32_t position_cost[kMaxPositionSymbols]; // extra bits included
};

// Code lengths for the statistics. A symbol that did not occur is priced as a rare
// one would be, so that the parse may still choose it where it saves much.
Costs CostsFrom(const BlockStats &stats, const MethodParams &params) {
    Costs costs;
    uint8_t lengths[kCharSymbols];
    uint32_t total = 0;
    for (uint32_t f : stats.char_freq) {
        total += f;
    }
    BuildCodeLengths(stats.char_freq, kCharSymbols, kMaxCodeLength, lengths);
    const uint32_t unseen_char =
        std::min<uint32_t>(kMaxCodeLength, 2 + (32 - __builtin_clz(total | 1)));
    for (int s = 0; s < kCharSymbols; ++s) {
        costs.char_cost[s] = (lengths[s] != 0 ? lengths[s] : unseen_char) * kCostScale;
    }
    uint32_t matches = 0;
    for (int j = 0; j < params.position_symbols; ++j) {
        matches += stats.position_freq[j];
    }
    BuildCodeLengths(stats.position_freq, params.position_symbols, kMaxCodeLength, lengths);
    const uint32_t unseen_position =
        std::min<uint32_t>(kMaxCodeLength, 2 + (32 - __builtin_clz(matches | 1)));
    for (int j = 0; j < kMaxPositionSymbols; ++j) {
        const uint32_t extra = j > 1 ? j - 1 : 0;
        const uint32_t code =
            j < params.position_symbols && lengths[j] != 0 ? lengths[j] : unseen_position;
        costs.position_cost[j] = (code + extra) * kCostScale;
    }
    return costs;
}

BlockStats StatsOf(const Symbol *symbols, size_t count) {
    BlockStats stats;
    stats.Add(symbols, count);
    return stats;
}

size_t InputLength(const Symbol *symbols, size_t count) {
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        length += symbols[i].length == 0 ? 1 : symbols[i].length;
    }
    return length;
}

class SegmentEncoder {
  public:
    SegmentEncoder(Method method, const uint8_t *data, size_t size, const LevelParams &level)
        : data_(data), size_(size), params_(ParamsOf(method)), dictionary_(DictionarySize(method)),
          level_(level), finder_(data, size, dictionary_, level.depth, level.nice_length) {}

    // Encodes from `size` bytes at `data` from now on.
    void Rebind(const uint8_t *data, size_t size) {
        data_ = data;
        size_ = size;
        finder_.Rebind(data, size);
    }

    // Encodes data[begin, end) as whole blocks into `out`.
    void Encode(size_t begin, size_t end, BitWriter &out);

  private:
    void FindMatches(size_t begin, size_t end);
    void Parse(size_t begin, size_t end, const Costs &costs, std::vector<Symbol> &out);
    // The longest match at `pos`, cut at `end`; length 0 when none is left.
    Symbol Longest(size_t pos, size_t end) const;
    void LazyParse(size_t begin, size_t end, std::vector<Symbol> &out) const;
    void EncodeBlock(size_t begin, size_t end, const Symbol *first, size_t count, BitWriter &out);
    void Emit(const Symbol *symbols, size_t count, bool ends_stream, BitWriter &out) const;

    const uint8_t *data_;
    size_t size_;
    MethodParams params_;
    size_t dictionary_;
    LevelParams level_;
    MatchFinder finder_;

    // Matches of the current segment: those of position p are
    // matches_[match_start_[p - segment_]] up to the next position's start.
    size_t segment_ = 0;
    std::unique_ptr<Match[]> matches_; // room for matches_room_, not initialised
    size_t matches_room_ = 0;
    std::vector<uint32_t> match_start_;
    // Per position: 1 where its only match continues a match taken whole.
    std::vector<uint8_t> continues_;

    std::vector<uint32_t> path_cost_;
    std::vector<Symbol> path_step_;
    std::vector<Symbol> first_, best_, scratch_;
};

void SegmentEncoder::Encode(size_t begin, size_t end, BitWriter &out) {
    const size_t primed = begin - std::min(begin, dictionary_);
    finder_.Reset(primed);
    for (size_t pos = primed; pos < begin; ++pos) {
        finder_.Skip(pos);
    }
    FindMatches(begin, end);
    LazyParse(begin, end, first_);
    size_t from = 0, pos = begin;
    for (size_t to : SplitBlocks(first_.data(), first_.size(), kUnitSymbols)) {
        const size_t block_end = pos + InputLength(first_.data() + from, to - from);
        EncodeBlock(pos, block_end, first_.data() + from, to - from, out);
        from = to;
        pos = block_end;
    }
}

void SegmentEncoder::FindMatches(size_t begin, size_t end) {
    segment_ = begin;
    // Room for the most matches one position can add, beyond those already kept.
    const size_t room = kMaxMatch + 1;
    if (matches_room_ < 2 * (end - begin) + room) {
        matches_room_ = 2 * (end - begin) + room;
        matches_.reset(new Match[matches_room_]);
    }
    match_start_.resize(end - begin + 1);
    continues_.assign(end - begin, 0);
    Match *out = matches_.get();
    size_t kept = 0;
    const unsigned all_lengths = static_cast<unsigned>(level_.all_lengths);
    // Inside a match taken whole, only its continuation is offered, so that a path
    // entering the run from elsewhere can still finish it.
    size_t long_end = 0;
    uint16_t long_distance = 0;
    for (size_t pos = begin; pos < end; ++pos) {
        match_start_[pos - begin] = static_cast<uint32_t>(kept);
        if (matches_room_ - kept < room) {
            matches_room_ += matches_room_ / 2;
            Match *const larger = new Match[matches_room_];
            std::copy(out, out + kept, larger);
            matches_.reset(larger);
            out = larger;
        }
        if (pos < long_end) {
            finder_.Skip(pos);
            const size_t rest = long_end - pos;
            if (rest >= kMinMatch) {
                continues_[pos - begin] = 1;
                out[kept++] = {static_cast<uint16_t>(rest), long_distance};
            }
            continue;
        }
        Match *const found = out + kept;
        const int count = finder_.FindMatches(pos, found);
        if (count == 0) {
            continue;
        }
        // A match whose distance takes as many bits as the next longer one's gains
        // nothing over it: the parse prices every length of the longer one the same,
        // and tries each of them up to `all_lengths`. Only the longer one is kept. Two
        // codes take as many bits when they differ only below the top bit they share;
        // the choice is made without branches, being hard to predict.
        int n = 0;
        for (int i = 0; i + 1 < count; ++i) {
            const unsigned a = found[i].distance_code, b = found[i + 1].distance_code;
            found[n] = found[i];
            n += found[i].length > all_lengths || (a ^ b) > (a & b);
        }
        found[n++] = found[count - 1];
        kept += n;
        if (found[n - 1].length >= level_.nice_length) {
            long_end = pos + found[n - 1].length;
            long_distance = found[n - 1].distance_code;
        }
    }
    match_start_[end - begin] = static_cast<uint32_t>(kept);
}

void SegmentEncoder::Parse(size_t begin, size_t end, const Costs &costs, std::vector<Symbol> &out) {
    const size_t base = begin - segment_;
    const size_t n = end - begin;
    path_cost_.resize(n + 1);
    path_step_.resize(n);
    const uint32_t *const length_cost = costs.char_cost + (kLiterals - kMinMatch);
    const unsigned all_lengths = static_cast<unsigned>(level_.all_lengths);
    path_cost_[n] = 0;
    for (size_t k = n; k-- > 0;) {
        const uint8_t literal = data_[begin + k];
        uint32_t best = costs.char_cost[literal] + path_cost_[k + 1];
        // The best choice so far as (length, distance code); length 0 is the literal.
        uint32_t best_length = 0, best_value = literal;
        const Match *m = matches_.get() + match_start_[base + k];
        const Match *const m_end = matches_.get() + match_start_[base + k + 1];
        const unsigned limit = static_cast<unsigned>(std::min<size_t>(n - k, kMaxMatch));
        const uint32_t *const cost_after = path_cost_.data() + k;
        // The continuation of a match taken whole is offered whole only.
        const unsigned tried = continues_[base + k] != 0 ? 0 : all_lengths;
        // The matches come in increasing length; each serves the lengths from the one
        // after the previous match's up to its own, so the lengths are tried in
        // increasing order and the first cheapest wins. The comparisons are made without
        // branches: which choice wins is hard to predict.
        for (unsigned length = kMinMatch; m != m_end && length <= limit; ++m) {
            const unsigned longest = std::min<unsigned>(m->length, limit);
            const uint32_t position = costs.position_cost[PositionSymbol(m->distance_code)];
            const uint32_t distance = m->distance_code;
            const unsigned stop = std::min(longest, tried);
            for (; length <= stop; ++length) {
                const uint32_t c = length_cost[length] + cost_after[length] + position;
                const bool better = c < best;
                best = better ? c : best;
                best_length = better ? length : best_length;
                best_value = better ? distance : best_value;
            }
            if (longest >= length) {
                const uint32_t c = length_cost[longest] + cost_after[longest] + position;
                const bool better = c < best;
                best = better ? c : best;
                best_length = better ? longest : best_length;
                best_value = better ? distance : best_value;
                length = longest + 1;
            }
        }
        path_cost_[k] = best;
        path_step_[k] = {static_cast<uint16_t>(best_length), static_cast<uint16_t>(best_value)};
    }
    out.clear();
    for (size_t k = 0; k < n;) {
        out.push_back(path_step_[k]);
        k += path_step_[k].length == 0 ? 1 : path_step_[k].length;
    }
}

Symbol SegmentEncoder::Longest(size_t pos, size_t end) const {
    const uint32_t first = match_start_[pos - segment_];
    const uint32_t last = match_start_[pos - segment_ + 1];
    if (first == last) {
        return {0, 0};
    }
    const Match m = matches_[last - 1];
    const size_t length = std::min<size_t>(m.length, end - pos);
    return {static_cast<uint16_t>(length >= kMinMatch ? length : 0), m.distance_code};
}

// Takes the longest match unless the next position has a longer one.
void SegmentEncoder::LazyParse(size_t begin, size_t end, std::vector<Symbol> &out) const {
    out.clear();
    for (size_t pos = begin; pos < end;) {
        const Symbol longest = Longest(pos, end);
        if (longest.length != 0 &&
            (pos + 1 == end || Longest(pos + 1, end).length <= longest.length)) {
            out.push_back(longest);
            pos += longest.length;
        } else {
            out.push_back({0, data_[pos]});
            ++pos;
        }
    }
}

// Parses the block again by cost with the statistics of its lazy parse, then, as
// the level asks, with those of each new parse while that makes it smaller. The
// first parse by cost is taken without a check: the lazy parse is one of the paths
// it chose from, so under the lazy parse's code it is no dearer, and its own code
// is cheaper still.
void SegmentEncoder::EncodeBlock(size_t begin, size_t end, const Symbol *first, size_t count,
                                 BitWriter &out) {
    const bool ends_stream = end == size_;
    if (level_.block_passes == 0) {
        Emit(first, count, ends_stream, out);
        return;
    }
    BlockStats stats = StatsOf(first, count);
    Parse(begin, end, CostsFrom(stats, params_), best_);
    uint64_t best_bits = 0;
    for (int pass = 1; pass < level_.block_passes; ++pass) {
        stats = StatsOf(best_.data(), best_.size());
        if (pass == 1) {
            best_bits = BlockBits(stats, MakeBlockCode(stats, params_), params_);
        }
        Parse(begin, end, CostsFrom(stats, params_), scratch_);
        const BlockStats next = StatsOf(scratch_.data(), scratch_.size());
        const uint64_t bits = BlockBits(next, MakeBlockCode(next, params_), params_);
        if (bits >= best_bits) {
            break;
        }
        best_bits = bits;
        best_.swap(scratch_);
    }
    Emit(best_.data(), best_.size(), ends_stream, out);
}

void SegmentEncoder::Emit(const Symbol *symbols, size_t count, bool ends_stream,
                          BitWriter &out) const {
    // The last symbol of the stream gets a block of its own, where it costs no bits:
    // some decoders (unar) peek further ahead than the code they decode, and fail
    // when that reaches past the end, while others (7z) refuse bytes left unused.
    if (ends_stream && count > 1) {
        Emit(symbols, count - 1, false, out);
        Emit(symbols + count - 1, 1, false, out);
        return;
    }
    // A new parse can make a block longer than a block may be; it is then halved.
    if (count > kMaxBlockSymbols) {
        Emit(symbols, count / 2, false, out);
        Emit(symbols + count / 2, count - count / 2, false, out);
        return;
    }
    const BlockStats stats = StatsOf(symbols, count);
    WriteBlock(out, symbols, count, stats, MakeBlockCode(stats, params_), params_);
}

// A segment's encoding depends on the dictionary's worth of input before it, on the
// segment, on up to kMaxMatch bytes after it (a match found at its last position is
// measured that far) and on whether it ends the input. The input is taken in rounds of
// a few segments per thread, each round's window holding exactly those bytes.

// Encoders left by finished inputs, for the next input of the same method and level:
// many small files are compressed one after another, and each would otherwise
// allocate and fill the match finder's tables anew. Each input takes one and gives it
// back, so the pool holds no more than ever ran at once. (A pool, not thread-local
// encoders: MinGW runs the destructors of thread-local objects unreliably.)
class EncoderPool {
  public:
    std::unique_ptr<SegmentEncoder> Take(Method method, const LevelParams *level) {
        const Hold hold(busy_);
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->method == method && it->level == level) {
                std::unique_ptr<SegmentEncoder> encoder = std::move(it->encoder);
                kept_.erase(it);
                return encoder;
            }
        }
        return nullptr;
    }

    // Keeps `encoder`; those of another method or level go.
    void Give(Method method, const LevelParams *level, std::unique_ptr<SegmentEncoder> encoder) {
        std::vector<Kept> gone;
        const Hold hold(busy_);
        for (Kept &k : kept_) {
            if (k.method != method || k.level != level) {
                gone.push_back(std::move(k));
            }
        }
        kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                                   [](const Kept &k) { return k.encoder == nullptr; }),
                    kept_.end());
        kept_.push_back({method, level, std::move(encoder)});
    }

    void Clear() {
        std::vector<Kept> gone;
        const Hold hold(busy_);
        gone.swap(kept_);
    }

  private:
    struct Kept {
        Method method;
        const LevelParams *level;
        std::unique_ptr<SegmentEncoder> encoder;
    };
    // A lock held for a few vector operations: every runtime the tool builds with has
    // atomics, not all have std::mutex. What goes is freed after it is released.
    class Hold {
      public:
        explicit Hold(std::atomic_flag &busy) : busy_(busy) {
            while (busy_.test_and_set(std::memory_order_acquire)) {
            }
        }
        ~Hold() {
            busy_.clear(std::memory_order_release);
        }

      private:
        std::atomic_flag &busy_;
    };
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    std::vector<Kept> kept_;
};

EncoderPool &Pool() {
    static EncoderPool pool;
    return pool;
}

// Encodes `size` bytes a round of segments at a time: `window(from, to)` gives the
// input bytes [from, to), valid until it is called again; `write` takes the packed
// stream in order.
template <typename Window>
void EncodeRounds(Method method, uint64_t size, const Window &window,
                  const std::function<void(const uint8_t *, size_t)> &write, int level, int threads,
                  const std::function<void(size_t)> &finished) {
    if (size == 0) {
        return;
    }
    const LevelParams &params = kLevels[std::clamp(level, kMinLevel, kMaxLevel) - 1];
    const uint64_t segments = (size + kSegmentSize - 1) / kSegmentSize;
    const int workers = static_cast<int>(std::min<uint64_t>(segments, ThreadCount(threads)));
    const size_t per_round = static_cast<size_t>(std::min<uint64_t>(segments, 4 * workers));
    const size_t dictionary = DictionarySize(method);
    std::vector<std::unique_ptr<SegmentEncoder>> encoders(static_cast<size_t>(workers));
    std::vector<BitWriter> parts(per_round);
    BitWriter out;
    for (uint64_t first = 0; first < segments; first += per_round) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(per_round, segments - first));
        const uint64_t begin = first * kSegmentSize;
        const uint64_t end = std::min(size, (first + count) * kSegmentSize);
        const uint64_t from = begin - std::min<uint64_t>(begin, dictionary);
        const uint64_t to = std::min<uint64_t>(size, end + kMaxMatch);
        const uint8_t *const data = window(from, to);
        const size_t length = static_cast<size_t>(to - from);
        std::atomic<size_t> next{0};
        ParallelFor(static_cast<size_t>(workers), workers, [&](size_t w) {
            // Each worker takes a kept encoder, and leaves it for the next input.
            if (encoders[w] == nullptr) {
                encoders[w] = Pool().Take(method, &params);
            }
            if (encoders[w] == nullptr) {
                encoders[w] = std::make_unique<SegmentEncoder>(method, data, length, params);
            }
            SegmentEncoder &encoder = *encoders[w];
            encoder.Rebind(data, length);
            for (size_t s; (s = next++) < count;) {
                const uint64_t at = (first + s) * kSegmentSize;
                const size_t n = static_cast<size_t>(std::min<uint64_t>(kSegmentSize, size - at));
                parts[s] = BitWriter();
                encoder.Encode(static_cast<size_t>(at - from), static_cast<size_t>(at - from) + n,
                               parts[s]);
                if (finished) {
                    finished(n);
                }
            }
        });
        for (size_t s = 0; s < count; ++s) {
            out.Append(parts[s]);
        }
        const std::vector<uint8_t> done = out.TakeBytes();
        write(done.data(), done.size());
    }
    out.Flush();
    write(out.Bytes().data(), out.Bytes().size());
    for (std::unique_ptr<SegmentEncoder> &encoder : encoders) {
        if (encoder != nullptr) {
            Pool().Give(method, &params, std::move(encoder));
        }
    }
}

} // namespace

void CompressStream(Method method, uint64_t size,
                    const std::function<void(uint64_t, uint8_t *, size_t)> &read,
                    const std::function<void(const uint8_t *, size_t)> &write, int level,
                    int threads, const std::function<void(size_t)> &finished) {
    std::vector<uint8_t> window;
    EncodeRounds(
        method, size,
        [&](uint64_t from, uint64_t to) {
            window.resize(static_cast<size_t>(to - from));
            read(from, window.data(), window.size());
            return static_cast<const uint8_t *>(window.data());
        },
        write, level, threads, finished);
}

std::vector<uint8_t> Compress(Method method, const uint8_t *data, size_t size, int level,
                              int threads, const std::function<void(size_t)> &finished) {
    std::vector<uint8_t> packed;
    // The input is in memory already: each round's window is read in place.
    EncodeRounds(
        method, size, [&](uint64_t from, uint64_t) { return data + from; },
        [&](const uint8_t *bytes, size_t n) { packed.insert(packed.end(), bytes, bytes + n); },
        level, threads, finished);
    return packed;
}

void ReleaseKeptEncoders() {
    Pool().Clear();
}

} // namespace lzhsfx
