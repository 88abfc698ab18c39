// The program's decoder against the plain one on seeded random streams: well-formed,
// damaged and raw, of every method, alone and in sequences that carry the window and
// the tables from member to member, into files and into memory, with read and write
// failures and Cancel at chosen points. Both must leave exactly the same behind.
#include "test_support.h"

#include <algorithm>
#include <random>
#include <vector>

#include "bit_writer.h"
#include "oracle_decoder.h"

namespace {

class DecoderDifferentialTest : public StubTest {
  protected:
    // Runs `c` through both decoders; returns false after reporting a difference.
    bool Agree(const DiffCase &c, const std::string &what) {
        std::string root = root_ + "/diff";
        DiffOutcome fast = RunDiffCase(c, false, root);
        DiffOutcome plain = RunDiffCase(c, true, root);
        std::string difference = FirstDifference(fast, plain);
        EXPECT_EQ(difference, "") << what;
        ++runs_;
        if (!fast.members.empty() && fast.members.back().status != 0) {
            ++aborted_;
        }
        return difference.empty();
    }

    int runs_ = 0, aborted_ = 0;
};

int Rand(std::mt19937 &rng, int n) {
    return static_cast<int>(rng() % static_cast<unsigned>(n));
}

// An all-zero list with a non-zero count: the structures of an earlier code stay.
BlockCode ZeroList(int count) {
    BlockCode c = Lengths(std::vector<int>(count, 0));
    c.count = count;
    return c;
}

// A stream of blocks of random literals and matches (distances up to what the output
// so far allows, or anything with `wild`), some with one-symbol codes; its last block
// may have all-zero lists followed by raw bits, which then decode through stale
// structures. `*produced` is the size of the output the tokens stand for.
std::string RandomStream(std::mt19937 &rng, char method, bool wild, size_t *produced) {
    int position_symbols = method >= '6' ? 17 : 14;
    BlockWriter w(position_symbols);
    const std::vector<int> all19 = AllSymbols(19);
    size_t out = 0;
    int blocks = 1 + Rand(rng, 4);
    for (int block = 0; block < blocks; ++block) {
        int n = 1 + Rand(rng, Rand(rng, 4) == 0 ? 40000 : 3000);
        int kind = Rand(rng, 10);
        if (kind == 0) {
            // Stale structures: an all-zero character list, sent through a full
            // code-length code or through one whose only symbol is the length 0, or a
            // one-symbol character code with an all-zero position list. Raw bits
            // follow as the block's symbols.
            BlockCode lengths = RandomCode(rng, all19, 19), chars = ZeroList(1 + Rand(rng, 510));
            BlockCode positions = Single(Rand(rng, position_symbols));
            int stale = Rand(rng, 3);
            if (stale == 1) {
                lengths = Single(0);
            } else if (stale == 2) {
                chars = Single(256 + Rand(rng, 254));
                positions = ZeroList(1 + Rand(rng, position_symbols));
            }
            w.StartBlock(static_cast<uint32_t>(n), lengths, chars, positions);
            for (int i = 0; i < n / 4 + 8; ++i) {
                w.bits.Put(static_cast<uint32_t>(rng()), 32);
            }
            out += static_cast<size_t>(n) * 8;
            break; // the raw bits are no well-formed continuation
        }
        std::vector<Token> tokens;
        size_t at = out;
        int literal_span = Rand(rng, 3) == 0 ? 256 : 1 + Rand(rng, 12);
        int first_literal = Rand(rng, 257 - literal_span);
        for (int i = 0; i < n; ++i) {
            if ((at > 0 || wild) && Rand(rng, 3) == 0) {
                int bits = Rand(rng, position_symbols);
                size_t limit = std::min<size_t>(wild ? 65536 : at, size_t{1} << bits);
                int length = 3 + Rand(rng, Rand(rng, 8) == 0 ? 254 : 20);
                tokens.push_back({length + 253, Rand(rng, static_cast<int>(limit))});
                at += static_cast<size_t>(length);
            } else {
                tokens.push_back({first_literal + Rand(rng, literal_span), -1});
                ++at;
            }
        }
        std::vector<int> chars, positions = {kind == 1 ? 0 : Rand(rng, position_symbols)};
        UsedSymbols(tokens, chars, positions);
        w.StartBlock(static_cast<uint32_t>(n), RandomCode(rng, all19, 19),
                     RandomCode(rng, chars, 510), RandomCode(rng, positions, position_symbols));
        w.Tokens(tokens);
        out = at;
    }
    *produced = out;
    return w.Bytes();
}

// Damages `packed`: flipped bits, overwritten bytes, or a cut.
void Damage(std::mt19937 &rng, std::string *packed) {
    if (packed->empty()) {
        return;
    }
    int kind = Rand(rng, 3);
    if (kind == 0) {
        for (int i = 1 + Rand(rng, 4); i > 0; --i) {
            (*packed)[rng() % packed->size()] ^= static_cast<char>(1 << Rand(rng, 8));
        }
    } else if (kind == 1) {
        size_t at = rng() % packed->size();
        for (size_t i = at; i < packed->size() && i < at + 1 + Rand(rng, 8); ++i) {
            (*packed)[i] = static_cast<char>(rng());
        }
    } else {
        packed->resize(rng() % packed->size());
    }
}

// A member of a random kind: well-formed, damaged, or raw bytes, with sizes that match,
// or an unpacked size off, or a packed size that ends early or runs past the data.
DiffMember RandomMember(std::mt19937 &rng) {
    DiffMember m;
    m.method = "4567"[Rand(rng, 4)];
    size_t produced = 0;
    int kind = Rand(rng, 6);
    if (kind == 0) {
        m.packed.resize(static_cast<size_t>(Rand(rng, 3000)));
        for (char &c : m.packed) {
            c = static_cast<char>(rng());
        }
        produced = static_cast<size_t>(Rand(rng, 100000));
    } else {
        m.packed = RandomStream(rng, m.method, Rand(rng, 4) == 0, &produced);
        if (kind == 1) {
            Damage(rng, &m.packed);
        }
    }
    m.packed_size = static_cast<DWORD>(m.packed.size());
    m.unpacked_size = static_cast<DWORD>(produced);
    switch (Rand(rng, 8)) {
    case 0:
        m.unpacked_size += static_cast<DWORD>(Rand(rng, 70000));
        break;
    case 1:
        m.unpacked_size = static_cast<DWORD>(Rand(rng, static_cast<int>(produced) + 1));
        break;
    case 2:
        m.packed_size = static_cast<DWORD>(Rand(rng, static_cast<int>(m.packed.size()) + 1));
        break;
    case 3:
        m.packed_size += static_cast<DWORD>(1 + Rand(rng, 20000)); // into what follows
        break;
    default:
        break;
    }
    return m;
}

// Faults and a sink chosen at random, the read and write budgets within the case's
// size so that they strike in its middle.
void RandomConditions(std::mt19937 &rng, DiffCase *c) {
    size_t packed = 0, unpacked = 0;
    for (const DiffMember &m : c->members) {
        packed += m.packed.size();
        unpacked += m.unpacked_size;
    }
    c->sink = Rand(rng, 3) == 0 ? 1 + Rand(rng, 3) : 0;
    switch (Rand(rng, 6)) {
    case 0:
        c->read_budget = Rand(rng, static_cast<int>(packed) + 1);
        break;
    case 1:
        c->write_budget = Rand(rng, static_cast<int>(unpacked) + 1);
        break;
    case 2:
        c->cancel_at_pump = 1 + Rand(rng, 3);
        break;
    default:
        break;
    }
}

TEST_F(DecoderDifferentialTest, RandomWellFormedAndDamagedMembersLeaveTheSame) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 240; ++round) {
        DiffCase c;
        c.members.push_back(RandomMember(rng));
        RandomConditions(rng, &c);
        if (!Agree(c, "round " + std::to_string(round))) {
            return;
        }
    }
    EXPECT_GT(aborted_, 10) << "read errors, write errors, Bad table and Cancel were met";
    EXPECT_LT(aborted_, runs_ - 60) << "and most runs reached their end";
}

