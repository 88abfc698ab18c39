// Table construction and symbol lookup: the direct table, the overflow tree, the
// completeness check, and lookups through structures a build did not make.
#include "test_support.h"

#include <algorithm>
#include <random>
#include <vector>

#include "bit_writer.h"
#include "decode/bit_input.h"
#include "decode/decoder.h"
#include "decode/huffman.h"

namespace {

// A table entry of a symbol and its code length.
WORD Entry(int symbol, int length) {
    return static_cast<WORD>(symbol | (length << kEntryLengthShift));
}

class HuffmanTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
    }

    // Makes `bytes` the packed data of a member and starts its bit stream.
    void Feed(const std::string &bytes) {
        WriteFile("C:\\SFX.EXE", bytes);
        State->ArchiveFile = _lopen("C:\\SFX.EXE", OF_READ);
        ASSERT_NE(State->ArchiveFile, HFILE_ERROR);
        State->InputIndex = 0xFFFFFFFF;
        State->PackedLeft = static_cast<DWORD>(bytes.size());
        StartDecoder('5');
    }

    // Builds the 8-bit table from `lengths` as the position code does.
    static void BuildAux(const std::vector<int> &lengths) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            State->AuxLengths[i] = static_cast<BYTE>(lengths[i]);
        }
        MakeTable(static_cast<WORD>(lengths.size()), State->AuxLengths, 8, State->AuxTable);
    }

    static void BuildChar(const std::vector<int> &lengths) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            State->CharLengths[i] = static_cast<BYTE>(lengths[i]);
        }
        MakeTable(static_cast<WORD>(lengths.size()), State->CharLengths, 12, State->CharTable);
    }

    // Sends every symbol's code followed by the marker 101, then looks each one up:
    // it must come back and consume exactly its code.
    void ExpectEverySymbolDecodes(const std::vector<int> &lengths, int table_bits) {
        std::vector<CodeWord> codes = CanonicalCodes(lengths);
        BitWriter w;
        std::vector<int> sent;
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] != 0) {
                w.Put(codes[s].bits, codes[s].length);
                w.Put(5, 3);
                sent.push_back(static_cast<int>(s));
            }
        }
        Feed(w.Bytes());
        WORD count = static_cast<WORD>(lengths.size());
        bool wide = table_bits == 12;
        for (int s : sent) {
            WORD got = wide ? LookupSymbol(State->CharTable, 12, count, State->CharLengths)
                            : LookupSymbol(State->AuxTable, 8, count, State->AuxLengths);
            ASSERT_EQ(got, s) << "length " << lengths[s];
            ASSERT_EQ(GetBits(3), 5) << "symbol " << s << " consumed a wrong number of bits";
        }
    }
};

TEST_F(HuffmanTest, TwoSymbolsOfLength1SplitTheTableInHalves) {
    BuildAux({1, 1});
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(State->AuxTable[i], i < 128 ? Entry(0, 1) : Entry(1, 1)) << i;
    }
}

TEST_F(HuffmanTest, CodesLongerThanTheTableHangInATreeBelowTheirSlot) {
    std::vector<int> lengths = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9};
    BuildAux(lengths);
    EXPECT_EQ(State->AuxTable[0], Entry(0, 1));
    EXPECT_EQ(State->AuxTable[127], Entry(0, 1));
    EXPECT_EQ(State->AuxTable[128], Entry(1, 2));
    EXPECT_EQ(State->AuxTable[191], Entry(1, 2));
    EXPECT_EQ(State->AuxTable[192], Entry(2, 3));
    EXPECT_EQ(State->AuxTable[253], Entry(6, 7));
    EXPECT_EQ(State->AuxTable[254], Entry(7, 8));
    EXPECT_EQ(State->AuxTable[255], 10); // a node: no length
    EXPECT_EQ(State->TreeLeft[10], 8);
    EXPECT_EQ(State->TreeRight[10], 9);

    BitWriter w; // 1111 1111 1 then the marker, then 1111 1111 0 and the marker
    w.Put(0x1FF, 9);
    w.Put(0x5A, 8);
    w.Put(0x1FE, 9);
    w.Put(0x5A, 8);
    Feed(w.Bytes());
    EXPECT_EQ(LookupSymbol(State->AuxTable, 8, 10, State->AuxLengths), 9);
    EXPECT_EQ(GetBits(8), 0x5A);
    EXPECT_EQ(LookupSymbol(State->AuxTable, 8, 10, State->AuxLengths), 8);
    EXPECT_EQ(GetBits(8), 0x5A);
    ExpectEverySymbolDecodes(lengths, 8);
}

