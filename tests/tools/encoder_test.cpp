// The encoder's streams: exact round trips through a strict decoder at the edge
// sizes, the dictionary limits, the single-symbol forms, reproducibility, and the
// parts below (CRC-16, length-limited codes, the bit writer).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bit_writer.h"
#include "crc16.h"
#include "encoder.h"
#include "huffman_encoder.h"
#include "reference_decoder.h"
#include "tool_test_support.h"

namespace {

using lzhsfx::Compress;
using lzhsfx::Method;
using tooltest::BinaryLike;
using tooltest::RandomBytes;
using tooltest::TextLike;

const Method kMethods[] = {Method::kLh5, Method::kLh6, Method::kLh7};

char MethodChar(Method m) {
    return lzhsfx::ParamsOf(m).id;
}

// Compresses and decodes again, reporting what the decoder saw.
DecodeReport RoundTrip(Method method, const std::vector<uint8_t> &data, int level = 6) {
    const std::vector<uint8_t> packed = Compress(method, data.data(), data.size(), level);
    return ReferenceDecode(MethodChar(method), packed, data.size());
}

// Input that repeats a random stretch at exactly `distance` bytes back.
std::vector<uint8_t> RepeatAt(size_t distance, size_t stretch) {
    std::vector<uint8_t> data = RandomBytes(distance + stretch, 7);
    for (size_t i = 0; i < stretch; ++i) {
        data[distance + i] = data[i];
    }
    return data;
}

TEST(EncoderTest, RoundTripsEdgeSizesWithEveryMethod) {
    const size_t sizes[] = {0, 1, 2, 3, 4, 255, 256, 257, 4095, 65535, 65536, 65537};
    for (Method method : kMethods) {
        for (size_t size : sizes) {
            const std::vector<uint8_t> inputs[] = {TextLike(size, 1), RandomBytes(size, 2),
                                                   std::vector<uint8_t>(size, 0),
                                                   BinaryLike(size, 3)};
            for (const std::vector<uint8_t> &data : inputs) {
                const DecodeReport report = RoundTrip(method, data);
                ASSERT_EQ(report.error, "") << MethodChar(method) << " size " << size;
                ASSERT_EQ(report.output, data) << MethodChar(method) << " size " << size;
            }
        }
    }
}

TEST(EncoderTest, GivesAnEmptyStreamForEmptyInput) {
    EXPECT_TRUE(Compress(Method::kLh7, nullptr, 0).empty());
}

TEST(EncoderTest, RoundTripsSeveralMebibytesAcrossSegmentsAndThreads) {
    // Three segments of 1 MiB.
    std::vector<uint8_t> data = TextLike(1200000, 11);
    const std::vector<uint8_t> binary = BinaryLike(1100000, 12);
    data.insert(data.end(), binary.begin(), binary.end());
    const std::vector<uint8_t> one = Compress(Method::kLh7, data.data(), data.size(), 6, 1);
    const std::vector<uint8_t> two = Compress(Method::kLh7, data.data(), data.size(), 6, 2);
    EXPECT_EQ(one, two);
    const DecodeReport report = ReferenceDecode('7', one, data.size());
    ASSERT_EQ(report.error, "");
    EXPECT_TRUE(report.output == data);
    EXPECT_LT(one.size(), data.size() / 2);
}

TEST(EncoderTest, NeverCopiesFromBeyondTheMethodsDictionary) {
    // A repeat 9000 bytes back is out of reach for -lh5- (8 KiB) only.
    const std::vector<uint8_t> near = RepeatAt(9000, 3000);
    const DecodeReport lh5 = RoundTrip(Method::kLh5, near);
    ASSERT_EQ(lh5.error, "");
    EXPECT_EQ(lh5.output, near);
    EXPECT_LE(lh5.max_distance, 8192u);
    const DecodeReport lh6 = RoundTrip(Method::kLh6, near);
    ASSERT_EQ(lh6.error, "");
    EXPECT_EQ(lh6.max_distance, 9000u);

    // 40000 bytes back: out of reach for -lh6- (32 KiB), not for -lh7- (64 KiB).
    const std::vector<uint8_t> far = RepeatAt(40000, 3000);
    const DecodeReport far6 = RoundTrip(Method::kLh6, far);
    ASSERT_EQ(far6.error, "");
    EXPECT_LE(far6.max_distance, 32768u);
    const DecodeReport far7 = RoundTrip(Method::kLh7, far);
    ASSERT_EQ(far7.error, "");
    EXPECT_EQ(far7.output, far);
    EXPECT_EQ(far7.max_distance, 40000u);

    // Right at the edge of the 64 KiB dictionary and just past it.
    for (size_t distance : {65535u, 65536u, 65537u}) {
        const std::vector<uint8_t> edge = RepeatAt(distance, 2000);
        const DecodeReport report = RoundTrip(Method::kLh7, edge);
        ASSERT_EQ(report.error, "") << distance;
        EXPECT_EQ(report.output, edge);
        EXPECT_LE(report.max_distance, 65536u);
    }
}

TEST(EncoderTest, UsesTheSingleSymbolFormsWhereACodeHasOneSymbol) {
    // One literal: the character/length code has one symbol, no position is used.
    const DecodeReport one = RoundTrip(Method::kLh5, {'x'});
    ASSERT_EQ(one.error, "");
    EXPECT_EQ(one.single_char_codes, 1);
    EXPECT_EQ(one.single_position_codes, 1);

    // Literals 0 and 1, then the last symbol in a block of its own: in the first
    // block both lengths are 1, so its code-length code has one symbol; the last
    // block sends its unused code-length code in the same form.
    const DecodeReport two = RoundTrip(Method::kLh7, {0, 1, 0});
    ASSERT_EQ(two.error, "");
    EXPECT_EQ(two.output, (std::vector<uint8_t>{0, 1, 0}));
    EXPECT_EQ(two.blocks, 2);
    EXPECT_EQ(two.single_length_codes, 2);
    EXPECT_EQ(two.single_char_codes, 1);

    // A run of one byte: every match copies from one byte back.
    const std::vector<uint8_t> run(5000, 'a');
    const DecodeReport repeated = RoundTrip(Method::kLh6, run);
    ASSERT_EQ(repeated.error, "");
    EXPECT_EQ(repeated.output, run);
    EXPECT_EQ(repeated.single_position_codes, repeated.blocks);
}

TEST(EncoderTest, EndsTheStreamWithABlockOfOneSymbolWhoseCodesTakeNoBits) {
    for (const std::vector<uint8_t> &data : {TextLike(50000, 41), BinaryLike(70000, 42)}) {
        const DecodeReport report = RoundTrip(Method::kLh7, data);
        ASSERT_EQ(report.error, "");
        EXPECT_GE(report.blocks, 2);
        EXPECT_EQ(report.last_block_symbols, 1u);
        EXPECT_EQ(report.last_block_code_bits, 0u);
    }
}

TEST(EncoderTest, GivesTheSameBytesForTheSameInput) {
    const std::vector<uint8_t> data = BinaryLike(100000, 5);
    for (int level = lzhsfx::kMinLevel; level <= lzhsfx::kMaxLevel; ++level) {
        EXPECT_EQ(Compress(Method::kLh7, data.data(), data.size(), level),
                  Compress(Method::kLh7, data.data(), data.size(), level))
            << "level " << level;
    }
}

TEST(EncoderTest, DecodesAtEveryLevelAndPacksSmallerAtHigherLevels) {
    std::vector<uint8_t> data = TextLike(80000, 21);
    const std::vector<uint8_t> binary = BinaryLike(80000, 22);
    data.insert(data.end(), binary.begin(), binary.end());
    size_t fastest = 0, smallest = 0;
    for (int level = lzhsfx::kMinLevel - 1; level <= lzhsfx::kMaxLevel + 1; ++level) {
        const std::vector<uint8_t> packed = Compress(Method::kLh7, data.data(), data.size(), level);
        const DecodeReport report = ReferenceDecode('7', packed, data.size());
        ASSERT_EQ(report.error, "") << "level " << level;
        EXPECT_TRUE(report.output == data) << "level " << level;
        if (level == lzhsfx::kMinLevel) {
            fastest = packed.size();
        }
        if (level == lzhsfx::kMaxLevel) {
            smallest = packed.size();
        }
    }
    EXPECT_LT(smallest, fastest);
}

TEST(EncoderTest, PacksTextWellAndRandomBytesToAboutTheirSize) {
    const std::vector<uint8_t> text = TextLike(100000, 31);
    EXPECT_LT(Compress(Method::kLh7, text.data(), text.size()).size(), text.size() * 2 / 5);
    const std::vector<uint8_t> noise = RandomBytes(100000, 32);
    const size_t packed = Compress(Method::kLh7, noise.data(), noise.size()).size();
    EXPECT_GE(packed, noise.size());
    EXPECT_LT(packed, noise.size() + noise.size() / 50);
}

TEST(Crc16Test, IsCrc16Arc) {
    const std::string digits = "123456789";
    EXPECT_EQ(lzhsfx::Crc16(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()),
              0xBB3D);
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(lzhsfx::Crc16(abc, 3), 0x9738);
    EXPECT_EQ(lzhsfx::Crc16(abc + 1, 2, lzhsfx::Crc16(abc, 1)), 0x9738);
    EXPECT_EQ(lzhsfx::Crc16(abc, 0, 0x1234), 0x1234);
}

TEST(HuffmanEncoderTest, KeepsCodeLengthsWithin16AndTheCodeComplete) {
    // Fibonacci frequencies: an unlimited Huffman code would need 29 bits.
    std::vector<uint32_t> freq(30);
    freq[0] = freq[1] = 1;
    for (size_t i = 2; i < freq.size(); ++i) {
        freq[i] = freq[i - 1] + freq[i - 2];
    }
    std::vector<uint8_t> lengths(freq.size());
    lzhsfx::BuildCodeLengths(freq.data(), 30, 16, lengths.data());
    uint64_t kraft = 0;
    for (uint8_t len : lengths) {
        ASSERT_GE(len, 1);
        ASSERT_LE(len, 16);
        kraft += uint64_t{1} << (16 - len);
    }
    EXPECT_EQ(kraft, 65536u);
    // A more frequent symbol never gets a longer code.
    for (size_t i = 3; i < freq.size(); ++i) {
        EXPECT_LE(lengths[i], lengths[i - 1]);
    }
}

TEST(HuffmanEncoderTest, GivesOptimalLengthsAndSkipsUnusedSymbols) {
    const uint32_t freq[] = {1, 0, 1, 2, 4};
    uint8_t lengths[5];
    lzhsfx::BuildCodeLengths(freq, 5, 16, lengths);
    EXPECT_EQ(std::vector<uint8_t>(lengths, lengths + 5), (std::vector<uint8_t>{3, 0, 3, 2, 1}));
    uint16_t codes[5];
    lzhsfx::BuildCanonicalCodes(lengths, 5, codes);
    // Shorter codes first, then by symbol: 0, 10, 110, 111.
    EXPECT_EQ(codes[4], 0b0);
    EXPECT_EQ(codes[3], 0b10);
    EXPECT_EQ(codes[0], 0b110);
    EXPECT_EQ(codes[2], 0b111);
}

TEST(BitWriterTest, WritesMostSignificantBitFirstAndAppendsBitExactly) {
    lzhsfx::BitWriter a, b, whole;
    a.Put(0b101, 3);
    b.Put(0x1FF, 9);
    b.Put(0, 1);
    whole.Put(0b101, 3);
    whole.Put(0x1FF, 9);
    whole.Put(0, 1);
    a.Append(b);
    EXPECT_EQ(a.BitCount(), 13u);
    a.Flush();
    whole.Flush();
    EXPECT_EQ(a.Bytes(), whole.Bytes());
    EXPECT_EQ(a.Bytes(), (std::vector<uint8_t>{0xBF, 0xF0}));
}

} // namespace
