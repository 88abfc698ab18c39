// The block decoder, the stored copy, the output sink and the progress step, on
// crafted streams and on archives made by a real LHA archiver.
#include "archive_builder.h"
#include "test_support.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bit_writer.h"
#include "decode/bit_input.h"
#include "decode/crc.h"
#include "decode/decoder.h"
#include "decode/huffman.h"
#include "oracle_decoder.h"

namespace {

const HWND kDialog = reinterpret_cast<HWND>(0x5150);

// A table entry of a symbol and its code length.
WORD Entry(int symbol, int length) {
    return static_cast<WORD>(symbol | (length << kEntryLengthShift));
}

std::string Bytes(size_t n, char c) {
    return std::string(n, c);
}

// Varied bytes, so that a byte out of place shows.
std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s;
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>(rng() & 0xFF));
    }
    return s;
}

// Every literal a code of 8 bits, the byte itself.
BlockCode LiteralLengths() {
    return Lengths(std::vector<int>(256, 8));
}

// A code-length code with a code for every one of its 19 symbols.
BlockCode AllLengths() {
    std::vector<int> lengths(19, 4);
    std::fill(lengths.begin() + 13, lengths.end(), 5);
    return Lengths(lengths);
}

class DecoderTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        lstrcpyA(State->OwnPath, "C:\\SFX.EXE");
        lstrcpyA(State->DestinationPath, "C:\\OUT\\FILE.BIN");
        lstrcpyA(OutputTempPath, State->DestinationPath); // the file being written
        State->DialogWindow = kDialog;
        BuildCrcTable(0xA001);
    }

    // Every member a test decoded is decoded once more by the program's decoder and by
    // the plain one, into a file and into memory: both must leave the same behind.
    void TearDown() override {
        std::string root = root_ + "/oracle";
        for (DiffCase c : decoded_) {
            for (int sink : {0, 1}) {
                c.sink = sink;
                SCOPED_TRACE(::testing::Message() << "the plain decoder, sink " << sink);
                EXPECT_EQ(FirstDifference(RunDiffCase(c, false, root), RunDiffCase(c, true, root)),
                          "");
            }
        }
        StubTest::TearDown();
    }

    std::vector<DiffCase> decoded_;

    // The archive holds `packed` then a trailer that no member may read; the header of
    // the current member names `method` and the sizes, and the input buffer is empty,
    // as the archive pass leaves them.
    void SetMember(char method, const std::string &packed, DWORD unpacked,
                   DWORD packed_size = 0xFFFFFFFF) {
        WriteFile("C:\\SFX.EXE", packed + "TRAILER");
        if (State->ArchiveFile != HFILE_ERROR) {
            _lclose(State->ArchiveFile);
        }
        State->ArchiveFile = _lopen("C:\\SFX.EXE", OF_READ);
        ASSERT_NE(State->ArchiveFile, HFILE_ERROR);
        if (packed_size == 0xFFFFFFFF) {
            packed_size = static_cast<DWORD>(packed.size());
        }
        DiffCase c;
        c.members.push_back(DiffMember{method, packed, packed_size, unpacked});
        decoded_.push_back(c);
        free(State->HeaderBuffer);
        BYTE *h = static_cast<BYTE *>(calloc(1, 27)); // odd offsets, as stored
        const char name[] = {'-', 'l', 'h', method, '-'};
        memcpy(h + 2, name, 5);
        for (int i = 0; i < 4; ++i) {
            h[7 + i] = static_cast<BYTE>(packed_size >> (8 * i));
            h[11 + i] = static_cast<BYTE>(unpacked >> (8 * i));
        }
        State->HeaderBuffer = h;
        State->InputIndex = 0xFFFFFFFF;
        State->RunningCrc = 0;
    }

    void OpenOutput() {
        CreateDirectoryA("C:\\OUT", nullptr);
        State->OutputFile = CreateFileA(State->DestinationPath, GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(State->OutputFile, INVALID_HANDLE_VALUE);
    }

    // Closes the output file and returns its bytes.
    std::string Output() {
        if (State->OutputFile != INVALID_HANDLE_VALUE) {
            CloseHandle(State->OutputFile);
            State->OutputFile = INVALID_HANDLE_VALUE;
        }
        return ReadFile("C:\\OUT\\FILE.BIN");
    }

    static int Decode() {
        return RunAsProcess([] {
            DecodeMember();
            return 0;
        });
    }

    static int Copy(LONG size) {
        static LONG wanted;
        wanted = size;
        return RunAsProcess([] {
            CopyStored(wanted);
            return 0;
        });
    }

    static LONG Position() {
        return _llseek(State->ArchiveFile, 0, FILE_CURRENT);
    }

    static std::vector<std::string> Progress() {
        std::vector<std::string> out;
        for (const HostItemText &t : HostItemTexts()) {
            EXPECT_EQ(t.dialog, kDialog);
            EXPECT_EQ(t.id, 102);
            out.push_back(t.text);
        }
        return out;
    }

    static std::string Percent(int n) {
        return "解凍中 " + std::to_string(n) + "%";
    }

    // Decodes `packed` into the output file and expects `data`, with its CRC.
    void ExpectFileDecodes(char method, const std::string &packed, const std::string &data) {
        SetMember(method, packed, static_cast<DWORD>(data.size()));
        OpenOutput();
        ASSERT_EQ(Decode(), 0);
        EXPECT_EQ(State->RunningCrc, ReferenceCrc(data));
        std::string got = Output();
        ASSERT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
    }

    // The run ended with status 1 after one box with `text`, and the output is gone.
    void ExpectAbortedWith(int status, const std::string &text) {
        EXPECT_EQ(status, 1);
        ASSERT_EQ(HostMessageBoxes().size(), 1u);
        EXPECT_EQ(HostMessageBoxes()[0].text, text);
        EXPECT_EQ(HostMessageBoxes()[0].owner, kDialog);
        EXPECT_EQ(State->OutputFile, INVALID_HANDLE_VALUE);
        EXPECT_EQ(State->ArchiveFile, HFILE_ERROR);
        EXPECT_FALSE(Exists("C:\\OUT\\FILE.BIN"));
    }
};