// The structures stay in force with the lengths of the new list, all 0: a lookup
// through them consumes no bits.
TEST_F(HuffmanTest, AllLengthsZeroIsNoErrorAndKeepsSymbolsAndNodesWithLength0) {
    for (int i = 0; i < 256; ++i) {
        State->AuxTable[i] = Entry(i * 3, i % 17);
    }
    State->TreeLeft[14] = 77;
    BuildAux(std::vector<int>(14, 0));
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(State->AuxTable[i], i * 3);
    }
    EXPECT_EQ(State->TreeLeft[14], 77);
    EXPECT_TRUE(HostMessageBoxes().empty());
}

struct BadList {
    const char *name;
    std::vector<int> lengths;
};

void PrintTo(const BadList &list, std::ostream *os) {
    *os << list.name;
}

class BadTableTest : public HuffmanTest, public ::testing::WithParamInterface<BadList> {};

// The list is rejected before anything is written: "Bad table" over the program's own
// file, status 1, table untouched.
TEST_P(BadTableTest, EndsTheRunWithBadTableBeforeWritingTheTable) {
    for (int i = 0; i < 256; ++i) {
        State->AuxTable[i] = 0xBEEF;
    }
    const std::vector<int> &lengths = GetParam().lengths;
    int status = RunAsProcess([&] {
        BuildAux(lengths);
        return 0;
    });
    EXPECT_EQ(status, 1);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:\\SFX.EXE\" Bad table");
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(State->AuxTable[i], 0xBEEF) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, BadTableTest,
    ::testing::Values(
        BadList{"Incomplete", {1, 2, 3}}, BadList{"Oversubscribed", {1, 1, 1}},
        BadList{"TwiceTheCodeSpace", {1, 1, 1, 1}},
        BadList{"OneBitShort", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        // Counted as if absent, 20 would leave an exactly complete code.
        BadList{"LengthAbove16", {1, 1, 20}},
        BadList{"LengthOf17", {17, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}),
    [](const ::testing::TestParamInfo<BadList> &info) { return info.param.name; });

TEST_F(HuffmanTest, AFull510SymbolCodeFillsTheTreeFromNode510) {
    // 254 codes of 8 bits; the last two 8-bit slots (32 of the 12-bit table) hold
    // 256 codes of 13 to 16 bits. Symbol 0 gets a 16-bit code, so a tree leaf holds 0.
    std::vector<int> lengths;
    lengths.insert(lengths.end(), 80, 16);
    lengths.insert(lengths.end(), 10, 13);
    lengths.insert(lengths.end(), 254, 8);
    lengths.insert(lengths.end(), 10, 14);
    lengths.insert(lengths.end(), 156, 15);
    ASSERT_EQ(lengths.size(), 510u);
    std::mt19937 rng(5);
    std::shuffle(lengths.begin() + 1, lengths.end(), rng);
    BuildChar(lengths);

    // The short codes end at 12-bit slot 254 * 16; every slot after it roots a tree.
    WORD lowest = 0xFFFF, highest = 0;
    for (int slot = 254 * 16; slot < 4096; ++slot) {
        WORD node = State->CharTable[slot];
        ASSERT_GE(node, 510) << slot;
        lowest = std::min(lowest, node);
        highest = std::max(highest, node);
    }
    EXPECT_EQ(lowest, 510);
    EXPECT_LE(highest, kTreeNodes - 1);
    ExpectEverySymbolDecodes(lengths, 12);
}

// A complete code of `used` leaves, no longer than `max_length`, given to randomly
// chosen symbols of `count`; the others get no code.
std::vector<int> RandomCode(std::mt19937 &rng, int count, int used, int max_length) {
    std::vector<int> leaves = {0};
    while (static_cast<int>(leaves.size()) < used) {
        size_t pick = rng() % leaves.size();
        if (leaves[pick] >= max_length) {
            continue;
        }
        int len = ++leaves[pick];
        leaves.push_back(len);
    }
    std::vector<int> lengths(count, 0);
    std::vector<int> symbols(count);
    for (int i = 0; i < count; ++i) {
        symbols[i] = i;
    }
    std::shuffle(symbols.begin(), symbols.end(), rng);
    for (int i = 0; i < used; ++i) {
        lengths[symbols[i]] = leaves[i];
    }
    return lengths;
}

TEST_F(HuffmanTest, EveryCodeOfRandomCompleteListsDecodes) {
    std::mt19937 rng(20240601);
    for (int round = 0; round < 40; ++round) {
        int count = (round % 4 == 0) ? 19 : (round % 4 == 1) ? 14 : (round % 4 == 2) ? 17 : 510;
        int used = 2 + static_cast<int>(rng() % (count - 1));
        std::vector<int> lengths = RandomCode(rng, count, used, 16);
        SCOPED_TRACE(::testing::Message() << "round " << round << " count " << count);
        if (count == 510) {
            BuildChar(lengths);
            ExpectEverySymbolDecodes(lengths, 12);
        } else {
            BuildAux(lengths);
            ExpectEverySymbolDecodes(lengths, 8);
        }
        _lclose(State->ArchiveFile);
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST_F(HuffmanTest, AnAllZeroListLeavesTheEarlierCodeInForce) {
    BuildAux({2, 2, 2, 2});
    BuildAux(std::vector<int>(4, 0));
    EXPECT_EQ(State->AuxTable[128], 2);
    BitWriter w;
    w.Put(2, 2);
    Feed(w.Bytes());
    EXPECT_EQ(LookupSymbol(State->AuxTable, 8, 4, State->AuxLengths), 2);
}

// Lookups through stale structures: a walk that never reaches a symbol, and a node
// number outside the tree arrays, end with "Bad table" instead of running on.
TEST_F(HuffmanTest, ATreeWalkThatFindsNoSymbolEndsWithBadTable) {
    for (int i = 0; i < 256; ++i) {
        State->AuxTable[i] = 30;
    }
    State->TreeLeft[30] = 30; // a loop left by unrelated builds
    State->TreeRight[30] = 30;
    Feed("\x12\x34");
    int status = RunAsProcess([] {
        LookupSymbol(State->AuxTable, 8, 14, State->AuxLengths);
        return 0;
    });
    EXPECT_EQ(status, 1);
    ASSERT_EQ(HostMessageBoxes().size(), 1u);
    EXPECT_EQ(HostMessageBoxes()[0].text, "\"C:\\SFX.EXE\" Bad table");
}

TEST_F(HuffmanTest, ANodeNumberOutsideTheTreeEndsWithBadTable) {
    for (int i = 0; i < 4096; ++i) {
        State->CharTable[i] = kTreeNodes;
    }
    Feed("\x12\x34");
    int status = RunAsProcess([] {
        LookupSymbol(State->CharTable, 12, 510, State->CharLengths);
        return 0;
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(HostMessageBoxes().size(), 1u);
}

TEST_F(HuffmanTest, AWalkThatEndsOnASymbolOfTheCodeReturnsIt) {
    // Node 20 of an earlier code-length build, met by a 14-symbol position lookup.
    for (int i = 0; i < 256; ++i) {
        State->AuxTable[i] = 20;
    }
    State->TreeLeft[20] = 21;
    State->TreeRight[20] = 3;
    State->TreeLeft[21] = 5;
    State->AuxLengths[3] = 9;
    State->AuxLengths[5] = 10;
    BitWriter w;
    w.Put(0x1FF, 9);  // bit 7 set: right, symbol 3
    w.Put(0x3FC, 10); // bits 7 and 6 clear: left, left, symbol 5
    w.Put(0xA, 4);
    Feed(w.Bytes());
    EXPECT_EQ(LookupSymbol(State->AuxTable, 8, 14, State->AuxLengths), 3);
    EXPECT_EQ(LookupSymbol(State->AuxTable, 8, 14, State->AuxLengths), 5);
    EXPECT_EQ(GetBits(4), 0xA);
}

} // namespace