TEST_F(DecoderDifferentialTest, SequencesCarryTheWindowAndTheTablesAlike) {
    std::mt19937 rng(7);
    for (int round = 0; round < 80; ++round) {
        DiffCase c;
        for (int i = 2 + Rand(rng, 3); i > 0; --i) {
            c.members.push_back(RandomMember(rng));
        }
        if (Rand(rng, 2) == 0) {
            DiffMember stored;
            stored.method = '0';
            stored.packed.assign(static_cast<size_t>(Rand(rng, 70000)), 'S');
            stored.packed_size = stored.unpacked_size = static_cast<DWORD>(stored.packed.size());
            c.members.insert(c.members.begin() + Rand(rng, static_cast<int>(c.members.size())),
                             stored);
        }
        RandomConditions(rng, &c);
        if (!Agree(c, "round " + std::to_string(round))) {
            return;
        }
    }
}

// Every refill boundary of a long member, and a read failure at each: the first
// refill, the one that crosses 16384 bytes, the last, short one.
TEST_F(DecoderDifferentialTest, ReadFailuresAtEveryRefillEndTheSame) {
    std::mt19937 rng(3);
    std::string data;
    for (int i = 0; i < 50000; ++i) {
        data.push_back(static_cast<char>(rng()));
    }
    DiffMember m;
    m.method = '7';
    m.packed = LiteralStream(data, 17);
    m.packed_size = static_cast<DWORD>(m.packed.size());
    m.unpacked_size = static_cast<DWORD>(data.size());
    for (long long budget : {0LL, 1LL, 16383LL, 16384LL, 16385LL, 32768LL,
                             static_cast<long long>(m.packed.size()) - 1}) {
        DiffCase c;
        c.members = {m, m};
        c.read_budget = budget;
        if (!Agree(c, "budget " + std::to_string(budget))) {
            return;
        }
    }
    EXPECT_EQ(aborted_, 7);
}