// ---- Method parameters and block headers ------------------------------------------

TEST_F(DecoderTest, TheMethodCharacterChoosesThePositionCode) {
    SetMember('5', "", 0);
    const struct {
        char method;
        WORD symbols, bits;
    } cases[] = {{'4', 14, 4}, {'5', 14, 4}, {'6', 17, 5}, {'7', 17, 5}};
    for (const auto &c : cases) {
        State->PackedLeft = 0;
        StartDecoder(c.method);
        EXPECT_EQ(State->PositionSymbols, c.symbols) << c.method;
        EXPECT_EQ(State->PositionCountBits, c.bits) << c.method;
        EXPECT_EQ(State->BlockSymbolsLeft, 0);
    }
}

class BlockHeaderTest : public DecoderTest {
  protected:
    // Starts the bit stream over `bytes` (a -lh5- member).
    void Feed(const std::string &bytes) {
        SetMember('5', bytes, 0);
        State->PackedLeft = static_cast<DWORD>(bytes.size());
        StartDecoder('5');
    }

    // One step of the header reader; a step that ends the run fails the test.
    template <typename F> static void Step(F f) {
        ASSERT_EQ(RunAsProcess([&] {
                      f();
                      return 0;
                  }),
                  0);
    }
};

TEST_F(BlockHeaderTest, LengthsOf7AndAboveUseTheEscape) {
    // 1 to 16 and a second 16: complete, and every length from 7 up is escaped.
    std::vector<int> lengths = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 16};
    BlockWriter w(17);
    w.StartBlock(1, Single(3), Single(0), Lengths(lengths));
    w.bits.Put(0x2D, 6);
    Feed(w.Bytes());
    Step([] { GetBits(16); });
    Step([] { ReadAuxLengths(19, 5, 3); });
    Step([] { ReadCharLengths(); });
    Step([] { ReadAuxLengths(17, 5, kNoSpecialIndex); });
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(State->AuxLengths[i], lengths[i]) << i;
    }
    EXPECT_EQ(GetBits(6), 0x2D);
}

TEST_F(BlockHeaderTest, TheCodeLengthCodeHasAZeroCountAfterItsThirdLength) {
    std::vector<int> lengths = {2, 2, 2, 0, 0, 0, 3, 3};
    BlockWriter w;
    w.StartBlock(1, Lengths(lengths), Single(0), Single(0));
    Feed(w.Bytes());
    Step([] { GetBits(16); });
    // Count 8, three lengths, a zero count of 3, then the lengths of 6 and 7 only.
    Step([] { ReadAuxLengths(19, 5, 3); });
    for (int i = 0; i < 19; ++i) {
        EXPECT_EQ(State->AuxLengths[i], i < 8 ? lengths[i] : 0) << i;
    }
    EXPECT_EQ(State->AuxTable[0], Entry(0, 2));
    EXPECT_EQ(State->AuxTable[255], Entry(7, 3));
    // The position code has no zero count: its fourth length follows at once.
    BlockWriter p;
    p.StartBlock(1, Single(3), Single(0), Lengths({2, 2, 2, 3, 3}));
    Feed(p.Bytes());
    Step([] { GetBits(16); });
    Step([] { ReadAuxLengths(19, 5, 3); });
    Step([] { ReadCharLengths(); });
    Step([] { ReadAuxLengths(14, 4, kNoSpecialIndex); });
    EXPECT_EQ(State->AuxLengths[3], 3);
    EXPECT_EQ(State->AuxLengths[4], 3);
}

