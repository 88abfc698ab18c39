// The encoder's streams: exact round trips through a strict decoder at the edge
// sizes, the dictionary limits, the single-symbol forms, reproducibility, and the
// parts below (CRC-16, length-limited codes, the bit writer).
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bit_writer.h"
#include "crc16.h"
#include "encoder.h"
#include "huffman_encoder.h"
#include "match_finder.h"
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

TEST(EncoderTest, StreamsInRoundsOfSegmentsWithTheSameBytesForAnyThreadCount) {
    // Ten segments and a half, so that one thread takes three rounds of four and three
    // threads one of ten; text repeated across every segment boundary, where a match
    // reaches into the next segment and starts in the dictionary before it.
    std::vector<uint8_t> data = BinaryLike(11 * 1000000, 21);
    data.resize(10 * 1048576 + 524288);
    const std::vector<uint8_t> text = TextLike(3000, 22);
    for (size_t boundary = 1048576; boundary < data.size(); boundary += 1048576) {
        std::copy(text.begin(), text.end(), data.begin() + boundary - 1500);
        std::copy(text.begin(), text.end(), data.begin() + boundary - 40000);
    }
    const std::vector<uint8_t> one = Compress(Method::kLh7, data.data(), data.size(), 1, 1);
    EXPECT_TRUE(Compress(Method::kLh7, data.data(), data.size(), 1, 3) == one);
    std::vector<uint8_t> streamed;
    size_t largest_window = 0;
    lzhsfx::CompressStream(
        Method::kLh7, data.size(),
        [&](uint64_t offset, uint8_t *out, size_t n) {
            ASSERT_LE(offset + n, data.size());
            largest_window = std::max(largest_window, n);
            std::copy(data.begin() + static_cast<std::ptrdiff_t>(offset),
                      data.begin() + static_cast<std::ptrdiff_t>(offset + n), out);
        },
        [&](const uint8_t *bytes, size_t n) { streamed.insert(streamed.end(), bytes, bytes + n); },
        1, 2);
    EXPECT_TRUE(streamed == one);
    // Eight segments, the dictionary before them and the bytes a match may reach past.
    EXPECT_LE(largest_window, 8 * 1048576 + 65536 + 256);
    const DecodeReport report = ReferenceDecode('7', one, data.size());
    ASSERT_EQ(report.error, "");
    EXPECT_TRUE(report.output == data);
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

TEST(EncoderTest, ReportsEachPartOfALargeInputOnceAndPacksTheSameBytes) {
    const std::vector<uint8_t> data = TextLike(2500000, 21); // two whole parts and a half
    const std::vector<uint8_t> plain = Compress(Method::kLh6, data.data(), data.size(), 3, 2);
    std::mutex lock;
    std::vector<size_t> parts;
    const std::vector<uint8_t> reported =
        Compress(Method::kLh6, data.data(), data.size(), 3, 2, [&](size_t part) {
            std::lock_guard<std::mutex> guard(lock);
            parts.push_back(part);
        });
    EXPECT_EQ(reported, plain);
    std::sort(parts.begin(), parts.end());
    EXPECT_EQ(parts, (std::vector<size_t>{2500000 - (size_t{2} << 20), 1 << 20, 1 << 20}));
}

TEST(EncoderTest, GivesTheSameBytesForTheSameInput) {
    const std::vector<uint8_t> data = BinaryLike(100000, 5);
    for (int level = lzhsfx::kMinLevel; level <= lzhsfx::kMaxLevel; ++level) {
        EXPECT_EQ(Compress(Method::kLh7, data.data(), data.size(), level),
                  Compress(Method::kLh7, data.data(), data.size(), level))
            << "level " << level;
    }
}

// Encoders are kept for the next input of the same method and level: whatever came
// before, on this thread or another, the bytes are those of a fresh encoder.
TEST(EncoderTest, GivesTheSameBytesAfterAnyEarlierInput) {
    struct Input {
        Method method;
        int level;
        std::vector<uint8_t> data;
    };
    const std::vector<Input> inputs = {
        {Method::kLh7, 6, TextLike(1600000, 1)},   {Method::kLh7, 6, BinaryLike(50000, 2)},
        {Method::kLh7, 6, RandomBytes(3, 3)},      {Method::kLh5, 6, TextLike(70000, 4)},
        {Method::kLh7, 9, BinaryLike(300000, 5)},  {Method::kLh7, 6, TextLike(1600000, 1)},
        {Method::kLh6, 1, RepeatAt(30000, 40000)}, {Method::kLh7, 6, BinaryLike(50000, 2)},
    };
    std::vector<std::vector<uint8_t>> fresh;
    for (const Input &in : inputs) {
        lzhsfx::ReleaseKeptEncoders();
        fresh.push_back(Compress(in.method, in.data.data(), in.data.size(), in.level));
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Input &in = inputs[i];
        std::vector<uint8_t> on_another;
        std::thread([&] {
            on_another = Compress(in.method, in.data.data(), in.data.size(), in.level);
        }).join();
        EXPECT_EQ(on_another, fresh[i]) << i;
        EXPECT_EQ(Compress(in.method, in.data.data(), in.data.size(), in.level), fresh[i])
            << MethodChar(in.method) << " level " << in.level << ", " << in.data.size() << " bytes";
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

// The nearest distance, up to `dictionary` - 1 back, of a match of at least `length`
// bytes at `pos` (matches stop at kMaxMatch and at the end), or 0 for none.
size_t NearestWithLength(const std::vector<uint8_t> &data, size_t pos, size_t dictionary,
                         size_t length) {
    const size_t limit = std::min<size_t>(lzhsfx::kMaxMatch, data.size() - pos);
    if (length > limit) {
        return 0;
    }
    for (size_t distance = 1; distance < dictionary && distance <= pos; ++distance) {
        size_t n = 0;
        while (n < length && data[pos - distance + n] == data[pos + n]) {
            ++n;
        }
        if (n == length) {
            return distance;
        }
    }
    return 0;
}

// Runs the match finder over `data` with no depth limit, skipping every `skip`th
// position, and checks every reported match against a search of all distances:
// the bytes match, lengths increase, each match of four bytes or more is the nearest
// of its length, and no match of four bytes or more is longer than the longest.
void CheckMatchesAgainstSearch(const std::vector<uint8_t> &data, size_t dictionary, size_t skip) {
    lzhsfx::MatchFinder finder(data.data(), data.size(), dictionary, 1 << 30, lzhsfx::kMaxMatch);
    lzhsfx::Match found[lzhsfx::kMaxMatch];
    for (size_t pos = 0; pos < data.size(); ++pos) {
        if (skip != 0 && pos % skip == skip - 1) {
            finder.Skip(pos);
            continue;
        }
        const int count = finder.FindMatches(pos, found);
        size_t previous = 0;
        for (int i = 0; i < count; ++i) {
            const size_t length = found[i].length;
            const size_t distance = found[i].distance_code + size_t{1};
            ASSERT_GT(length, previous) << "pos " << pos;
            ASSERT_GE(length, size_t{lzhsfx::kMinMatch});
            ASSERT_LE(length, std::min<size_t>(lzhsfx::kMaxMatch, data.size() - pos));
            ASSERT_LE(distance, std::min(pos, dictionary - 1)) << "pos " << pos;
            ASSERT_TRUE(std::equal(data.begin() + pos, data.begin() + pos + length,
                                   data.begin() + (pos - distance)))
                << "pos " << pos;
            if (length >= 4) {
                ASSERT_EQ(distance, NearestWithLength(data, pos, dictionary, length))
                    << "pos " << pos << " length " << length;
            }
            previous = length;
        }
        // A three-byte match may hide behind a hash collision; a longer one may not.
        EXPECT_EQ(NearestWithLength(data, pos, dictionary, std::max<size_t>(previous + 1, 4)), 0u)
            << "pos " << pos << " longest " << previous;
    }
}

TEST(MatchFinderTest, ReportsTheNearestMatchOfEveryLengthAndTheLongest) {
    // Short inputs, where no four-byte hash exists and the end cuts every match.
    for (size_t size : {0u, 1u, 2u, 3u, 4u, 5u, 7u}) {
        CheckMatchesAgainstSearch(std::vector<uint8_t>(size, 'a'), 1024, 0);
        CheckMatchesAgainstSearch(TextLike(size, 51), 1024, 0);
    }
    // More than a dictionary: matches reach exactly one byte less than it back.
    CheckMatchesAgainstSearch(TextLike(5000, 52), 1024, 0);
    CheckMatchesAgainstSearch(BinaryLike(5000, 53), 1024, 3);
    std::vector<uint8_t> edge = RandomBytes(3000, 54);
    std::copy(edge.begin(), edge.begin() + 600, edge.begin() + 1023);
    std::copy(edge.begin() + 1000, edge.begin() + 1600, edge.begin() + 2024);
    CheckMatchesAgainstSearch(edge, 1024, 0);
}

TEST(MatchFinderTest, CutsLongRunsAtTheLongestMatchAndTheEnd) {
    // A run of one byte: from two bytes in, every match is kMaxMatch bytes until the
    // end shortens it.
    const std::vector<uint8_t> run(1000, 0);
    CheckMatchesAgainstSearch(run, 65536, 0);
    lzhsfx::MatchFinder finder(run.data(), run.size(), 65536, 24, 96);
    lzhsfx::Match found[lzhsfx::kMaxMatch];
    finder.Skip(0);
    ASSERT_GT(finder.FindMatches(1, found), 0);
    const int count = finder.FindMatches(2, found);
    ASSERT_GT(count, 0);
    EXPECT_EQ(found[count - 1].length, lzhsfx::kMaxMatch);
    EXPECT_EQ(found[0].distance_code, 0);
    // Two alternating bytes: the nearest match is two back, however long.
    std::vector<uint8_t> pairs(3000);
    for (size_t i = 0; i < pairs.size(); ++i) {
        pairs[i] = static_cast<uint8_t>(i & 1);
    }
    CheckMatchesAgainstSearch(pairs, 2048, 5);
}

TEST(MatchFinderTest, ForgetsEverythingOnReset) {
    const std::vector<uint8_t> data = TextLike(4000, 55);
    lzhsfx::MatchFinder finder(data.data(), data.size(), 65536, 64, lzhsfx::kMaxMatch);
    lzhsfx::Match found[lzhsfx::kMaxMatch];
    for (size_t pos = 0; pos < 2000; ++pos) {
        finder.Skip(pos);
    }
    finder.Reset(2000);
    // The first position after the reset has nothing before it to match.
    EXPECT_EQ(finder.FindMatches(2000, found), 0);
    for (size_t pos = 2001; pos < data.size(); ++pos) {
        const int count = finder.FindMatches(pos, found);
        for (int i = 0; i < count; ++i) {
            ASSERT_LE(found[i].distance_code + size_t{1}, pos - 2000) << "pos " << pos;
        }
    }
}

TEST(EncoderTest, RoundTripsLongRunsAndRepeatsAtEveryLevel) {
    // Runs longer than the longest match, repeats just inside and outside the
    // dictionary, and text, at every level: matches taken whole and their
    // continuations, and the distances kept for each length.
    std::vector<uint8_t> data(70000, 'z');
    const std::vector<uint8_t> text = TextLike(60000, 61);
    data.insert(data.end(), text.begin(), text.end());
    data.insert(data.end(), text.begin(), text.begin() + 5000);
    const std::vector<uint8_t> far = RepeatAt(65535, 3000);
    data.insert(data.end(), far.begin(), far.end());
    for (Method method : kMethods) {
        for (int level = lzhsfx::kMinLevel; level <= lzhsfx::kMaxLevel; level += 2) {
            const DecodeReport report = RoundTrip(method, data, level);
            ASSERT_EQ(report.error, "") << MethodChar(method) << " level " << level;
            EXPECT_TRUE(report.output == data) << MethodChar(method) << " level " << level;
            EXPECT_LE(report.max_distance, lzhsfx::DictionarySize(method));
        }
    }
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

TEST(Crc16Test, AgreesWithABitwiseCrcAtEveryLengthAndSplit) {
    const std::vector<uint8_t> data = RandomBytes(300, 71);
    for (size_t size = 0; size <= data.size(); size += size < 40 ? 1 : 37) {
        uint16_t expected = 0;
        for (size_t i = 0; i < size; ++i) {
            expected ^= data[i];
            for (int bit = 0; bit < 8; ++bit) {
                expected = (expected & 1) ? (expected >> 1) ^ 0xA001 : expected >> 1;
            }
        }
        EXPECT_EQ(lzhsfx::Crc16(data.data(), size), expected) << "size " << size;
        for (size_t split : {size_t{1}, size_t{7}, size / 2}) {
            if (split <= size) {
                EXPECT_EQ(lzhsfx::Crc16(data.data() + split, size - split,
                                        lzhsfx::Crc16(data.data(), split)),
                          expected)
                    << "size " << size << " split " << split;
            }
        }
    }
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