// Members whose output is complete a few bits before or after their first 16384
// bytes are used up, with codes of many lengths so that the reader's refills meet
// the end of the buffer at every alignment: the second refill comes exactly when the
// plain reader needs a byte of it, so the archive's position afterwards, and a read
// failure there, are the same.
TEST_F(DecoderDifferentialTest, MembersEndingAroundARefillReadNoFurther) {
    std::mt19937 rng(16384);
    const std::vector<int> all19 = AllSymbols(19);
    for (int round = 0; round < 16; ++round) {
        std::vector<int> used;
        for (int i = 0; i < 24; ++i) {
            used.push_back('A' + i);
        }
        BlockCode chars = RandomCode(rng, used, 510);
        BlockWriter w;
        w.StartBlock(65535, RandomCode(rng, all19, 19), chars, Single(0));
        // After k symbols the plain reader has consumed bits[k]; it needs byte 16384
        // once 8 x 16384 - 16 bits are consumed.
        std::vector<size_t> bits = {w.bits.BitCount()};
        int last_without = -1;
        for (int i = 0; i < 65535; ++i) {
            int symbol = 'A' + Rand(rng, 24);
            w.Literal(symbol);
            bits.push_back(bits.back() + static_cast<size_t>(chars.lengths[symbol]));
            if (last_without < 0 && bits.back() > 8 * 16384 - 16) {
                last_without = i;
            }
        }
        ASSERT_GT(last_without, 0);
        DiffMember m;
        m.packed = w.Bytes();
        m.packed_size = static_cast<DWORD>(m.packed.size());
        for (int symbols = last_without - 12; symbols <= last_without + 4; ++symbols) {
            m.unpacked_size = static_cast<DWORD>(symbols);
            DiffCase c;
            c.members = {m};
            c.read_budget = symbols % 4 == 0 ? 16384 : -1;
            if (!Agree(c, std::to_string(round) + ": " + std::to_string(symbols) + " symbols")) {
                return;
            }
        }
    }
}

// Raw bytes of every packed size up to 40: the bit stream's start, zero bits past
// the end and the first block header, byte by byte.
TEST_F(DecoderDifferentialTest, ShortRawMembersOfEverySizeLeaveTheSame) {
    std::mt19937 rng(11);
    for (int size = 0; size <= 40; ++size) {
        for (char method : {'5', '7'}) {
            DiffMember m;
            m.method = method;
            for (int i = 0; i < size; ++i) {
                m.packed.push_back(static_cast<char>(Rand(rng, 2) ? 0 : rng()));
            }
            m.packed_size = static_cast<DWORD>(size);
            m.unpacked_size = static_cast<DWORD>(Rand(rng, 2000));
            DiffCase c;
            c.members = {m};
            if (!Agree(c, "size " + std::to_string(size))) {
                return;
            }
        }
    }
}

} // namespace