TEST_F(BlockHeaderTest, ACount0CodeHasOneSymbolAndTakesNoBitsPerLookup) {
    BlockWriter w;
    w.StartBlock(1, Single(17), Single(300), Single(9));
    w.bits.Put(0xC3, 8);
    Feed(w.Bytes());
    Step([] { GetBits(16); });
    Step([] { ReadAuxLengths(19, 5, 3); });
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(State->AuxTable[i], 17);
    }
    for (int i = 0; i < 19; ++i) {
        ASSERT_EQ(State->AuxLengths[i], 0);
    }
    Step([] { ReadCharLengths(); });
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(State->CharTable[i], 300);
    }
    for (int i = 0; i < 510; ++i) {
        ASSERT_EQ(State->CharLengths[i], 0);
    }
    Step([] { ReadAuxLengths(14, 4, kNoSpecialIndex); });
    EXPECT_EQ(LookupSymbol(State->CharTable, 12, 510, State->CharLengths), 300);
    EXPECT_EQ(LookupSymbol(State->AuxTable, 8, 14, State->AuxLengths), 9);
    EXPECT_EQ(GetBits(8), 0xC3);
}

TEST_F(BlockHeaderTest, ZeroRunsCover3To18And20To531Lengths) {
    // Runs of 18, 20 and 3 zeros between four codes of 2 bits; the zeros after the last
    // length come from the final fill.
    std::vector<int> lengths(510, 0);
    lengths[0] = lengths[19] = lengths[40] = lengths[44] = 2;
    BlockWriter w;
    w.StartBlock(1, Lengths({2, 2, 2, 0, 2}), Lengths(lengths), Single(0));
    Feed(w.Bytes());
    Step([] { GetBits(16); });
    Step([] { ReadAuxLengths(19, 5, 3); });
    Step([] { ReadCharLengths(); });
    for (int i = 0; i < 510; ++i) {
        ASSERT_EQ(State->CharLengths[i], lengths[i]) << i;
    }
    EXPECT_EQ(State->CharTable[0], Entry(0, 2));
    EXPECT_EQ(State->CharTable[1024], Entry(19, 2));
    EXPECT_EQ(State->CharTable[2048], Entry(40, 2));
    EXPECT_EQ(State->CharTable[4095], Entry(44, 2));
}

// A damaged list may announce 511 entries or end in a zero run reaching 531 past its
// start: entries beyond the 510 of the alphabet are dropped, and the lengths that
// follow `CharLengths` in the run state (the code-length code's) stay as they are.
TEST_F(BlockHeaderTest, EntriesPastThe510thAreDropped) {
    const std::vector<LengthEntry> zero_run_past_the_end = {{3, 0}, {3, 0}, {2, 511}};
    const std::vector<LengthEntry> length_past_the_end = {{3, 0}, {3, 0}, {2, 488}, {3, 0}};
    for (const auto &entries : {zero_run_past_the_end, length_past_the_end}) {
        BlockCode chars;
        chars.count = 511;
        chars.entries = entries;
        BlockWriter w;
        w.StartBlock(1, Lengths({1, 2, 3, 3}), chars, Single(0));
        Feed(w.Bytes());
        Step([] { GetBits(16); });
        Step([] { ReadAuxLengths(19, 5, 3); });
        BYTE aux[128];
        memcpy(aux, State->AuxLengths, sizeof aux);
        Step([] { ReadCharLengths(); });
        EXPECT_EQ(memcmp(aux, State->AuxLengths, sizeof aux), 0);
        EXPECT_EQ(State->CharLengths[0], 1);
        EXPECT_EQ(State->CharLengths[1], 1);
        for (int i = 2; i < 510; ++i) {
            ASSERT_EQ(State->CharLengths[i], 0) << i;
        }
        EXPECT_EQ(State->CharTable[0], Entry(0, 1));
        EXPECT_EQ(State->CharTable[4095], Entry(1, 1));
        _lclose(State->ArchiveFile);
        State->ArchiveFile = HFILE_ERROR;
    }
}

// ---- Damaged streams ----------------------------------------------------------------

struct DamagedBlock {
    const char *name;
    char method;
    BlockCode length_code, char_code, position_code;
};

void PrintTo(const DamagedBlock &b, std::ostream *os) {
    *os << b.name;
}

class DamagedBlockTest : public DecoderTest, public ::testing::WithParamInterface<DamagedBlock> {};

// Rejected as "Bad table": the run ends with status 1 and the output file is gone. A
// length above 16 is rejected even where the other lengths alone form a complete code.
TEST_P(DamagedBlockTest, EndsWithBadTable) {
    const DamagedBlock &b = GetParam();
    BlockWriter w(b.method >= '6' ? 17 : 14);
    w.StartBlock(10, b.length_code, b.char_code, b.position_code);
    w.bits.Put(0, 32);
    SetMember(b.method, w.Bytes(), 10);
    OpenOutput();
    ExpectAbortedWith(Decode(), "\"C:\\SFX.EXE\" Bad table");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DamagedBlockTest,
    ::testing::Values(
        DamagedBlock{"IncompleteCodeLengthCode", '5', Lengths({1, 2}), Single(0), Single(0)},
        DamagedBlock{"IncompleteCharCode", '5', AllLengths(), Lengths({1, 0, 1, 1}), Single(0)},
        DamagedBlock{"IncompletePositionCode", '5', Single(10), LiteralLengths(),
                     Lengths({1, 2, 3})},
        DamagedBlock{"CodeLengthAbove16", '5', Lengths({1, 17, 1}), Single(0), Single(0)},
        DamagedBlock{"PositionLengthOf23", '7', Single(10), LiteralLengths(), Lengths({1, 23, 1})},
        DamagedBlock{"CodeLengthSymbol19", '5', Single(19), Single(0), Single(0)},
        DamagedBlock{"CodeLengthSymbol31", '5', Single(31), Single(0), Single(0)},
        DamagedBlock{"CharSymbol510", '5', Single(3), Single(510), Single(0)},
        DamagedBlock{"CharSymbol511", '5', Single(3), Single(511), Single(0)},
        DamagedBlock{"PositionSymbol14Of14", '5', Single(3), Single(65), Single(14)},
        DamagedBlock{"PositionSymbol15Of14", '4', Single(3), Single(65), Single(15)},
        DamagedBlock{"PositionSymbol17Of17", '6', Single(3), Single(65), Single(17)},
        DamagedBlock{"PositionSymbol31Of17", '7', Single(3), Single(65), Single(31)}),
    [](const ::testing::TestParamInfo<DamagedBlock> &info) { return info.param.name; });

// ---- Members ---------------------------------------------------------------------

TEST_F(DecoderTest, UnpackedSize0DeliversNothingButStartsTheBitStream) {
    SetMember('5', "\x12\x34\x56", 0);
    OpenOutput();
    EXPECT_EQ(Decode(), 0);
    EXPECT_EQ(State->PackedLeft, 1u); // two bytes taken, by one refill of the whole member
    EXPECT_EQ(State->BitBuffer, 0x1234);
    EXPECT_EQ(Position(), 3);
    EXPECT_EQ(Output(), "");
    EXPECT_TRUE(HostItemTexts().empty());

    SetMember('5', "", 0);
    EXPECT_EQ(Decode(), 0);
    EXPECT_EQ(Position(), 0);
}

TEST_F(DecoderTest, LiteralsOfEveryByteValueDecode) {
    std::string data;
    for (int i = 0; i < 3 * 256; ++i) {
        data.push_back(static_cast<char>(i * 11));
    }
    ExpectFileDecodes('5', LiteralStream(data), data);
    EXPECT_EQ(Progress(), std::vector<std::string>{Percent(100)});
    EXPECT_EQ(Position(), static_cast<LONG>(LiteralStream(data).size()));
}

TEST_F(DecoderTest, A65536ByteMemberIsOneFlushShowing100Percent) {
    std::string data = Pattern(65536);
    ExpectFileDecodes('5', LiteralStream(data), data);
    EXPECT_EQ(Progress(), std::vector<std::string>{Percent(100)});
}

TEST_F(DecoderTest, A65537ByteMemberIsAFullWindowThenOneByte) {
    std::string data = Pattern(65537);
    ExpectFileDecodes('7', LiteralStream(data, 17), data);
    EXPECT_EQ(Progress(), (std::vector<std::string>{Percent(100), Percent(100)}));

    // Room for exactly one window: the second, 1-byte delivery fails.
    HostReset(root_);
    SetMember('7', LiteralStream(data, 17), 65537);
    OpenOutput();
    HostLimitWrites(65536);
    ExpectAbortedWith(Decode(), "\"C:\\OUT\\FILE.BIN\" 書き込みｴﾗｰ");
    EXPECT_EQ(Progress(), std::vector<std::string>{Percent(100)});
}

TEST_F(DecoderTest, AWriteErrorEndsTheRunAndDeletesTheFile) {
    SetMember('5', LiteralStream("abc"), 3);
    OpenOutput();
    HostLimitWrites(2);
    ExpectAbortedWith(Decode(), "\"C:\\OUT\\FILE.BIN\" 書き込みｴﾗｰ");
    EXPECT_TRUE(HostItemTexts().empty());
}

TEST_F(DecoderTest, ABlockCountOf0Means65536Symbols) {
    BlockWriter w;
    w.StartBlock(0, Single(3), Single('a'), Single(0));
    w.StartBlock(2, Single(3), Single('b'), Single(0));
    ExpectFileDecodes('5', w.Bytes(), Bytes(65536, 'a') + "bb");
}

TEST_F(DecoderTest, OneSymbolCodesTakeNoBitsPerSymbol) {
    // 1000 'z' of a one-symbol character code: the next block header must follow the
    // first one at once. Its one-symbol position code (d = 2) takes no bits either.
    BlockWriter w;
    w.StartBlock(1000, Single(4), Single('z'), Single(0));
    for (int i = 0; i < 1000; ++i) {
        w.Literal('z');
    }
    std::vector<int> chars(510, 0);
    chars['x'] = 1;
    chars['y'] = 2;
    chars[257] = 2; // length 4
    w.StartBlock(4, Lengths({2, 2, 0, 2, 2}), Lengths(chars), Single(2));
    w.Literal('x');
    w.Literal('y');
    w.Match(4, 2);
    w.Literal('y');
    ExpectFileDecodes('5', w.Bytes(), Bytes(1000, 'z') + "xy" + "zxyz" + "y");
}

TEST_F(DecoderTest, AShortDistanceRepeatsItsPattern) {
    std::vector<int> chars(510, 0);
    chars['a'] = chars['b'] = chars['c'] = 2;
    chars[256 + 7] = 2; // length 10
    BlockWriter w;
    w.StartBlock(5, AllLengths(), Lengths(chars), Lengths({1, 2, 2}));
    w.Literal('a');
    w.Literal('b');
    w.Literal('c');
    w.Match(10, 2);
    w.Match(10, 0);
    ExpectFileDecodes('5', w.Bytes(), "abcabcabcabca" + Bytes(10, 'a'));
}

TEST_F(DecoderTest, Distance0OfLength256WrapsAroundTheWindowEnd) {
    std::vector<int> chars(510, 0);
    chars['p'] = 1;
    chars['q'] = 2;
    chars[509] = 2;
    BlockWriter w;
    w.StartBlock(65531, AllLengths(), Lengths(chars), Single(0));
    for (int i = 0; i < 65529; ++i) {
        w.Literal('p');
    }
    w.Literal('q');
    w.Match(256, 0);
    ExpectFileDecodes('5', w.Bytes(), Bytes(65529, 'p') + Bytes(257, 'q'));
    // The match counted in full before the window filled: 65786 of 65786 done.
    EXPECT_EQ(Progress(), (std::vector<std::string>{Percent(100), Percent(100)}));
}

TEST_F(DecoderTest, ALastMatchRunningPastTheUnpackedSizeIsDeliveredWhole) {
    std::vector<int> chars(510, 0);
    chars['k'] = 1;
    chars[256] = 1; // length 3
    BlockWriter w;
    w.StartBlock(2, AllLengths(), Lengths(chars), Single(0));
    w.Literal('k');
    w.Match(3, 0);
    SetMember('5', w.Bytes(), 2);
    OpenOutput();
    ASSERT_EQ(Decode(), 0);
    EXPECT_EQ(State->RunningCrc, ReferenceCrc("kkkk"));
    EXPECT_EQ(Output(), "kkkk");
}

TEST_F(DecoderTest, MissingPackedDataReadsAsZeroBits) {
    BlockWriter w;
    w.StartBlock(20, Single(10), LiteralLengths(), Single(0));
    size_t header_bits = w.bits.BitCount();
    for (char c : std::string("truncated!")) {
        w.Literal(static_cast<unsigned char>(c));
    }
    std::string packed = w.Bytes();
    DWORD kept = static_cast<DWORD>(packed.size()) - 4;
    // The literals are the bits after the header, the missing bytes read as zeros.
    std::string bits = packed.substr(0, kept) + Bytes(20, '\0');
    std::string expected;
    for (size_t at = header_bits; expected.size() < 20; at += 8) {
        int v = 0;
        for (size_t b = at; b < at + 8; ++b) {
            v = (v << 1) | ((static_cast<unsigned char>(bits[b / 8]) >> (7 - b % 8)) & 1);
        }
        expected.push_back(static_cast<char>(v));
    }
    SetMember('5', packed, 20, kept);
    OpenOutput();
    ASSERT_EQ(Decode(), 0);
    std::string got = Output();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got.substr(13), Bytes(7, '\0'));
    EXPECT_EQ(Position(), static_cast<LONG>(kept));
}

// Random blocks of literals and matches, under random complete codes, against the
// plain meaning of the tokens.
void RandomStream(std::mt19937 &rng, int position_symbols, std::string *packed, std::string *data) {
    BlockWriter w(position_symbols);
    std::string out;
    int max_distance_bits = position_symbols - 1;
    for (int block = 0; block < 6; ++block) {
        std::vector<Token> tokens;
        int n = 1 + static_cast<int>(rng() % 6000);
        size_t produced = out.size();
        for (int i = 0; i < n; ++i) {
            if (produced > 0 && rng() % 3 == 0) {
                int bits = static_cast<int>(rng() % (max_distance_bits + 1));
                size_t limit = std::min<size_t>(produced, size_t{1} << bits);
                int length = 3 + static_cast<int>(rng() % (rng() % 8 == 0 ? 254 : 20));
                tokens.push_back({length + 253, static_cast<int>(rng() % limit)});
                produced += length;
            } else {
                tokens.push_back({static_cast<int>('A' + rng() % (rng() % 4 == 0 ? 190 : 8)), -1});
                ++produced;
            }
        }
        std::vector<int> chars, positions = {0};
        UsedSymbols(tokens, chars, positions);
        const std::vector<int> all19 = AllSymbols(19);
        w.StartBlock(static_cast<uint32_t>(n), RandomCode(rng, all19, 19),
                     RandomCode(rng, chars, 510), RandomCode(rng, positions, position_symbols));
        for (const Token &t : tokens) {
            if (t.distance < 0) {
                w.Literal(t.symbol);
                out.push_back(static_cast<char>(t.symbol));
            } else {
                w.Match(t.symbol - 253, t.distance);
                for (int k = 0; k < t.symbol - 253; ++k) {
                    out.push_back(out[out.size() - t.distance - 1]);
                }
            }
        }
    }
    *packed = w.Bytes();
    *data = out;
}

TEST_F(DecoderTest, RandomStreamsOfEveryMethodDecodeToTheirTokens) {
    std::mt19937 rng(77);
    for (char method : {'4', '5', '6', '7'}) {
        std::string packed, data;
        RandomStream(rng, method >= '6' ? 17 : 14, &packed, &data);
        SCOPED_TRACE(::testing::Message() << "-lh" << method << "-, " << data.size() << " bytes");
        ExpectFileDecodes(method, packed, data);
        EXPECT_EQ(Position(), static_cast<LONG>(packed.size()));
        if (HasFailure()) {
            return;
        }
    }
}

// ---- The in-memory sink ------------------------------------------------------------

class TextSinkTest : public DecoderTest {
  protected:
    // Decodes `data` as the special member `mode` during the scan pass.
    void DecodeText(BYTE mode, const std::string &data) {
        SetMember('5', LiteralStream(data), static_cast<DWORD>(data.size()));
        State->OutputFile = INVALID_HANDLE_VALUE;
        State->SpecialMode = mode;
        ASSERT_EQ(Decode(), 0);
        EXPECT_EQ(State->RunningCrc, 0);
        EXPECT_TRUE(HostItemTexts().empty());
    }
};

TEST_F(TextSinkTest, TheNoticeKeepsAtMost1023Bytes) {
    std::string text = Pattern(1023, 3);
    std::replace(text.begin(), text.end(), '\0', 'x');
    DecodeText(1, text);
    EXPECT_EQ(std::string(State->ScratchText), text);
    DecodeText(1, text + "y");
    EXPECT_EQ(std::string(State->ScratchText), text);
}

TEST_F(TextSinkTest, TheDirectivesKeepAtMost4095Bytes) {
    std::string text = Bytes(4094, 'd') + "e";
    DecodeText(2, text);
    EXPECT_EQ(std::string(State->DirectiveText), text);
    DecodeText(2, text + "f");
    EXPECT_EQ(std::string(State->DirectiveText), text);
    EXPECT_EQ(State->ScratchText[0], 0);
}

TEST_F(TextSinkTest, AZeroByteEndsTheText) {
    DecodeText(1, std::string("first\0second", 12));
    EXPECT_EQ(std::string(State->ScratchText), "first");
    DecodeText(2, std::string("$Flag=1\0rest", 12));
    EXPECT_EQ(std::string(State->DirectiveText), "$Flag=1");
}

TEST_F(TextSinkTest, ANoticeLongerThanTheWindowKeepsTheStartOfItsLastWindow) {
    DecodeText(1, Bytes(65536, 'a') + "last window");
    EXPECT_EQ(std::string(State->ScratchText), "last window");
}

TEST_F(TextSinkTest, AnOrdinaryMemberWithoutFileIsDiscarded) {
    lstrcpyA(State->ScratchText, "notice");
    lstrcpyA(State->DirectiveText, "directives");
    DecodeText(0, "ignored");
    EXPECT_STREQ(State->ScratchText, "notice");
    EXPECT_STREQ(State->DirectiveText, "directives");
}

// ---- Progress and cancel -------------------------------------------------------------

TEST_F(DecoderTest, ProgressIsAPercentageCappedAt100) {
    const struct {
        DWORD done, total;
        int percent;
    } cases[] = {
        {50, 99, 100},  {5000, 10000, 50},   {7, 0, 0},       {0, 1, 100},
        {0, 100000, 0}, {99999, 100000, 99}, {300, 200, 100}, {0xFFFFFFFF, 0xFFFFFFFF, 100}};
    std::vector<std::string> expected;
    for (const auto &c : cases) {
        ReportProgress(c.done, c.total);
        expected.push_back(Percent(c.percent));
    }
    EXPECT_EQ(Progress(), expected);
}

int pumps;
void CountPump() {
    ++pumps;
}

TEST_F(DecoderTest, EachProgressStepPumpsTheDialogsMessages) {
    pumps = 0;
    HostSetPumpHook(CountPump);
    ReportProgress(1, 2);
    EXPECT_EQ(pumps, 1);
}

void CancelOnPump() {
    State->CancelRequested = 1;
}

TEST_F(DecoderTest, CancelDuringASmallFileDeletesItAtItsFinalFlush) {
    HostSetPumpHook(CancelOnPump);
    SetMember('5', LiteralStream("small"), 5);
    OpenOutput();
    int status = Decode();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Progress(), std::vector<std::string>{Percent(100)});
    EXPECT_TRUE(HostMessageBoxes().empty());
    EXPECT_FALSE(Exists("C:\\OUT\\FILE.BIN"));
    EXPECT_EQ(State->ArchiveFile, HFILE_ERROR);
}

TEST_F(DecoderTest, CancelIsHonouredOnlyWhileAFileIsWritten) {
    State->CancelRequested = 1;
    SetMember('5', LiteralStream("notice"), 6);
    State->SpecialMode = 1;
    EXPECT_EQ(Decode(), 0);
    EXPECT_STREQ(State->ScratchText, "notice");
}

// ---- Stored members ------------------------------------------------------------------

TEST_F(DecoderTest, AStoredMemberIsCopiedInWindowChunksWithLaggingProgress) {
    std::string data = Pattern(100000, 9);
    SetMember('0', data, 100000);
    OpenOutput();
    HostFailReadsAfter(100000); // no read past the member
    ASSERT_EQ(Copy(100000), 0);
    EXPECT_EQ(State->RunningCrc, ReferenceCrc(data));
    EXPECT_EQ(Progress(), (std::vector<std::string>{Percent(0), Percent(65)}));
    EXPECT_EQ(Position(), 100000);
    EXPECT_TRUE(Output() == data);
}

TEST_F(DecoderTest, AStoredSizeNegativeInSigned32BitCopiesNothing) {
    SetMember('0', "data", 0x80000000u);
    OpenOutput();
    State->RunningCrc = 0x7777;
    EXPECT_EQ(Copy(static_cast<LONG>(0x80000000u)), 0);
    EXPECT_EQ(Copy(0), 0);
    EXPECT_EQ(State->RunningCrc, 0);
    EXPECT_EQ(Position(), 0);
    EXPECT_TRUE(HostItemTexts().empty());
    EXPECT_EQ(Output(), "");
}

TEST_F(DecoderTest, AStoredMemberShorterThanItsSizeIsAReadError) {
    SetMember('0', "short", 70000);
    OpenOutput();
    ExpectAbortedWith(Copy(70000), "\"C:\\SFX.EXE\" 読み込みｴﾗｰ");
    EXPECT_EQ(State->Failed, 1u);
}

TEST_F(DecoderTest, AStoredNoticeGoesToMemoryWithoutProgress) {
    SetMember('0', "stored notice", 13);
    State->SpecialMode = 1;
    EXPECT_EQ(Copy(13), 0);
    EXPECT_STREQ(State->ScratchText, "stored notice");
    EXPECT_TRUE(HostItemTexts().empty());
}

TEST_F(DecoderTest, CancelDuringAStoredCopyDeletesTheFile) {
    HostSetPumpHook(CancelOnPump);
    SetMember('0', Pattern(70000), 70000);
    OpenOutput();
    EXPECT_EQ(Copy(70000), 1);
    EXPECT_EQ(Progress(), std::vector<std::string>{Percent(0)});
    EXPECT_FALSE(Exists("C:\\OUT\\FILE.BIN"));
}

// ---- Archives of a real LHA archiver --------------------------------------------------

class RealArchiveTest : public DecoderTest {
  protected:
    static uint32_t Le(const BYTE *p, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) {
            v = (v << 8) | p[i];
        }
        return v;
    }

    // Archives `files` with `jlha <command>` and decodes every member in order, reading
    // each header from where the previous member's data ended.
    void ExpectArchiveDecodes(const char *command,
                              const std::vector<std::pair<std::string, std::string>> &files,
                              const char *expected_method, size_t compressed) {
        std::string dir = HostPath("C:\\IN");
        std::string cmd =
            "mkdir -p '" + dir + "' && cd '" + dir + "' && jlha " + command + " x.lzh";
        for (const auto &f : files) {
            WriteFile(("C:\\IN\\" + f.first).c_str(), f.second);
            cmd += " " + f.first;
        }
        ASSERT_EQ(system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;

        State->ArchiveFile = _lopen("C:\\IN\\X.LZH", OF_READ);
        if (State->ArchiveFile == HFILE_ERROR) {
            State->ArchiveFile = _lopen("C:\\IN\\x.lzh", OF_READ);
        }
        ASSERT_NE(State->ArchiveFile, HFILE_ERROR);
        CreateDirectoryA("C:\\OUT", nullptr);
        size_t members = 0, decoded = 0;
        DiffCase archive; // the members in order, for the plain decoder
        for (;;) {
            BYTE size[2];
            if (_lread(State->ArchiveFile, size, 2) != 2 || Le(size, 2) == 0) {
                break;
            }
            DWORD header_size = Le(size, 2);
            ASSERT_GE(header_size, 26u);
            free(State->HeaderBuffer);
            State->HeaderBuffer = static_cast<BYTE *>(calloc(1, header_size));
            BYTE *h = State->HeaderBuffer;
            memcpy(h, size, 2);
            ASSERT_EQ(_lread(State->ArchiveFile, h + 2, header_size - 2), header_size - 2);
            ASSERT_EQ(h[20], 2) << "header level";
            std::string name;
            for (DWORD at = 26, next = Le(h + 24, 2); next != 0;) {
                ASSERT_LE(at + next, header_size);
                if (h[at] == 1) {
                    name.assign(reinterpret_cast<char *>(h + at + 1), next - 3);
                }
                DWORD record = next;
                next = Le(h + at + record - 2, 2);
                at += record;
            }
            ASSERT_LT(members, files.size());
            const std::string &data = files[members].second;
            EXPECT_EQ(name, files[members].first);
            ++members;
            SCOPED_TRACE(name);

            lstrcpyA(State->DestinationPath, ("C:\\OUT\\" + name).c_str());
            lstrcpyA(OutputTempPath, State->DestinationPath);
            State->OutputFile = CreateFileA(State->DestinationPath, GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(State->OutputFile, INVALID_HANDLE_VALUE);
            State->RunningCrc = 0;
            State->InputIndex = 0xFFFFFFFF;
            LONG data_start = Position();
            std::string packed(static_cast<size_t>(Le(h + 7, 4)), '\0');
            ASSERT_EQ(_lread(State->ArchiveFile, &packed[0], static_cast<UINT>(packed.size())),
                      packed.size());
            _llseek(State->ArchiveFile, data_start, FILE_BEGIN);
            archive.members.push_back(
                DiffMember{static_cast<char>(h[5]), packed, Le(h + 7, 4), Le(h + 11, 4)});
            int status;
            if (h[5] == '0') {
                status = Copy(static_cast<LONG>(Le(h + 11, 4)));
            } else {
                EXPECT_EQ(h[5], static_cast<BYTE>(expected_method[3]));
                status = Decode();
                ++decoded;
            }
            ASSERT_EQ(status, 0);
            EXPECT_EQ(State->RunningCrc, Le(h + 21, 2));
            EXPECT_EQ(Position(), data_start + static_cast<LONG>(Le(h + 7, 4)));
            CloseHandle(State->OutputFile);
            State->OutputFile = INVALID_HANDLE_VALUE;
            std::string got = ReadFile(State->DestinationPath);
            EXPECT_EQ(got.size(), data.size());
            EXPECT_TRUE(got == data);
        }
        decoded_.push_back(archive);
        EXPECT_EQ(members, files.size());
        EXPECT_EQ(decoded, compressed) << "members the archiver compressed";
    }

    static bool HaveJlha() {
        return system("command -v jlha >/dev/null 2>&1") == 0;
    }

    static std::string Text(size_t n) {
        static const char *words[] = {"archive ", "member ", "header ", "window ", "the ",
                                      "of ",      "decode ", "\r\n",    "LZH ",    "1997 "};
        std::mt19937 rng(4);
        std::string s;
        while (s.size() < n) {
            s += words[rng() % 10];
        }
        s.resize(n);
        return s;
    }

    // Structured binary data: records with counters, small values and repeats.
    static std::string Binary(size_t n, unsigned seed) {
        std::mt19937 rng(seed);
        std::string s;
        while (s.size() < n) {
            uint32_t v = static_cast<uint32_t>(s.size());
            int kind = static_cast<int>(rng() % 4);
            if (kind == 0) {
                s.append(reinterpret_cast<char *>(&v), 4);
            } else if (kind == 1) {
                s.push_back(static_cast<char>(rng() & 0xFF));
            } else if (kind == 2 && s.size() > 300) {
                s.append(s.substr(s.size() - 1 - rng() % 300, 3 + rng() % 40));
            } else {
                s.append(static_cast<size_t>(1 + rng() % 9), static_cast<char>(rng() % 3));
            }
        }
        s.resize(n);
        return s;
    }
};

TEST_F(RealArchiveTest, Lh5MembersOfJlhaDecodeByteForByte) {
    if (!HaveJlha()) {
        GTEST_SKIP() << "jlha (jlha-utils) is not installed";
    }
    ExpectArchiveDecodes("co5",
                         {{"text.txt", Text(30000)},
                          {"binary.bin", Binary(30000, 1)},
                          {"w65536.bin", Binary(65536, 2)},
                          {"w65537.txt", Text(65537)},
                          {"noise.bin", Pattern(3000, 5)},
                          {"empty.txt", ""},
                          {"large.bin", Binary(1 << 20, 3) + Text(1 << 20)}},
                         "-lh5-", 5);
}

TEST_F(RealArchiveTest, Lh6AndLh7MembersOfJlhaDecodeByteForByte) {
    if (!HaveJlha()) {
        GTEST_SKIP() << "jlha (jlha-utils) is not installed";
    }
    std::vector<std::pair<std::string, std::string>> files = {
        {"text.txt", Text(30000)},
        {"w65536.bin", Binary(65536, 7)},
        {"w65537.bin", Binary(65537, 8)},
        {"far.bin", Binary(30000, 9) + Pattern(20000, 10) + Binary(30000, 9)},
    };
    ExpectArchiveDecodes("co6", files, "-lh6-", 4);
    HostReset(root_);
    ExpectArchiveDecodes("co7", files, "-lh7-", 4);
}

} // namespace
